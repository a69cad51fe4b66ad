// What only the Qt back end has: the widgets. The list shown as the engine holds it (rows,
// headings, icons, selection, grid lines), heading clicks and double-clicks by mouse, the
// message box on screen with its exact texts while the loop goes on, and the About entry
// in the window's context menu and on F1.
#include "platform/qt/host.h"
#include "platform/qt/widgets.h"
#include "tests/support/assign_session.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>

namespace testlab {
namespace {

class QtWindowTest : public AssignSession {
protected:
    // Runs fn on the GUI thread with the screen up to date.
    void OnScreen(const std::function<void(qtui::QtHost&)>& fn) {
        driver->WaitIdle();
        driver->OnUi([&] {
            qtui::QtHost* host = qtui::CurrentHost();
            ASSERT_NE(host, nullptr);
            host->Refresh();
            fn(*host);
        });
    }
    static QTableWidget* Table(qtui::QtHost& host) {
        HWND list = GetDlgItem(WindowHandle(), IDC_DEVICE_LIST);
        return qobject_cast<QTableWidget*>(host.WidgetOf(list));
    }
};

TEST_F(QtWindowTest, ListShowsTheRowsAsTheEngineHoldsThem) {
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SendReply(1, "Vault-Office"));
    ASSERT_TRUE(SendRequest(BootpRequest().HostName(kNimbus).Build()));
    ASSERT_TRUE(WaitForHost("Vault-Office"));
    ASSERT_TRUE(WaitForHost(kNimbus));
    driver->SelectRows(IDC_DEVICE_LIST, {1});
    std::vector<std::vector<std::string>> rows = Rows();
    OnScreen([&](qtui::QtHost& host) {
        QTableWidget* table = Table(host);
        ASSERT_NE(table, nullptr);
        EXPECT_TRUE(table->isVisible());
        EXPECT_TRUE(table->showGrid());
        EXPECT_EQ(table->selectionBehavior(), QAbstractItemView::SelectRows);
        EXPECT_EQ(table->selectionMode(), QAbstractItemView::ExtendedSelection);
        EXPECT_TRUE(table->horizontalHeader()->sectionsClickable());
        ASSERT_EQ(table->columnCount(), 2);
        EXPECT_EQ(table->horizontalHeaderItem(0)->text(), "IP Address");
        EXPECT_EQ(table->horizontalHeaderItem(1)->text(), "Host name");
        EXPECT_EQ(table->columnWidth(0), 160);
        ASSERT_EQ(table->rowCount(), static_cast<int>(rows.size()));
        for (int r = 0; r < table->rowCount(); ++r) {
            for (int c = 0; c < 2; ++c)
                EXPECT_EQ(table->item(r, c)->text().toStdString(), rows[r][c]) << r << c;
            EXPECT_FALSE(table->item(r, 0)->icon().isNull()) << r;
            EXPECT_EQ(table->selectionModel()->isRowSelected(r, {}), r == 1) << r;
        }
    });

