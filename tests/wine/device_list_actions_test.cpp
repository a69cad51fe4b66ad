// What the main window does with a listed appliance on the real windows: a double-click on
// a row with an address and "Web Browser.." open the administration page through the
// system's shell (intercepted: the test sees the address, nothing is opened), and the
// system's warning box when the shell cannot open it.
#include "tests/wine/wine_session.h"

namespace winetest {
namespace {

std::string AdminPage(const std::string& address) {
    return "http://" + address + "/admin/";
}

class DeviceListActions : public ProgramSuite {
protected:
    // The configured appliance's row, listed by a search whose window has ended.
    static int ConfiguredRow() {
        return FindRow(MainRows(), {TheLab().configuredAddress, TheLab().configuredName});
    }
    // Two for each segment, and the test's own "No IP" row.
    static std::size_t ListedRows() { return 1 + 2 * Segments().size(); }
};

// The two appliances of each of the lab's segments (the second "No IP" until the assign
// suite has given it its address) and a "No IP" row of the test's own, whatever the order of
// the suites.
TEST_F(DeviceListActions, SearchListsTheLab) {
    REQUIRE_LAB();
    Peer requester("0.0.0.0");
    ASSERT_TRUE(requester.ok());
    ASSERT_TRUE(StartSearch());
    ASSERT_TRUE(requester.SendTo(
        "255.255.255.255", 67,
        testlab::BootpRequest().HostName("SPARE-BOX").Chaddr({0x02, 0, 0, 0, 0x0B, 0x01}).Build()));
    Rows rows;
    EXPECT_TRUE(WaitForRows(
        [&](const Rows& now) {
            rows = now;
            for (const Segment* segment : Segments())
                if (!ListsSegment(now, *segment))
                    return false;
            return HasRow(now, {"No IP", "SPARE-BOX"});
        },
        8000))
        << RowsText(rows) << OtherWindows();
    ASSERT_TRUE(win32::Driver::WaitUntil(
        [] { return win32::Driver::IsEnabled(Main(), IDC_SEARCH); }, 12000))
        << OtherWindows();
    EXPECT_EQ(MainRows().size(), ListedRows()) << RowsText(MainRows());
    Shoot(L"main-window");
}

TEST_F(DeviceListActions, DoubleClickOnARowWithAnAddressOpensItsAdminPage) {
    REQUIRE_LAB();
    int row = ConfiguredRow();
    ASSERT_GE(row, 0) << RowsText(MainRows());
    ClearShellCalls();
    ASSERT_TRUE(win32::Driver::DoubleClickRow(Main(), IDC_DEVICE_LIST, row));
    EXPECT_TRUE(win32::Driver::WaitUntil([] { return !ShellCalls().empty(); }, 2000));
    EXPECT_EQ(ShellCalls(), std::vector<std::string>{AdminPage(TheLab().configuredAddress)});
    EXPECT_EQ(OtherWindows(), "");
    EXPECT_TRUE(::IsWindowEnabled(Main()));
}

TEST_F(DeviceListActions, WebBrowserOpensTheFirstSelectedRowOrTheTopRow) {
    REQUIRE_LAB();
    Rows rows = MainRows();
    int row = ConfiguredRow();
    ASSERT_GE(row, 0) << RowsText(rows);
    const struct {
        const char* name;
        std::vector<int> selected;
        std::string url;
    } cases[] = {
        {"selected row", {row}, AdminPage(TheLab().configuredAddress)},
        // Whatever the top row's text is, "No IP" included.
        {"nothing selected", {}, AdminPage(rows[0][0])},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearShellCalls();
        ASSERT_TRUE(win32::Driver::SelectRows(Main(), IDC_DEVICE_LIST, c.selected));
        ASSERT_TRUE(win32::Driver::Click(Main(), IDC_WEB_BROWSER));
        EXPECT_TRUE(win32::Driver::WaitUntil([] { return !ShellCalls().empty(); }, 2000));
        EXPECT_EQ(ShellCalls(), std::vector<std::string>{c.url});
    }
    EXPECT_EQ(OtherWindows(), "");
}

// The shell's answer is a success above 32 only. The warning box has no owner, so the main
// window stays usable while it waits.
TEST_F(DeviceListActions, ShellFailureShowsTheLinkWarning) {
    REQUIRE_LAB();
    const struct {
        const char* name;
        bool byButton;
        int shellResult;
        bool fails;
    } cases[] = {
        {"double-click, file not found", false, 2, true},
        {"button, 32", true, 32, true},
        {"button, 33", true, 33, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int row = ConfiguredRow();
        ASSERT_GE(row, 0) << RowsText(MainRows());
        SetShellResult(c.shellResult);
        ClearShellCalls();
        if (c.byButton) {
            ASSERT_TRUE(win32::Driver::SelectRows(Main(), IDC_DEVICE_LIST, {row}));
            ASSERT_TRUE(win32::Driver::Click(Main(), IDC_WEB_BROWSER));
        } else {
            ASSERT_TRUE(win32::Driver::DoubleClickRow(Main(), IDC_DEVICE_LIST, row));
        }
        EXPECT_TRUE(win32::Driver::WaitUntil([] { return !ShellCalls().empty(); }, 2000));
        if (c.fails) {
            HWND box = Driver().WaitForWindow(L"Error");
            ASSERT_NE(box, nullptr) << OtherWindows();
            EXPECT_TRUE(::IsWindowEnabled(Main()));
            ASSERT_NO_FATAL_FAILURE(AnswerBox(L"Error", L"Failed to link Vellumcrest II server!",
                                              {L"OK"}, nullptr, kWarningIcon, IDOK));
        } else {
            EXPECT_FALSE(win32::Driver::WaitUntil(
                [&] { return Driver().FindWindowTitled(L"Error") != nullptr; }, 500));
        }
        EXPECT_EQ(ShellCalls(), std::vector<std::string>{AdminPage(TheLab().configuredAddress)});
        EXPECT_EQ(MainRows().size(), ListedRows());
        EXPECT_EQ(OtherWindows(), "");
    }
    SetShellResult(42);
}

} // namespace
} // namespace winetest
