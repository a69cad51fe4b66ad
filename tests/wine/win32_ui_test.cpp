// The real program on the Win32 back end, driven through its real windows: run under Wine
// (tests/wine/wine_suite.py) inside a simulated LAN, or on Windows.
//
// The program's user-interface thread runs theApp for the whole process, as tavisol.exe
// would; the cases act on it in order, so the search case leaves rows that the assign case
// uses. The lab is described by the runner in the environment:
//   TAVISOL_LAB_CONFIGURED    "ADDRESS NAME" of an appliance that answers the probe
//   TAVISOL_LAB_UNCONFIGURED  "NAME HARDWARE-ADDRESS" of one that asks for an address
//   TAVISOL_LAB_NEW_ADDRESS   "ADDRESS MASK GATEWAY" to give it
//   TAVISOL_LAB_STATUS        the simulated appliance's status file (a Windows path)
//   TAVISOL_SHOTS             a folder: photograph the windows there as BMP files
#include "app/TavisolApp.h"
#include "platform/win32/driver.h"
#include "res/resource.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::wstring kMainTitle = L"KESTOVA Tavisol UI  V3.0.0.1";

win32::Driver* g_driver = nullptr;
HWND g_main = nullptr;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end()); // the texts checked here are ASCII
}

void Shoot(HWND window, const wchar_t* name) {
    std::string dir = Env("TAVISOL_SHOTS");
    if (dir.empty())
        return;
    ::Sleep(500); // let the last paint reach the screen
    std::wstring path(dir.begin(), dir.end());
    path += L"\\";
    path += name;
    path += L".bmp";
    EXPECT_TRUE(win32::Driver::Screenshot(window, path)) << Narrow(path);
}

// The texts of every box and dialog the program shows besides the main window: a case that
// does not expect one reports them, since they carry the program's own explanation.
std::string OtherWindows() {
    std::string shown;
    for (HWND hwnd : g_driver->DialogWindows()) {
        if (hwnd == g_main)
            continue;
        shown.append("[").append(Narrow(win32::Driver::Title(hwnd)));
        shown.append(": ").append(Narrow(win32::Driver::BoxText(hwnd))).append("] ");
    }
    return shown;
}

bool HasRow(const std::vector<std::vector<std::string>>& rows,
            const std::vector<std::string>& wanted) {
    for (const auto& row : rows)
        if (row == wanted)
            return true;
    return false;
}

std::string RowsText(const std::vector<std::vector<std::string>>& rows) {
    std::string text;
    for (const auto& row : rows) {
        text += "{";
        for (const auto& cell : row)
            text += "\"" + cell + "\" ";
        text += "} ";
    }
    return text;
}

class ProgramEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        INITCOMMONCONTROLSEX icc{};
        icc.dwSize = sizeof icc;
        icc.dwICC = ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES;
        ::InitCommonControlsEx(&icc);
        g_driver = new win32::Driver;
        g_driver->Start(TavisolMain);
        // Wine's first window of a fresh session can take a while to map.
        g_main = g_driver->WaitForWindow(kMainTitle, 30000);
    }
    void TearDown() override {
        if (g_main) {
            for (HWND hwnd : g_driver->DialogWindows())
                if (hwnd != g_main)
                    ::PostMessageA(hwnd, WM_CLOSE, 0, 0);
            win32::Driver::Click(g_main, IDCANCEL);
            EXPECT_EQ(g_driver->Join(10000), 0) << "the program did not end with Close";
        }
    }
};

class Win32Program : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(g_main, nullptr) << "the main window never appeared"; }
};

