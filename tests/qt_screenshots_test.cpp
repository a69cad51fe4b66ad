// Photographs of the Qt windows for `make screenshots`: the main window after a search that
// listed a configured and a "No IP" appliance, the same with its context menu open (where the
// About entry is), the About box and the assign dialog. Runs
// only when TAVISOL_SCREENSHOT_DIR names a folder (under Xvfb, see the Makefile). No window
// manager runs there, so each picture gets a plain caption strip with the window's title.
#include "platform/qt/host.h"
#include "tests/support/assign_session.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>
#include <QWidget>
#include <cstdlib>

namespace testlab {
namespace {

class QtScreenshots : public AssignSession {
protected:
    void SetUp() override {
        if (!std::getenv("TAVISOL_SCREENSHOT_DIR"))
            GTEST_SKIP() << "TAVISOL_SCREENSHOT_DIR is not set";
        AssignSession::SetUp();
    }

    // The topmost dialog as it is on screen, under a caption strip; with menuAt, with its
    // context menu opened there (window coordinates) and drawn where it shows.
    bool Photograph(const std::string& name, const QPoint* menuAt = nullptr) {
        driver->WaitIdle();
        bool saved = false;
        std::string path = std::string(std::getenv("TAVISOL_SCREENSHOT_DIR")) + "/" + name;
        driver->OnUi([&] {
            qtui::QtHost* host = qtui::CurrentHost();
            headless::Window* top = headless::Engine::Get().TopDialog();
            if (!host || !top)
                return;
            host->Refresh();
            QWidget* widget = host->WidgetOf(top->hwnd);
            QCoreApplication::processEvents();
            QPixmap body = widget->grab();
            int strip = QFontMetrics(QApplication::font()).height() + 10;
            QPixmap menu;
            QPoint menuPos;
            if (menuAt) {
                QContextMenuEvent event(QContextMenuEvent::Mouse, *menuAt,
                                        widget->mapToGlobal(*menuAt));
                QApplication::sendEvent(widget, &event);
                QCoreApplication::processEvents();
                for (QWidget* shown : QApplication::topLevelWidgets())
                    if (auto* popup = qobject_cast<QMenu*>(shown); popup && popup->isVisible()) {
                        menu = popup->grab();
                        menuPos = popup->pos() - widget->mapToGlobal(QPoint(0, 0));
                        popup->close();
                    }
                if (menu.isNull())
                    return;
            }
            QSize size(std::max(body.width(), menuPos.x() + menu.width()) + 2,
                       std::max(body.height(), menuPos.y() + menu.height()) + strip + 1);
            QPixmap picture(size);
            picture.fill(QColor(0x40, 0x50, 0x70));
            QPainter painter(&picture);
            painter.drawPixmap(1, strip, body);
            if (!menu.isNull())
                painter.drawPixmap(1 + menuPos.x(), strip + menuPos.y(), menu);
            QIcon icon = widget->windowIcon();
            int x = 6;
            if (!icon.isNull()) {
                painter.drawPixmap(x, (strip - 16) / 2, icon.pixmap(16, 16));
                x += 22;
            }
            painter.setPen(Qt::white);
            QFont font = QApplication::font();
            font.setBold(true);
            painter.setFont(font);
            painter.drawText(QRect(x, 0, picture.width() - x, strip),
                             Qt::AlignVCenter | Qt::AlignLeft, widget->windowTitle());
            painter.end();
            saved = picture.save(QString::fromStdString(path));
        });
        return saved;
    }
};

TEST_F(QtScreenshots, MainWindowAboutBoxAndAssignDialog) {
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SendReply(1, "Vault-Office"));
    ASSERT_TRUE(SendRequest(BootpRequest().HostName(kNimbus).Build()));
    ASSERT_TRUE(WaitForHost("Vault-Office"));
    ASSERT_TRUE(WaitForHost(kNimbus));
    ASSERT_TRUE(DoubleClickHost(kNimbus));
    driver->TypeText(IDC_IP_ADDRESS, "10.77.0.50");
    driver->TypeText(IDC_SUBNET_MASK, "255.255.255.0");
    ASSERT_TRUE(Photograph("qt-assign.png"));
    driver->PressEscape();
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    driver->SelectRows(IDC_DEVICE_LIST, {0});
    ASSERT_TRUE(Photograph("qt-main.png"));
    QPoint inWindow(180, 24); // between the two icons, on the window itself
    ASSERT_TRUE(Photograph("qt-menu.png", &inWindow));
    driver->SysCommand(IDM_ABOUTBOX);
    ASSERT_TRUE(driver->WaitForDialog(IDD_ABOUTBOX));
    ASSERT_TRUE(Photograph("qt-about.png"));
    driver->PressEscape();
}

} // namespace
} // namespace testlab