    // A sort by heading click re-orders the widget's rows with the engine's.
    driver->ClickColumn(IDC_DEVICE_LIST, 1);
    driver->ClickColumn(IDC_DEVICE_LIST, 1);
    rows = Rows();
    OnScreen([&](qtui::QtHost& host) {
        QTableWidget* table = Table(host);
        for (int r = 0; r < table->rowCount(); ++r)
            EXPECT_EQ(table->item(r, 1)->text().toStdString(), rows[r][1]) << r;
    });
    EXPECT_EQ(rows.front()[1], "Vault-Office"); // descending after the second click
}

struct ShownBox {
    bool visible = false;
    std::string caption, text;
    std::vector<std::string> buttons;
    bool ownerEnabled = true;
};

TEST_F(QtWindowTest, RefusalBoxIsOnScreenWithItsTextsWhileItsLoopRuns) {
    ASSERT_TRUE(OpenAssignDialog());
    driver->TypeText(IDC_IP_ADDRESS, "10.200.50");
    // Looked at from the box's own loop: a task runs there once the box is up.
    auto shown = std::make_shared<ShownBox>();
    driver->SetBoxObserver([shown](const headless::BoxRecord&) {
        headless::Engine::Get().PostTask([shown] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (!box || !box->isVisible())
                    continue;
                shown->visible = true;
                shown->caption = box->windowTitle().toStdString();
                shown->text = box->text().toStdString();
                for (QAbstractButton* b : box->buttons())
                    shown->buttons.push_back(b->text().toStdString());
            }
            qtui::QtHost* host = qtui::CurrentHost();
            host->Refresh();
            shown->ownerEnabled = host->DialogOf(AssignDialogNow())->isEnabled();
        });
    });
    driver->AnswerNextBox(IDOK, 500);
    driver->Click(IDOK);
    ASSERT_TRUE(driver->WaitForDialog(IDD_ADDRESS_ASSIGN));
    EXPECT_TRUE(shown->visible);
    EXPECT_EQ(shown->caption, "IP ERROR");
    EXPECT_EQ(shown->text, "The IP address is invalid!");
    EXPECT_EQ(shown->buttons, std::vector<std::string>{"OK"});
    EXPECT_TRUE(shown->ownerEnabled); // a box without an owner disables nothing
    driver->OnUi([] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                EXPECT_FALSE(box->isVisible());
            }
        }
    });
}

// The windows are where the engine put them (centred, as the framework places them), and a
// window moved on the screen (as a window manager or the user moves it) is where the engine
// centres the next dialog over.
TEST_F(QtWindowTest, WindowsAreWhereTheFrameworkPutsThem) {
    const RECT main = driver->WindowRect();
    OnScreen([&](qtui::QtHost& host) {
        QWidget* window = host.DialogOf(WindowHandle());
        EXPECT_EQ(window->frameGeometry().topLeft(), QPoint(main.left, main.top));
        window->move(50, 70);
        QCoreApplication::processEvents();
    });
    driver->WaitIdle();
    const RECT moved = driver->WindowRect();
    EXPECT_EQ(moved.left, 50);
    EXPECT_EQ(moved.top, 70);

    driver->SysCommand(IDM_ABOUTBOX);
    ASSERT_TRUE(driver->WaitForDialog(IDD_ABOUTBOX));
    const RECT about = driver->WindowRect();
    EXPECT_TRUE(CentredOn(about, moved));
    OnScreen([&](qtui::QtHost& host) {
        QWidget* box = host.WidgetOf(AssignDialogNow());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->frameGeometry().topLeft(), QPoint(about.left, about.top));
    });
    driver->PressEscape();
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
}

TEST_F(QtWindowTest, AboutIsInTheContextMenuAndOnF1) {
    OnScreen([](qtui::QtHost& host) {
        auto* window = host.DialogOf(WindowHandle());
        ASSERT_NE(window, nullptr);
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                window->mapToGlobal(QPoint(5, 5)));
        QCoreApplication::sendEvent(window, &event);
        QMenu* menu = window->findChild<QMenu*>();
        ASSERT_NE(menu, nullptr);
        ASSERT_EQ(menu->actions().size(), 1);
        QAction* about = menu->actions().front();
        EXPECT_EQ(about->text().toStdString(), "\xE9\x97\x9C\xE6\x96\xBC Tavisol(&A)...");
        EXPECT_EQ(about->shortcut(), QKeySequence(Qt::Key_F1));
        about->trigger();
        menu->close();
    });
    ASSERT_TRUE(driver->WaitForDialog(IDD_ABOUTBOX));
    driver->PressEscape();
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));

    OnScreen([](qtui::QtHost& host) {
        QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
        QCoreApplication::sendEvent(host.DialogOf(WindowHandle()), &f1);
    });
    ASSERT_TRUE(driver->WaitForDialog(IDD_ABOUTBOX));
    EXPECT_FALSE(driver->IsDialogEnabled(IDD_VELLUMCRESTUI_DIALOG));
    OnScreen([](qtui::QtHost& host) {
        EXPECT_FALSE(host.DialogOf(WindowHandle())->isEnabled()); // the owner is disabled
    });
    driver->PressEnter();
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
}

} // namespace
} // namespace testlab