TEST_F(Win32Program, StartsWithItsTitleListButtonsAndSystemMenu) {
    EXPECT_EQ(win32::Driver::Title(g_main), kMainTitle);

    EXPECT_EQ(win32::Driver::ColumnNames(g_main, IDC_DEVICE_LIST),
              (std::vector<std::wstring>{L"IP Address", L"Host name"}));
    EXPECT_EQ(win32::Driver::ColumnWidths(g_main, IDC_DEVICE_LIST), (std::vector<int>{160, 160}));
    DWORD style = win32::Driver::ListExtendedStyle(g_main, IDC_DEVICE_LIST);
    EXPECT_EQ(style & (LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT),
              static_cast<DWORD>(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT));
    EXPECT_TRUE(win32::Driver::Rows(g_main, IDC_DEVICE_LIST).empty());

    EXPECT_EQ(win32::Driver::Text(g_main, IDC_SEARCH), L"Search");
    EXPECT_TRUE(win32::Driver::IsEnabled(g_main, IDC_SEARCH));
    EXPECT_EQ(win32::Driver::Text(g_main, IDC_WEB_BROWSER), L"Web Browser..");
    EXPECT_FALSE(win32::Driver::IsEnabled(g_main, IDC_WEB_BROWSER));
    EXPECT_EQ(win32::Driver::Text(g_main, IDCANCEL), L"Close");

    // String 101 is Traditional Chinese: read back as UTF-16 it shows whether it survived
    // the way through the ANSI calls whatever the code page.
    HMENU menu = ::GetSystemMenu(g_main, FALSE);
    ASSERT_NE(menu, nullptr);
    int last = ::GetMenuItemCount(menu) - 1;
    ASSERT_GE(last, 0);
    EXPECT_EQ(::GetMenuItemID(menu, last), static_cast<UINT>(IDM_ABOUTBOX));
    wchar_t text[64] = {};
    ::GetMenuStringW(menu, last, text, 64, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(text), L"\x95DC\x65BC Tavisol(&A)...");
    EXPECT_EQ(OtherWindows(), "");
}

TEST_F(Win32Program, AboutBoxOpensFromTheSystemMenuWithItsTexts) {
    win32::Driver::SysCommand(g_main, IDM_ABOUTBOX);
    HWND about = g_driver->WaitForWindow(L"About Tavisol");
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
    Shoot(about, L"about");

    ASSERT_TRUE(win32::Driver::Click(about, IDOK));
    EXPECT_TRUE(win32::Driver::WaitUntil([&] { return !::IsWindow(about); }));
}

TEST_F(Win32Program, SearchListsTheLabsAppliancesAndEndsAfterItsWindow) {
    std::vector<std::string> configured = Words(Env("TAVISOL_LAB_CONFIGURED"));
    std::vector<std::string> unconfigured = Words(Env("TAVISOL_LAB_UNCONFIGURED"));
    if (configured.size() != 2 || unconfigured.size() != 2)
        GTEST_SKIP() << "no simulated LAN described in the environment";

    DWORD start = ::GetTickCount();
    ASSERT_TRUE(win32::Driver::Click(g_main, IDC_SEARCH));
    ASSERT_TRUE(win32::Driver::WaitUntil(
        [] { return !win32::Driver::IsEnabled(g_main, IDC_SEARCH); }, 2000))
        << "Search stayed enabled; " << OtherWindows();

    std::vector<std::string> configuredRow{configured[0], configured[1]};
    std::vector<std::string> noIpRow{"No IP", unconfigured[0]};
    std::vector<std::vector<std::string>> rows;
    bool listed = win32::Driver::WaitUntil(
        [&] {
            rows = win32::Driver::Rows(g_main, IDC_DEVICE_LIST);
            return HasRow(rows, configuredRow) && HasRow(rows, noIpRow);
        },
        8000);
    EXPECT_TRUE(listed) << RowsText(rows) << OtherWindows();

    ASSERT_TRUE(win32::Driver::WaitUntil(
        [] { return win32::Driver::IsEnabled(g_main, IDC_SEARCH); }, 12000))
        << OtherWindows();
    DWORD elapsed = ::GetTickCount() - start;
    // Fifteen ticks of 500 ms; the first one comes half a second after the click.
    EXPECT_GE(elapsed, 6500u);
    EXPECT_LE(elapsed, 10500u);

    rows = win32::Driver::Rows(g_main, IDC_DEVICE_LIST);
    EXPECT_EQ(rows.size(), 2u) << RowsText(rows);
    EXPECT_EQ(OtherWindows(), "");
    Shoot(g_main, L"main-window");
}

