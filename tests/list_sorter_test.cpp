// Sorting the device list by a column: the comparison kinds of the sorter on their own, then
// the heading clicks of the main window, which must reorder the rows and nothing else.
#include "app/ListSorter.h"
#include "tests/support/discovery_session.h"

#include <climits>
#include <ostream>
#include <set>
#include <tuple>

namespace testlab {
namespace {

// ---- the comparison kinds ------------------------------------------------------------------

int Compare(const char* a, const char* b, LPARAM sortParam) {
    CSortItem first(0, a);
    CSortItem second(0, b);
    return CListSorter::CompareItems(reinterpret_cast<LPARAM>(&first),
                                     reinterpret_cast<LPARAM>(&second), sortParam);
}

int Sign(int v) {
    return (v > 0) - (v < 0);
}

struct CompareCase {
    int kind;
    const char* a;
    const char* b;
    int ascending; // the ascending result; its sign only, except for the integer kind
};

// Printable in a test's name: no quotes, bytes above 127 as hexadecimal escapes.
std::string Shown(const char* text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string shown;
    for (const char* p = text; *p; ++p) {
        auto byte = static_cast<unsigned char>(*p);
        if (byte < 0x80 && byte != '"') {
            shown += *p;
        } else {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 15];
        }
    }
    return shown;
}

void PrintTo(const CompareCase& c, std::ostream* os) {
    *os << "kind " << c.kind << ", [" << Shown(c.a) << "] against [" << Shown(c.b) << "]";
}

const CompareCase kCompareCases[] = {
    // Integers: the difference itself, of the longest numeric prefixes.
    {SORT_INTEGER, "10", "9", 1},
    {SORT_INTEGER, "7", "10", -3},
    {SORT_INTEGER, " -5x", "3", -8},
    {SORT_INTEGER, "12.9", "12", 0},
    {SORT_INTEGER, "abc", "0", 0},
    {SORT_INTEGER, "+40", "abc", 40},
    // Reals: a difference below 1 truncates to a tie.
    {SORT_REAL, "3", "1", 1},
    {SORT_REAL, "1.5", "2.4", 0},
    {SORT_REAL, "1.5", "2.6", -1},
    {SORT_REAL, " 12abc", "11.9", 0},
    {SORT_REAL, "-0.5e1", "x", -1},
    // Text by character code: digits before capitals before small letters.
    {SORT_TEXT, "192.168.0.10", "192.168.0.9", -1},
    {SORT_TEXT, "192.168.0.9", "No IP", -1},
    {SORT_TEXT, "Zeta", "alpha", -1},
    {SORT_TEXT, "abc", "ABC", 1},
    {SORT_TEXT, "abc", "abc", 0},
    {SORT_TEXT, "ab", "abc", -1},
    {SORT_TEXT, "\xC4\x80", "z", 1}, // bytes above 127 count as unsigned
    // Text without regard to letter case.
    {SORT_TEXT_NOCASE, "abc", "ABC", 0},
    {SORT_TEXT_NOCASE, "Zeta", "alpha", 1},
    {SORT_TEXT_NOCASE, "beta", "ALPHA", 1},
    // Letters fold to lower case, as on Windows: the marks between the capitals and the
    // small letters rank before both.
    {SORT_TEXT_NOCASE, "_x", "Bx", -1},
    {SORT_TEXT_NOCASE, "`", "a", -1},
    // Dates and times, in true time order, also before the epoch of the date type.
    {SORT_DATETIME, "2026-12-09", "12/10/2026", -1},
    {SORT_DATETIME, "12/10/2026 08:00", "2026-12-10 07:59", 1},
    {SORT_DATETIME, "2026-12-09 00:00", "12/09/2026", 0},
    {SORT_DATETIME, "08:30", "2026-01-01", -1},
    {SORT_DATETIME, "1899-12-28 23:00", "1899-12-29 01:00", -1},
    {SORT_DATETIME, "1899-12-29 18:00", "1899-12-29 06:00", 1},
    {SORT_DATETIME, "not a date", "2026-01-01", 0},
    {SORT_DATETIME, "2026-01-01", "2026-02-30", 0},
    // Kinds the sorter does not know rank everything equal.
    {0, "a", "b", 0},
    {6, "a", "b", 0},
};

class CompareItemsTest : public ::testing::TestWithParam<CompareCase> {};

TEST_P(CompareItemsTest, DescendingIsTheExactReverse) {
    const CompareCase& c = GetParam();
    int ascending = Compare(c.a, c.b, c.kind);
    int descending = Compare(c.a, c.b, -c.kind);
    if (c.kind == SORT_INTEGER) {
        EXPECT_EQ(ascending, c.ascending);
        EXPECT_EQ(descending, -c.ascending);
    } else {
        EXPECT_EQ(Sign(ascending), c.ascending);
        EXPECT_EQ(Sign(descending), -c.ascending);
    }
    // Swapping the rows reverses the ranking too.
    EXPECT_EQ(Sign(Compare(c.b, c.a, c.kind)), -Sign(ascending));
}

INSTANTIATE_TEST_SUITE_P(Kinds, CompareItemsTest, ::testing::ValuesIn(kCompareCases),
                         [](const ::testing::TestParamInfo<CompareCase>& info) {
                             return "Kind" + std::to_string(info.param.kind) + "_" +
                                    std::to_string(info.index);
                         });

TEST(CompareItemsEdgeTest, IntegersDifferInThirtyTwoBitArithmetic) {
    // Texts beyond the 32-bit range read as its ends, and the difference wraps as the 32-bit
    // subtraction gives it.
    EXPECT_EQ(Compare("99999999999", "2147483647", SORT_INTEGER), 0);
    EXPECT_EQ(Compare("-99999999999", "-2147483648", SORT_INTEGER), 0);
    EXPECT_EQ(Compare("2147483647", "-1", SORT_INTEGER), INT_MIN);
    EXPECT_EQ(Compare("2147483647", "-2", SORT_INTEGER), INT_MIN + 1);
    EXPECT_EQ(Compare("2147483647", "-2", -SORT_INTEGER), INT_MAX);
}

// ---- heading clicks on the main window -----------------------------------------------------

struct Row {
    std::string address;
    std::string hostName;
    int image;
    LPARAM itemData;
    bool selected;
    auto Key() const { return std::tie(address, hostName, image, itemData, selected); }
    bool operator<(const Row& other) const { return Key() < other.Key(); }
    bool operator==(const Row& other) const { return Key() == other.Key(); }
};

// Distinct images, item data and one selection, so that a row that loses any of them, or
// takes another row's, shows.
const std::vector<Row> kRows = {
    {"192.168.0.9", "alpha", 1, 901, false}, {"No IP", "Zeta", 2, 902, true},
    {"10.0.0.5", "beta", 0, 903, false},     {"192.168.0.10", "Gamma", 1, 904, false},
    {"No IP", "delta", 2, 905, false},
};

class SortTest : public DiscoverySession {
protected:
    // Puts rows into the device list as the list control would hold them.
    void Fill(const std::vector<Row>& rows) {
        driver->OnUi([&] {
            HWND list = GetDlgItem(WindowHandle(), IDC_DEVICE_LIST);
            for (const Row& row : rows) {
                LVITEMA item{};
                item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM | LVIF_STATE;
                item.iItem = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
                item.pszText = const_cast<char*>(row.address.c_str());
                item.iImage = row.image;
                item.lParam = row.itemData;
                item.state = row.selected ? LVIS_SELECTED : 0;
                item.stateMask = LVIS_SELECTED;
                int at = static_cast<int>(
                    SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
                LVITEMA sub{};
                sub.mask = LVIF_TEXT;
                sub.iItem = at;
                sub.iSubItem = 1;
                sub.pszText = const_cast<char*>(row.hostName.c_str());
                SendMessageA(list, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&sub));
            }
        });
    }

