// The main window: start-up state, the About command, the socket-library failure box,
// painting when minimised, and the ways the window closes.
#include "tests/support/app_session.h"

#include <algorithm>

namespace testlab {
namespace {

class MainWindowTest : public AppSession {};

TEST_F(MainWindowTest, OpensWithEmptyListAndDisabledWebBrowser) {
    EXPECT_EQ(driver->Title(), "KESTOVA Tavisol UI  V3.0.0.1");
    headless::ListState list = driver->List(IDC_DEVICE_LIST);
    EXPECT_EQ(list.columns, (std::vector<std::string>{"IP Address", "Host name"}));
    EXPECT_EQ(list.columnWidths, (std::vector<int>{160, 160}));
    EXPECT_TRUE(list.rows.empty());
    EXPECT_EQ(list.extendedStyle, static_cast<DWORD>(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT));
    EXPECT_EQ(list.imageCount, 3);

    EXPECT_FALSE(driver->IsEnabled(IDC_WEB_BROWSER));
    EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));
    EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON), IDI_STATUS_IDLE);
    EXPECT_EQ(driver->WindowIcon(true), IDR_MAINFRAME);
    EXPECT_EQ(driver->WindowIcon(false), IDR_MAINFRAME);
    EXPECT_EQ(driver->FocusedControl(), IDCANCEL);
    EXPECT_TRUE(driver->Snapshot().boxes.empty());

    std::vector<headless::MenuItem> menu = driver->SystemMenu();
    ASSERT_EQ(menu.size(), 2u);
    EXPECT_EQ(menu[0].flags, static_cast<UINT>(MF_SEPARATOR));
    EXPECT_EQ(menu[1].flags, static_cast<UINT>(MF_STRING));
    EXPECT_EQ(menu[1].id, static_cast<UINT_PTR>(IDM_ABOUTBOX));
    EXPECT_EQ(menu[1].text, "\xE9\x97\x9C\xE6\x96\xBC Tavisol(&A)...");
}

TEST_F(MainWindowTest, SystemCommandsSixteenToThirtyOneOpenTheAboutBox) {
    for (UINT id = 16; id <= 31; ++id) {
        driver->SysCommand(id);
        ASSERT_TRUE(driver->WaitForDialog(IDD_ABOUTBOX)) << id;
        EXPECT_EQ(driver->Title(), "About Tavisol");
        EXPECT_FALSE(driver->IsDialogEnabled(IDD_VELLUMCRESTUI_DIALOG));
        EXPECT_EQ(driver->Text(IDOK), "OK");
        driver->PressEnter(); // the OK button has the focus
        ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG)) << id;
        EXPECT_TRUE(driver->IsDialogEnabled());
    }
    // Escape and the close box end it too.
    driver->SysCommand(IDM_ABOUTBOX);
    ASSERT_TRUE(driver->WaitForDialog(IDD_ABOUTBOX));
    driver->PressEscape();
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    driver->SysCommand(IDM_ABOUTBOX);
    ASSERT_TRUE(driver->WaitForDialog(IDD_ABOUTBOX));
    driver->CloseBox();
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));

    // Every About box ended normally, and 32 is no longer the About command.
    driver->SysCommand(32);
    EXPECT_EQ(driver->TopDialog(), IDD_VELLUMCRESTUI_DIALOG);
    EXPECT_EQ(driver->Snapshot().dialogRuns.size(), 18u);
}

TEST_F(MainWindowTest, AboutBoxShowsItsFixedLines) {
    driver->SysCommand(IDM_ABOUTBOX);
    ASSERT_TRUE(driver->WaitForDialog(IDD_ABOUTBOX));
    std::vector<std::string> texts;
    for (const auto& [id, text] : driver->Controls())
        if (!text.empty())
            texts.push_back(text);
    EXPECT_EQ(texts.front(), "Tavisol UI Version 3.0.0.1");
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Running on : OSVERSION"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(),
                        "This utility will  detect Vellumcrest series  in local LAN, and "
                        "assign its IP address."),
              texts.end());
    EXPECT_EQ(driver->ShownIcon(IDC_STATIC), IDR_MAINFRAME);
}

TEST_F(MainWindowTest, MinimisedWindowPaintsWhateverIconItHolds) {
    driver->SysCommand(SC_MINIMIZE);
    EXPECT_TRUE(driver->IsIconic());
    driver->Paint();
    ASSERT_FALSE(driver->Snapshot().drawnIcons.empty());
    EXPECT_EQ(driver->Snapshot().drawnIcons.back(), IDR_MAINFRAME);

    // After a search starts, the status icon is what the minimised window shows.
    driver->Click(IDC_SEARCH);
    driver->StepTime(500);
    driver->Paint();
    EXPECT_EQ(driver->Snapshot().drawnIcons.back(), IDI_STATUS_LEFT);
    driver->StepTime(8000);
    driver->Paint();
    EXPECT_EQ(driver->Snapshot().drawnIcons.back(), IDI_STATUS_IDLE);
    // The title-bar icon never changes.
    EXPECT_EQ(driver->WindowIcon(true), IDR_MAINFRAME);

    driver->SysCommand(SC_RESTORE);
    EXPECT_FALSE(driver->IsIconic());
}

struct CloseCase {
    const char* name;
    void (*close)(headless::Driver&);
    INT_PTR result;
    bool cleanedUp;
};