TEST_F(Win32Program, HeadingClicksSortTheListAsTextAndTurnTheOrderOnTheSecondClick) {
    std::vector<std::string> configured = Words(Env("TAVISOL_LAB_CONFIGURED"));
    std::vector<std::string> unconfigured = Words(Env("TAVISOL_LAB_UNCONFIGURED"));
    if (configured.size() != 2 || unconfigured.size() != 2)
        GTEST_SKIP() << "no simulated LAN described in the environment";
    std::vector<std::string> configuredRow{configured[0], configured[1]};
    std::vector<std::string> noIpRow{"No IP", unconfigured[0]};
    ASSERT_EQ(win32::Driver::Rows(g_main, IDC_DEVICE_LIST).size(), 2u) << "the search left no rows";
    // The lab's names put the "No IP" row first by host name, last by address (digits sort
    // before letters): each click below changes the order, so each one is seen to work.
    ASSERT_LT(unconfigured[0], configured[1]);

    std::vector<std::vector<std::string>> rows;
    auto sortsTo = [&](int column, const std::vector<std::vector<std::string>>& wanted) {
        if (!win32::Driver::ClickColumn(g_main, IDC_DEVICE_LIST, column))
            return false;
        return win32::Driver::WaitUntil(
            [&] { return (rows = win32::Driver::Rows(g_main, IDC_DEVICE_LIST)) == wanted; }, 2000);
    };
    EXPECT_TRUE(sortsTo(1, {noIpRow, configuredRow})) << "Host name: " << RowsText(rows);
    EXPECT_TRUE(sortsTo(0, {configuredRow, noIpRow})) << "IP Address: " << RowsText(rows);
    EXPECT_TRUE(sortsTo(0, {noIpRow, configuredRow})) << "IP Address again: " << RowsText(rows);
    EXPECT_EQ(OtherWindows(), "");
}

TEST_F(Win32Program, AssignDialogRefusesBadAddressesInTheSystemsMessageBoxes) {
    std::vector<std::string> unconfigured = Words(Env("TAVISOL_LAB_UNCONFIGURED"));
    if (unconfigured.size() != 2)
        GTEST_SKIP() << "no simulated LAN described in the environment";
    const std::string& name = unconfigured[0];
    int row = -1;
    auto rows = win32::Driver::Rows(g_main, IDC_DEVICE_LIST);
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i] == std::vector<std::string>{"No IP", name})
            row = static_cast<int>(i);
    ASSERT_GE(row, 0) << "the search left no \"No IP\" row: " << RowsText(rows);

    ASSERT_TRUE(win32::Driver::DoubleClickRow(g_main, IDC_DEVICE_LIST, row));
    std::wstring title(name.begin(), name.end());
    std::wstring busy = title + L" - ";
    title += L"[Setting]";
    HWND dialog = g_driver->WaitForWindow(title);
    ASSERT_NE(dialog, nullptr) << OtherWindows();
    // Modal, owned by the main window, which is disabled until the dialog ends.
    EXPECT_EQ(::GetWindow(dialog, GW_OWNER), g_main);
    EXPECT_FALSE(::IsWindowEnabled(g_main));

    // Answers the box that the program shows next, which must have these texts and buttons.
    auto answer = [&](const std::wstring& caption, const std::wstring& text,
                      std::vector<std::wstring> buttons, int press) {
        HWND box = g_driver->WaitForWindow(caption);
        ASSERT_NE(box, nullptr) << "no \"" << Narrow(caption) << "\" box; " << OtherWindows();
        char cls[16] = {};
        ::GetClassNameA(box, cls, sizeof cls);
        EXPECT_STREQ(cls, "#32770");
        EXPECT_EQ(win32::Driver::BoxText(box), text);
        std::vector<std::wstring> shown;
        for (const auto& control : win32::Driver::Controls(box))
            if (control.className == "Button")
                shown.push_back(control.text);
        EXPECT_EQ(shown, buttons);
        // The dialog's title says it is busy while the box waits for its answer.
        EXPECT_EQ(win32::Driver::Title(dialog).rfind(busy, 0), 0u)
            << Narrow(win32::Driver::Title(dialog));
        ASSERT_TRUE(win32::Driver::Click(box, press));
        ASSERT_TRUE(win32::Driver::WaitUntil([&] { return !::IsWindow(box); }));
    };

    ASSERT_TRUE(win32::Driver::TypeText(dialog, IDC_IP_ADDRESS, "192.168.1.256"));
    ASSERT_TRUE(win32::Driver::Click(dialog, IDOK));
    ASSERT_NO_FATAL_FAILURE(answer(L"IP ERROR", L"The IP address is invalid!", {L"OK"}, IDOK));
    EXPECT_TRUE(win32::Driver::WaitUntil([&] { return win32::Driver::Title(dialog) == title; }))
        << Narrow(win32::Driver::Title(dialog));

    // Outside the workstation's subnet and no mask typed: a warning; refused, the address
    // counts as taken (the text shows it as the program normalised it).
    ASSERT_TRUE(win32::Driver::TypeText(dialog, IDC_IP_ADDRESS, "10.198.0.5"));
    ASSERT_TRUE(win32::Driver::Click(dialog, IDOK));
    ASSERT_NO_FATAL_FAILURE(
        answer(L"Subnet Warning!",
               L"Assign IP Address maybe in different subnet section!\n Do you want to continue? ",
               {L"OK", L"Cancel"}, IDCANCEL));
    ASSERT_NO_FATAL_FAILURE(
        answer(L"IP ERROR", L"The IP address\n10.198..5\n maybe is in used!\n or Subnet error!",
               {L"OK"}, IDOK));
    EXPECT_TRUE(win32::Driver::WaitUntil([&] { return win32::Driver::Title(dialog) == title; }))
        << Narrow(win32::Driver::Title(dialog));
    EXPECT_FALSE(::IsWindowEnabled(g_main));
    EXPECT_TRUE(win32::Driver::IsEnabled(dialog, IDOK));

    ASSERT_TRUE(win32::Driver::Click(dialog, IDCANCEL));
    EXPECT_TRUE(win32::Driver::WaitUntil([&] { return !::IsWindow(dialog); }));
    EXPECT_TRUE(win32::Driver::WaitUntil([] { return ::IsWindowEnabled(g_main) != FALSE; }));
    EXPECT_EQ(OtherWindows(), "");
}