    std::vector<Row> ListRows() {
        headless::ListState state = driver->List(IDC_DEVICE_LIST);
        std::vector<Row> rows;
        for (std::size_t i = 0; i < state.rows.size(); ++i)
            rows.push_back({state.rows[i][0], state.rows[i][1], state.images[i], state.itemData[i],
                            static_cast<bool>(state.selected[i])});
        return rows;
    }

    std::vector<std::string> Column(int column) {
        std::vector<std::string> texts;
        for (const Row& row : ListRows())
            texts.push_back(column == 0 ? row.address : row.hostName);
        return texts;
    }

    std::pair<int, BOOL> RememberedSort() {
        std::pair<int, BOOL> sort;
        driver->OnUi([&] {
            sort = {Window().*MainWindowPeek::SortColumn(),
                    Window().*MainWindowPeek::SortAscending()};
        });
        return sort;
    }
};

struct Click {
    int column;
    std::vector<std::string> order; // the clicked column's texts, top to bottom
};

TEST_F(SortTest, HeadingClicksSortAndReverse) {
    Fill(kRows);
    const std::vector<std::string> addressesUp = {"10.0.0.5", "192.168.0.10", "192.168.0.9",
                                                  "No IP", "No IP"};
    const std::vector<std::string> addressesDown(addressesUp.rbegin(), addressesUp.rend());
    const std::vector<std::string> namesUp = {"Gamma", "Zeta", "alpha", "beta", "delta"};
    const std::vector<std::string> namesDown(namesUp.rbegin(), namesUp.rend());
    // Each click in turn: the first on a heading ascends, the next on the same one reverses,
    // and another heading starts ascending again.
    const Click clicks[] = {
        {0, addressesUp}, {0, addressesDown}, {0, addressesUp},
        {1, namesUp},     {1, namesDown},     {0, addressesUp},
    };
    const std::set<Row> original(kRows.begin(), kRows.end());
    int n = 0;
    for (const Click& click : clicks) {
        SCOPED_TRACE("click " + std::to_string(++n));
        ASSERT_TRUE(driver->ClickColumn(IDC_DEVICE_LIST, click.column));
        EXPECT_EQ(Column(click.column), click.order);
        // Only the order changes: every row keeps its texts, image, own item data and
        // selection.
        std::vector<Row> rows = ListRows();
        EXPECT_EQ(std::set<Row>(rows.begin(), rows.end()), original);
        EXPECT_EQ(rows.size(), original.size());
    }
}

TEST_F(SortTest, EmptyListOnlyRemembersTheClick) {
    EXPECT_EQ(RememberedSort(), (std::pair<int, BOOL>{-1, TRUE}));
    ASSERT_TRUE(driver->ClickColumn(IDC_DEVICE_LIST, 1));
    EXPECT_EQ(RememberedSort(), (std::pair<int, BOOL>{1, TRUE}));

    // So the next click on that heading, with rows now, reverses.
    Fill(kRows);
    ASSERT_TRUE(driver->ClickColumn(IDC_DEVICE_LIST, 1));
    EXPECT_EQ(RememberedSort(), (std::pair<int, BOOL>{1, FALSE}));
    EXPECT_EQ(Column(1), (std::vector<std::string>{"delta", "beta", "alpha", "Zeta", "Gamma"}));
}

TEST_F(SortTest, SortingFoundAppliancesLeavesTheNoIpRecordsAlone) {
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SendReply(3, "Cobalt"));
    ASSERT_TRUE(WaitForHost("Cobalt"));
    ASSERT_TRUE(SendRequest(BootpRequest().HostName("Basalt").Build()));
    ASSERT_TRUE(WaitForHost("Basalt"));
    ASSERT_TRUE(SendReply(1, "amber"));
    ASSERT_TRUE(WaitForHost("amber"));

    ASSERT_TRUE(driver->ClickColumn(IDC_DEVICE_LIST, 0));
    EXPECT_EQ(Rows(), (std::vector<std::vector<std::string>>{{ApplianceAddress(1), "amber"},
                                                             {ApplianceAddress(3), "Cobalt"},
                                                             {"No IP", "Basalt"}}));
    ASSERT_TRUE(driver->ClickColumn(IDC_DEVICE_LIST, 1));
    EXPECT_EQ(Column(1), (std::vector<std::string>{"Basalt", "Cobalt", "amber"}));

    // The program's rows get their own item data back, and the arrays keep their order.
    headless::ListState state = driver->List(IDC_DEVICE_LIST);
    EXPECT_EQ(state.itemData, (std::vector<LPARAM>{0, 0, 0}));
    EXPECT_EQ(state.images, (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(HostNames(), (std::vector<std::string>{"Basalt"}));
    EXPECT_EQ(HwAddrs(), (std::vector<std::string>{"00-0A-1B-FF-20-3C"}));
}

} // namespace
} // namespace testlab
