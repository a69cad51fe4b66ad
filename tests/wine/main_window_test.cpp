// The main window on the real windows: start-up state, the About box with its system-menu
// command and the dialog keys, the socket-event error box, and the ways the window closes.
#include "app/VellumcrestUIDlg.h"
#include "tests/wine/wine_session.h"

namespace winetest {
namespace {

class MainWindow : public ProgramSuite {};

TEST_F(MainWindow, StartsWithItsTitleListButtonsAndSystemMenu) {
    EXPECT_EQ(win32::Driver::Title(Main()), kMainTitle);

    EXPECT_EQ(win32::Driver::ColumnNames(Main(), IDC_DEVICE_LIST),
              (std::vector<std::wstring>{L"IP Address", L"Host name"}));
    EXPECT_EQ(win32::Driver::ColumnWidths(Main(), IDC_DEVICE_LIST), (std::vector<int>{160, 160}));
    DWORD style = win32::Driver::ListExtendedStyle(Main(), IDC_DEVICE_LIST);
    EXPECT_EQ(style & (LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT),
              static_cast<DWORD>(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT));
    EXPECT_TRUE(MainRows().empty());

    EXPECT_EQ(win32::Driver::Text(Main(), IDC_SEARCH), L"Search");
    EXPECT_TRUE(win32::Driver::IsEnabled(Main(), IDC_SEARCH));
    EXPECT_EQ(win32::Driver::Text(Main(), IDC_WEB_BROWSER), L"Web Browser..");
    EXPECT_FALSE(win32::Driver::IsEnabled(Main(), IDC_WEB_BROWSER));
    EXPECT_EQ(win32::Driver::Text(Main(), IDCANCEL), L"Close");
    EXPECT_EQ(win32::Driver::ShownIcon(Main(), IDC_STATUS_ICON),
              ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_STATUS_IDLE)));
    // The dialog manager gives the focus to the first control that takes it: "Close".
    EXPECT_EQ(win32::Driver::FocusedControl(Main()), IDCANCEL);

    // String 101 is Traditional Chinese: read back as UTF-16 it shows whether it survived
    // the way through the ANSI calls whatever the code page.
    HMENU menu = ::GetSystemMenu(Main(), FALSE);
    ASSERT_NE(menu, nullptr);
    int last = ::GetMenuItemCount(menu) - 1;
    ASSERT_GE(last, 1);
    EXPECT_EQ(::GetMenuItemID(menu, last), static_cast<UINT>(IDM_ABOUTBOX));
    EXPECT_TRUE(::GetMenuState(menu, last - 1, MF_BYPOSITION) & MF_SEPARATOR);
    wchar_t text[64] = {};
    ::GetMenuStringW(menu, last, text, 64, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(text), L"\x95DC\x65BC Tavisol(&A)...");
    EXPECT_EQ(OtherWindows(), "");
    // No position of its own and no owner: centred on its monitor's work area.
    EXPECT_TRUE(CentredOn(Main(), WorkAreaOf(Main())));
}

TEST_F(MainWindow, AboutBoxOpensFromTheSystemMenuWithItsTexts) {
    win32::Driver::SysCommand(Main(), IDM_ABOUTBOX);
    HWND about = Driver().WaitForWindow(L"About Tavisol");
    ASSERT_NE(about, nullptr) << OtherWindows();

    std::vector<std::wstring> texts;
    for (const auto& control : win32::Driver::Controls(about))
        // An icon's window text is its resource ordinal (0xFFFF, id), not a text.
        if (control.className == "Static" && !control.text.empty() && control.text[0] != 0xFFFF)
            texts.push_back(control.text);
    EXPECT_EQ(texts, (std::vector<std::wstring>{
                         L"Tavisol UI Version 3.0.0.1", L"Copyright (C) 2026", L"Description :",
                         L"This utility will  detect Vellumcrest series  in local LAN, and "
                         L"assign its IP address.",
                         L"Running on : OSVERSION"}));
    EXPECT_EQ(win32::Driver::Text(about, IDOK), L"OK");
    // Owned by the main window, it opens centred over it.
    EXPECT_TRUE(CentredOn(about, WindowRect(Main())));
    Shoot(L"about");

    ASSERT_TRUE(win32::Driver::Click(about, IDOK));
    EXPECT_TRUE(win32::Driver::WaitUntil([&] { return !::IsWindow(about); }));
}

