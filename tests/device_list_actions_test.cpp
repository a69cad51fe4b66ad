// What the main window does with a listed appliance: "Web Browser.." and a double-click open
// its administration page, a double-click on a "No IP" row runs the assign dialog for it, and
// a completed assignment puts the address into that appliance's row.
//
// Rows come from real datagrams. Where a case needs a cell text that no datagram yields
// (another letter case, trailing white space), the text of a listed row is replaced.
#include "tests/support/assign_session.h"

#include <optional>
#include <ostream>

namespace testlab {
namespace {

using Urls = std::vector<std::string>;

class ListActionsTest : public AssignSession {
protected:
    // Appliances 1 to 3 answer the probe: rows "10.200.0.13", "10.200.0.12", "10.200.0.11",
    // top to bottom.
    void ListThreeAppliances() {
        ASSERT_TRUE(Search());
        for (int n = 1; n <= 3; ++n) {
            ASSERT_TRUE(SendReply(n, "Pallas-" + std::to_string(n)));
            ASSERT_TRUE(WaitForHost("Pallas-" + std::to_string(n)));
        }
    }

    void SetCell(int row, int column, const std::string& text) {
        driver->OnUi([&] {
            HWND list = GetDlgItem(WindowHandle(), IDC_DEVICE_LIST);
            LVITEMA item{};
            item.iSubItem = column;
            item.pszText = const_cast<char*>(text.c_str());
            SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(row),
                         reinterpret_cast<LPARAM>(&item));
        });
    }