void PrintTo(const CloseCase& c, std::ostream* os) {
    *os << c.name;
}

class MainWindowCloseTest : public AppSession, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(MainWindowCloseTest, EndsTheProgram) {
    driver->Click(IDC_SEARCH); // listeners and timer running
    ASSERT_GT(tvposix::OpenSocketCount(), 0);
    GetParam().close(*driver);
    EXPECT_EQ(driver->Join(), 0);
    std::vector<headless::DialogRun> runs = driver->Snapshot().dialogRuns;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].templateId, IDD_VELLUMCRESTUI_DIALOG);
    EXPECT_EQ(runs[0].result, GetParam().result);
    if (GetParam().cleanedUp) {
        EXPECT_EQ(tvposix::OpenSocketCount(), 0);
        EXPECT_EQ(tvposix::StartupCount(), 0);
    } else {
        // IDOK ends the dialog through the framework's default, without the clean-up.
        EXPECT_GT(tvposix::OpenSocketCount(), 0);
        EXPECT_EQ(tvposix::StartupCount(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ways, MainWindowCloseTest,
    ::testing::Values(
        CloseCase{"CloseButton", [](headless::Driver& d) { d.Click(IDCANCEL); }, IDCANCEL, true},
        CloseCase{"Escape", [](headless::Driver& d) { d.PressEscape(); }, IDCANCEL, true},
        CloseCase{"CloseBox", [](headless::Driver& d) { d.CloseBox(); }, IDCANCEL, true},
        CloseCase{"EnterOnClose",
                  [](headless::Driver& d) {
                      d.SetFocus(IDCANCEL);
                      d.PressEnter();
                  },
                  IDCANCEL, true},
        CloseCase{"EnterOnList",
                  [](headless::Driver& d) {
                      d.SetFocus(IDC_DEVICE_LIST);
                      d.PressEnter();
                  },
                  IDOK, false}),
    [](const ::testing::TestParamInfo<CloseCase>& info) { return std::string(info.param.name); });

// ---- where the windows open --------------------------------------------------------------

// A modal dialog of the framework with no position of its own opens centred: the main window
// on the screen's work area, the About box over the main window, wherever that has been
// moved, and still wholly on the work area when the main window is at its edge.
TEST_F(MainWindowTest, WindowsOpenCentred) {
    const RECT work = driver->WorkArea();
    const RECT main = driver->WindowRect();
    EXPECT_GT(main.right - main.left, 0);
    EXPECT_TRUE(CentredOn(main, work));

    struct Place {
        const char* name;
        LONG x, y;   // the main window's top-left corner
        bool atEdge; // the About box centred there would leave the work area
    };
    const LONG mainWidth = main.right - main.left, mainHeight = main.bottom - main.top;
    const Place places[] = {
        {"where it opened", main.left, main.top, false},
        {"moved", work.left + 40, work.top + 60, false},
        {"at the bottom right", work.right - mainWidth / 3, work.bottom - mainHeight / 3, true},
    };
    for (const Place& place : places) {
        SCOPED_TRACE(place.name);
        driver->MoveDialog(place.x, place.y);
        const RECT owner = driver->WindowRect();
        ASSERT_EQ(owner.left, place.x);
        driver->SysCommand(IDM_ABOUTBOX);
        ASSERT_TRUE(driver->WaitForDialog(IDD_ABOUTBOX));
        const RECT about = driver->WindowRect();
        if (place.atEdge) {
            // Pushed back onto the work area, against its edges.
            EXPECT_EQ(about.right, work.right);
            EXPECT_EQ(about.bottom, work.bottom);
        } else {
            EXPECT_TRUE(CentredOn(about, owner));
        }
        driver->PressEscape();
        ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    }
}

// The socket library failing in both versions: one warning box with the second call's code.
class WinsockUnavailableTest : public AppSession {
    void BeforeStart() override {
        driver->FailSocketCall("WSAStartup", WSASYSNOTREADY, 1, MAKEWORD(2, 1));
        driver->FailSocketCall("WSAStartup", WSAVERNOTSUPPORTED, 1, MAKEWORD(1, 1));
    }
};

TEST_F(WinsockUnavailableTest, WarnsOnceAndOpensTheWindow) {
    std::vector<headless::BoxRecord> boxes = driver->Snapshot().boxes;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Cannot use WinSock!\nError Code: 10092");
    EXPECT_EQ(boxes[0].caption, "tavisol");
    EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_ICONWARNING));
    EXPECT_TRUE(boxes[0].hasOwner);
    EXPECT_EQ(driver->TopDialog(), IDD_VELLUMCRESTUI_DIALOG);

    // Without the library the search's sockets fail in their own ways: the reply listener
    // is never reached (the probe cannot be sent), so no box appears; "Search" comes back.
    driver->Click(IDC_SEARCH);
    EXPECT_EQ(driver->Snapshot().boxes.size(), 1u);
    driver->StepTime(8000);
    EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));
}

class WinsockFallbackTest : public AppSession {
    void BeforeStart() override {
        driver->FailSocketCall("WSAStartup", WSAVERNOTSUPPORTED, 1, MAKEWORD(2, 1));
    }
};

TEST_F(WinsockFallbackTest, VersionOneOneIsEnoughAndShowsNoBox) {
    EXPECT_TRUE(driver->Snapshot().boxes.empty());
    EXPECT_EQ(tvposix::StartupCount(), 1);
}

} // namespace
} // namespace testlab