// The system menu's command ids come with their low four bits free for the system's own
// use; every way of ending the box is an ordinary end of the modal loop, after which the
// main window is usable again.
struct AboutWay {
    const char* name;
    UINT command;
    void (*end)(HWND about);
};

const AboutWay kAboutWays[] = {
    {"EnterOnOk", IDM_ABOUTBOX, [](HWND about) { win32::Driver::PressKey(about, VK_RETURN); }},
    {"Escape", IDM_ABOUTBOX | 0x1, [](HWND about) { win32::Driver::PressKey(about, VK_ESCAPE); }},
    {"CloseBox", IDM_ABOUTBOX | 0xF,
     [](HWND about) { win32::Driver::SysCommand(about, SC_CLOSE); }},
};

TEST_F(MainWindow, AboutBoxIsModalAndEndsByEnterEscapeOrItsCloseBox) {
    for (const AboutWay& way : kAboutWays) {
        SCOPED_TRACE(way.name);
        win32::Driver::SysCommand(Main(), way.command);
        HWND about = Driver().WaitForWindow(L"About Tavisol");
        ASSERT_NE(about, nullptr) << OtherWindows();
        EXPECT_EQ(::GetWindow(about, GW_OWNER), Main());
        EXPECT_FALSE(::IsWindowEnabled(Main()));
        ASSERT_TRUE(
            win32::Driver::WaitUntil([&] { return win32::Driver::FocusedControl(about) == IDOK; }));
        way.end(about);
        EXPECT_TRUE(win32::Driver::WaitUntil([&] { return !::IsWindow(about); }));
        EXPECT_TRUE(win32::Driver::WaitUntil([] { return ::IsWindowEnabled(Main()) != FALSE; }));
    }
    // 0x20 is another command, not the About box.
    win32::Driver::SysCommand(Main(), IDM_ABOUTBOX + 0x10);
    EXPECT_FALSE(win32::Driver::WaitUntil(
        [&] { return Driver().FindWindowTitled(L"About Tavisol") != nullptr; }, 500));
    EXPECT_EQ(OtherWindows(), "");
}

// An error reported with a socket event: the system-modal box names the event and the
// error, and the handler then goes on with the event (here a receive with nothing there).
TEST_F(MainWindow, SocketEventWithAnErrorShowsItsBox) {
    ::PostMessageA(Main(), WM_PING_ASYNCH, 0, WSAMAKESELECTREPLY(FD_READ, WSAENETDOWN));
    HWND box = Driver().WaitForWindow(L"CVellumcrestUIDlg::OnPINGAsynch");
    ASSERT_NE(box, nullptr) << OtherWindows();
    EXPECT_TRUE(::GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST);
    ASSERT_NO_FATAL_FAILURE(AnswerBox(L"CVellumcrestUIDlg::OnPINGAsynch",
                                      L"WSAAsynch Event # 1, Error: 10050", {L"OK"}, Main(), 0,
                                      IDOK));
    EXPECT_TRUE(win32::Driver::WaitUntil([] { return ::IsWindowEnabled(Main()) != FALSE; }));
    EXPECT_TRUE(MainRows().empty());
    EXPECT_EQ(OtherWindows(), "");
}

// ---- the ways the window closes --------------------------------------------------------------

struct CloseWay {
    const char* name;
    void (*close)(HWND main);
};

const CloseWay kCloseWays[] = {
    {"Escape", [](HWND main) { win32::Driver::PressKey(main, VK_ESCAPE); }},
    {"CloseBox", [](HWND main) { win32::Driver::SysCommand(main, SC_CLOSE); }},
    {"EnterOnClose", [](HWND main) { win32::Driver::PressKey(main, VK_RETURN); }},
};

TEST(MainWindowCloses, ByEscapeTheCloseBoxAndEnterOnClose) {
    for (const CloseWay& way : kCloseWays) {
        SCOPED_TRACE(way.name);
        win32::Driver driver;
        driver.Start(TavisolMain);
        HWND main = driver.WaitForWindow(kMainTitle, 30000);
        ASSERT_NE(main, nullptr);
        ASSERT_TRUE(win32::Driver::WaitUntil(
            [&] { return win32::Driver::FocusedControl(main) == IDCANCEL; }));
        way.close(main);
        int result = driver.Join(5000);
        EXPECT_EQ(result, 0) << "the window is still open";
        if (result != 0) {
            win32::Driver::Click(main, IDCANCEL); // so that no program outlives its case
            driver.Join(5000);
        }
        EXPECT_FALSE(::IsWindow(main));
    }
}

} // namespace
} // namespace winetest