    Urls UrlsOpened() { return driver->Snapshot().urlsOpened; }
};

// ---- double-click on a row with an address -----------------------------------------------------

struct DoubleClickCase {
    const char* name;
    std::optional<std::string> cell1; // replaces the address of row 1
    std::vector<int> selected;
    Urls urls;
};

void PrintTo(const DoubleClickCase& c, std::ostream* os) {
    *os << c.name;
}

const DoubleClickCase kDoubleClickCases[] = {
    {"AddressRow", std::nullopt, {1}, {"http://10.200.0.12/admin/"}},
    {"OtherAddress", "192.168.1.20", {1}, {"http://192.168.1.20/admin/"}},
    {"TrailingWhiteSpaceLeftOut", "192.168.1.20 \t\r\n\v\f", {1}, {"http://192.168.1.20/admin/"}},
    {"LeadingBlankKept", " 192.168.1.20", {1}, {"http:// 192.168.1.20/admin/"}},
    // The first selected row, not the one under the pointer.
    {"SeveralSelected", std::nullopt, {2, 1}, {"http://10.200.0.12/admin/"}},
    {"NothingSelected", std::nullopt, {}, {}},
};

class ListActionsDoubleClickTest : public ListActionsTest,
                                   public ::testing::WithParamInterface<DoubleClickCase> {};

TEST_P(ListActionsDoubleClickTest, OpensTheAdminPageOfTheFirstSelectedRow) {
    const DoubleClickCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(ListThreeAppliances());
    if (c.cell1)
        SetCell(1, 0, *c.cell1);
    driver->SelectRows(IDC_DEVICE_LIST, c.selected);
    ASSERT_TRUE(driver->DoubleClickList(IDC_DEVICE_LIST));
    EXPECT_EQ(UrlsOpened(), c.urls);
    EXPECT_TRUE(driver->Snapshot().dialogRuns.empty());
    EXPECT_TRUE(Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, ListActionsDoubleClickTest, ::testing::ValuesIn(kDoubleClickCases),
                         [](const ::testing::TestParamInfo<DoubleClickCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- "Web Browser.."
// -----------------------------------------------------------------------------

struct WebBrowserCase {
    const char* name;
    std::vector<int> selected;
    std::string url;
};

void PrintTo(const WebBrowserCase& c, std::ostream* os) {
    *os << c.name;
}

// Rows: "No IP" (Nimbus), 10.200.0.12, 10.200.0.11. The button does not look at the text.
const WebBrowserCase kWebBrowserCases[] = {
    {"NothingSelectedTakesTheTopRow", {}, "http://No IP/admin/"},
    {"SelectedRow", {2}, "http://10.200.0.11/admin/"},
    {"SeveralSelected", {2, 1}, "http://10.200.0.12/admin/"},
};

class ListActionsWebBrowserTest : public ListActionsTest,
                                  public ::testing::WithParamInterface<WebBrowserCase> {};

TEST_P(ListActionsWebBrowserTest, OpensTheAdminPageOfTheFirstSelectedRowOrTheTopRow) {
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SendReply(1, "Pallas-1"));
    ASSERT_TRUE(WaitForHost("Pallas-1"));
    ASSERT_TRUE(SendReply(2, "Pallas-2"));
    ASSERT_TRUE(WaitForHost("Pallas-2"));
    ASSERT_TRUE(SendRequest(BootpRequest().HostName(kNimbus).Build()));
    ASSERT_TRUE(WaitForHost(kNimbus));

    driver->SelectRows(IDC_DEVICE_LIST, GetParam().selected);
    ASSERT_TRUE(driver->Click(IDC_WEB_BROWSER));
    EXPECT_EQ(UrlsOpened(), Urls{GetParam().url});
    EXPECT_TRUE(driver->Snapshot().dialogRuns.empty());
}

INSTANTIATE_TEST_SUITE_P(Selections, ListActionsWebBrowserTest,
                         ::testing::ValuesIn(kWebBrowserCases),
                         [](const ::testing::TestParamInfo<WebBrowserCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- the browser cannot be started
// ---------------------------------------------------------------

struct ShellCase {
    const char* name;
    bool byButton; // "Web Browser.." rather than a double-click
    int shellResult;
    bool fails;
};

void PrintTo(const ShellCase& c, std::ostream* os) {
    *os << c.name;
}

// Above 32 is success.
const ShellCase kShellCases[] = {
    {"DoubleClickFileNotFound", false, 2, true},
    {"ButtonFileNotFound", true, 2, true},
    {"DoubleClickThirtyTwo", false, 32, true},
    {"ButtonThirtyThree", true, 33, false},
};

class ListActionsShellTest : public ListActionsTest,
                             public ::testing::WithParamInterface<ShellCase> {};

TEST_P(ListActionsShellTest, FailureShowsTheLinkBox) {
    const ShellCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(ListThreeAppliances());
    driver->SetShellResult(c.shellResult);
    driver->SelectRows(IDC_DEVICE_LIST, {0});
    ASSERT_TRUE(c.byButton ? driver->Click(IDC_WEB_BROWSER)
                           : driver->DoubleClickList(IDC_DEVICE_LIST));

    std::vector<headless::BoxRecord> boxes = Boxes();
    if (c.fails) {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, "Failed to link Vellumcrest II server!");
        EXPECT_EQ(boxes[0].caption, "Error"); // the platform's own, none being given
        EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_ICONWARNING));
        EXPECT_FALSE(boxes[0].hasOwner);
        EXPECT_TRUE(UrlsOpened().empty());
    } else {
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(UrlsOpened(), Urls{"http://10.200.0.13/admin/"});
    }
    EXPECT_EQ(MainRows().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Results, ListActionsShellTest, ::testing::ValuesIn(kShellCases),
                         [](const ::testing::TestParamInfo<ShellCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- double-click on a "No IP" row
// ---------------------------------------------------------------

struct NoIpCase {
    const char* name;
    std::string cell0; // the text of the row's address column
    bool opensDialog;
};

void PrintTo(const NoIpCase& c, std::ostream* os) {
    *os << c.name;
}

const NoIpCase kNoIpCases[] = {
    {"AsListed", "No IP", true},       {"LowerCase", "no ip", true},
    {"UpperCase", "NO IP", true},      {"MixedCaseTrailingWhiteSpace", "nO iP \t\r\n", true},
    {"LeadingBlank", " No IP", false}, {"TwoBlanksInside", "No  IP", false},
};

class ListActionsNoIpTest : public ListActionsTest,
                            public ::testing::WithParamInterface<NoIpCase> {};

TEST_P(ListActionsNoIpTest, RunsTheAssignDialogForNoIpInAnyLetterCase) {
    const NoIpCase& c = GetParam();
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SendRequest(BootpRequest().HostName(kNimbus).Build()));
    ASSERT_TRUE(WaitForHost(kNimbus));
    SetCell(0, 0, c.cell0);
    driver->SelectRows(IDC_DEVICE_LIST, {0});
    ASSERT_TRUE(driver->DoubleClickList(IDC_DEVICE_LIST));

    if (!c.opensDialog) {
        EXPECT_EQ(UrlsOpened(), Urls{"http://" + c.cell0 + "/admin/"});
        EXPECT_TRUE(driver->Snapshot().dialogRuns.empty());
        return;
    }
    ASSERT_TRUE(driver->WaitForDialog(IDD_ADDRESS_ASSIGN));
    EXPECT_EQ(driver->Title(), "Nimbus[Setting]");
    EXPECT_EQ(driver->Text(IDC_HARDWARE_ADDRESS), kNimbusHw);
    driver->Click(IDCANCEL);
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(MainRows(), (std::vector<std::vector<std::string>>{{c.cell0, kNimbus}}));
    EXPECT_TRUE(UrlsOpened().empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, ListActionsNoIpTest, ::testing::ValuesIn(kNoIpCases),
                         [](const ::testing::TestParamInfo<NoIpCase>& info) {
                             return std::string(info.param.name);
                         });

// The hardware address handed to the dialog is that of the last remembered entry whose host
// name equals the row's in any letter case; none when the name was never remembered. The
// listing itself never remembers a name twice, so the extra entries are put in by hand.
TEST_F(ListActionsTest, DialogGetsTheHardwareAddressOfTheLastEntryWithTheName) {
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SendRequest(BootpRequest().HostName(kNimbus).Build()));
    ASSERT_TRUE(WaitForHost(kNimbus));
    ASSERT_TRUE(SendReply(1, "Pallas"));
    ASSERT_TRUE(WaitForHost("Pallas"));
    driver->OnUi([] {
        CStringArray& names = Window().*MainWindowPeek::HostNames();
        CStringArray& hwAddrs = Window().*MainWindowPeek::HwAddrs();
        for (auto [name, hw] :
             {std::pair{"NIMBUS", "02-00-00-00-00-01"}, std::pair{"Cirrus", "02-00-00-00-00-02"},
              std::pair{"nimbus", "02-00-00-00-00-03"},
              std::pair{"Nimbus ", "02-00-00-00-00-04"}}) {
            names.Add(name);
            hwAddrs.Add(hw);
        }
    });

    ASSERT_TRUE(DoubleClickHost(kNimbus));
    EXPECT_EQ(driver->Text(IDC_HARDWARE_ADDRESS), "02-00-00-00-00-03");
    driver->Click(IDCANCEL);
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));

    // An appliance listed from its answer to the probe was never remembered.
    SetCell(0, 0, "No IP");
    ASSERT_TRUE(DoubleClickHost("Pallas"));
    EXPECT_EQ(driver->Title(), "Pallas[Setting]");
    EXPECT_EQ(driver->Text(IDC_HARDWARE_ADDRESS), "");
}

// The new address goes to the row of the appliance that was assigned, even when another row
// has been listed above it while the dialog was open; and it opens as a page.
TEST_F(ListActionsTest, AssignedAddressGoesToTheAssignedAppliancesRow) {
    ASSERT_TRUE(OpenAssignDialog());
    ASSERT_TRUE(SendReply(1, "Pallas"));
    ASSERT_TRUE(WaitForHost("Pallas"));
    ASSERT_TRUE(Arm("192.168.0.10"));
    ASSERT_TRUE(SendToResponder(BootpRequest().MessageType(3).HostName(kNimbus).Build()));
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(LastResult(IDD_ADDRESS_ASSIGN), IDOK);
    EXPECT_EQ(MainRows(), (std::vector<std::vector<std::string>>{{ApplianceAddress(1), "Pallas"},
                                                                 {"192.168.0.10", kNimbus}}));
    EXPECT_TRUE(UrlsOpened().empty());

    driver->SelectRows(IDC_DEVICE_LIST, {1});
    ASSERT_TRUE(driver->DoubleClickList(IDC_DEVICE_LIST));
    EXPECT_EQ(UrlsOpened(), Urls{"http://192.168.0.10/admin/"});
}

} // namespace
} // namespace testlab

namespace testlab {
namespace {

// A double-click on a "No IP" row ends the search: the timer stops (no more animation, and
// nothing gives "Search" back while the dialog is open), port 67 is handed to the responder,
// and "Search" is usable again once the dialog has closed.
TEST_F(ListActionsTest, DoubleClickOnNoIpEndsTheSearch) {
    ASSERT_TRUE(OpenAssignDialog());
    std::size_t iconsAtOpen = driver->Snapshot().iconChanges.size();
    driver->StepTime(10000); // past the end of the search window
    EXPECT_EQ(driver->Snapshot().iconChanges.size(), iconsAtOpen);
    EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON, IDD_VELLUMCRESTUI_DIALOG), IDI_STATUS_IDLE);
    EXPECT_FALSE(driver->IsEnabled(IDC_SEARCH, IDD_VELLUMCRESTUI_DIALOG));

    driver->PressEscape();
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));
    EXPECT_EQ(MainRows(), (std::vector<std::vector<std::string>>{{"No IP", kNimbus}}));
}

} // namespace
} // namespace testlab