TEST_F(Win32Program, AssignsAnAddressToAnUnconfiguredApplianceEndToEnd) {
    std::vector<std::string> unconfigured = Words(Env("TAVISOL_LAB_UNCONFIGURED"));
    std::vector<std::string> address = Words(Env("TAVISOL_LAB_NEW_ADDRESS"));
    std::string status = Env("TAVISOL_LAB_STATUS");
    if (unconfigured.size() != 2 || address.size() != 3 || status.empty())
        GTEST_SKIP() << "no simulated LAN described in the environment";
    const std::string& name = unconfigured[0];

    auto noIpRow = [&] {
        auto rows = win32::Driver::Rows(g_main, IDC_DEVICE_LIST);
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i] == std::vector<std::string>{"No IP", name})
                return static_cast<int>(i);
        return -1;
    };
    if (noIpRow() < 0) {
        ASSERT_TRUE(win32::Driver::Click(g_main, IDC_SEARCH));
        ASSERT_TRUE(win32::Driver::WaitUntil([&] { return noIpRow() >= 0; }, 8000))
            << RowsText(win32::Driver::Rows(g_main, IDC_DEVICE_LIST)) << OtherWindows();
    }

    ASSERT_TRUE(win32::Driver::DoubleClickRow(g_main, IDC_DEVICE_LIST, noIpRow()));
    std::wstring title(name.begin(), name.end());
    title += L"[Setting]";
    HWND dialog = g_driver->WaitForWindow(title);
    ASSERT_NE(dialog, nullptr) << OtherWindows();
    std::wstring hardware(unconfigured[1].begin(), unconfigured[1].end());
    EXPECT_EQ(win32::Driver::Text(dialog, IDC_HARDWARE_ADDRESS), hardware);
    EXPECT_EQ(win32::Driver::Text(dialog, IDOK), L"Assign IP");

    ASSERT_TRUE(win32::Driver::TypeText(dialog, IDC_IP_ADDRESS, address[0]));
    ASSERT_TRUE(win32::Driver::TypeText(dialog, IDC_SUBNET_MASK, address[1]));
    ASSERT_TRUE(win32::Driver::TypeText(dialog, IDC_GATEWAY, address[2]));
    Shoot(dialog, L"assign-dialog");
    ASSERT_TRUE(win32::Driver::Click(dialog, IDOK));

    // The echo probe, then the appliance's next DISCOVER and REQUEST: a few seconds.
    bool ended = win32::Driver::WaitUntil([&] { return !::IsWindow(dialog); }, 20000);
    ASSERT_TRUE(ended) << "the dialog is still open: " << OtherWindows();

    std::vector<std::vector<std::string>> rows;
    EXPECT_TRUE(win32::Driver::WaitUntil(
        [&] {
            rows = win32::Driver::Rows(g_main, IDC_DEVICE_LIST);
            return HasRow(rows, {address[0], name});
        },
        3000))
        << RowsText(rows) << OtherWindows();
    EXPECT_TRUE(::IsWindowEnabled(g_main));
    EXPECT_TRUE(win32::Driver::IsEnabled(g_main, IDC_SEARCH));

    std::string state;
    EXPECT_TRUE(win32::Driver::WaitUntil(
        [&] {
            std::ifstream in(status);
            std::getline(in, state);
            return state.rfind("configured", 0) == 0;
        },
        5000))
        << "the appliance's state: " << state;
    EXPECT_EQ(Words(state),
              (std::vector<std::string>{"configured", address[0] + "/24", "gw", address[2]}));
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ProgramEnvironment);
    return RUN_ALL_TESTS();
}
