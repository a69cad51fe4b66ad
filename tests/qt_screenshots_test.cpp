// Photographs of the Qt windows for `make screenshots`: the whole screen with the main window
// after a search that listed a configured and a "No IP" appliance, the same with its context
// menu open (where the About entry is), the About box and the assign dialog, each over the
// main window. Runs only when TAVISOL_SCREENSHOT_DIR names a folder (under Xvfb, with a window
// manager where one is installed, see scripts/screenshots-qt.sh): where the windows are shows
// as much as what they show.
#include "platform/qt/host.h"
#include "tests/support/assign_session.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QScreen>
#include <QThread>
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

    // The screen with the topmost dialog up to date; with menuAt, with that dialog's context
    // menu opened there (window coordinates).
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
            QMenu* popup = nullptr;
            if (menuAt) {
                QContextMenuEvent event(QContextMenuEvent::Mouse, *menuAt,
                                        widget->mapToGlobal(*menuAt));
                QApplication::sendEvent(widget, &event);
                for (QWidget* shown : QApplication::topLevelWidgets())
                    if (auto* menu = qobject_cast<QMenu*>(shown); menu && menu->isVisible())
                        popup = menu;
                if (!popup)
                    return;
            }
            // The X server and the window manager draw in processes of their own: a moment
            // for what was just shown to reach the screen.
            for (int i = 0; i < 10; ++i) {
                QCoreApplication::processEvents();
                QThread::msleep(50);
            }
            QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
            if (popup)
                popup->close();
            saved = screen.save(QString::fromStdString(path));
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
