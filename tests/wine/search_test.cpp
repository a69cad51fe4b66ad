// The search cycle on the real windows and the real socket layer: the probe on the wire, the
// replies and requests that make rows (the lab's appliances and a peer's datagrams, some of
// which must be left out), the search window, the heading clicks, and a search whose ports
// are held by another program: the bind error box and the status icon's animation.
#include "tests/wine/wine_session.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace winetest {
namespace {

constexpr int kProbePort = 1212;
constexpr int kReplyPort = 1211;
constexpr const char* kReplyEnd = "zz-peer-end";
constexpr const char* kRequestEnd = "zz-request-end";
const Bytes kGhostHw{0x02, 0x00, 0x00, 0x00, 0x0A, 0x01};

Bytes Raw(const std::string& bytes) {
    return Bytes(bytes.begin(), bytes.end());
}

HICON StatusIcon(int id) {
    return ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id));
}

// The rows whose first cell is `address`, top to bottom, by host name.
std::vector<std::string> NamesAt(const Rows& rows, const std::string& address) {
    std::vector<std::string> names;
    for (const auto& row : rows)
        if (row[0] == address)
            names.push_back(row[1]);
    return names;
}

// Polls the status icon every 10 ms on a thread of its own and keeps each change.
class IconSampler {
public:
    explicit IconSampler(HWND dialog)
        : m_thread([this, dialog] {
              while (m_sampling) {
                  HICON icon = win32::Driver::ShownIcon(dialog, IDC_STATUS_ICON);
                  if (m_shown.empty() || m_shown.back() != icon) {
                      m_shown.push_back(icon);
                      ++m_changes;
                  }
                  ::Sleep(10);
              }
          }) {}
    ~IconSampler() { Stop(); }
    std::size_t Changes() const { return m_changes; }
    std::vector<HICON> Stop() {
        m_sampling = false;
        if (m_thread.joinable())
            m_thread.join();
        return m_shown;
    }

private:
    std::vector<HICON> m_shown; // the thread's alone until it has been joined
    std::atomic<std::size_t> m_changes{0};
    std::atomic<bool> m_sampling{true};
    std::thread m_thread; // last: starts once the members above exist
};

class Search : public ProgramSuite {};

TEST_F(Search, ListsTheLabAndThePeersDatagramsByTheListingRules) {
    REQUIRE_LAB();
    const Lab& lab = TheLab();
    Peer probeEar("0.0.0.0", kProbePort);
    Peer appliance("0.0.0.0");
    Peer requester("0.0.0.0");
    ASSERT_TRUE(probeEar.ok() && appliance.ok() && requester.ok());

    DWORD start = ::GetTickCount();
    ASSERT_TRUE(StartSearch());
    // One probe out of each interface, from its own address (the host hears its own
    // broadcasts); each from a socket of its own, never the reply listener's.
    Bytes probe;
    std::string from;
    int fromPort = 0;
    std::vector<std::string> probedFrom;
    ASSERT_TRUE(probeEar.Receive(probe, from, fromPort, 3000)) << "no probe on port 1212";
    do {
        EXPECT_EQ(probe, Raw("VX2"));
        EXPECT_NE(fromPort, kReplyPort) << "the probe must have a socket of its own";
        probedFrom.push_back(from);
    } while (probeEar.Receive(probe, from, fromPort, 300));
    std::sort(probedFrom.begin(), probedFrom.end());
    std::vector<std::string> interfaces{lab.workstation};
    if (lab.second.ok)
        interfaces.push_back(lab.second.workstation);
    std::sort(interfaces.begin(), interfaces.end());
    EXPECT_EQ(probedFrom, interfaces);

    // Back to back, so that several wait on the socket at once: each must be read in turn.
    // Listed: a name once in any letter case (the list's text without its trailing blanks),
    // ending at a NUL or at the end of the 40-byte name field, an empty name too.
    const Bytes replies[] = {
        testlab::DiscoveryReply("Peer-Alpha"),
        testlab::DiscoveryReply("PEER-alpha"),
        Raw(std::string(101, 'x')), // longer than the buffer: the receive fails
        Raw(std::string(100, 'n')),
        Raw(std::string("Kappa\0Lambda", 12)),
        Bytes{},
        testlab::DiscoveryReply("Tower \t "),
        testlab::DiscoveryReply("tower"),
        testlab::DiscoveryReply(kReplyEnd),
    };
    for (const Bytes& reply : replies)
        ASSERT_TRUE(appliance.SendTo(lab.workstation, kReplyPort, reply));

    // Requests on port 67, broadcast as an appliance without an address sends them. Listed:
    // marked, exactly 548 bytes, one row per host name in any letter case.
    using testlab::BootpRequest;
    const Bytes requests[] = {
        BootpRequest().HostName("GHOST-BOX").Chaddr(kGhostHw).Build(),
        BootpRequest().HostName("ghost-box").Chaddr(kGhostHw).Build(),
        BootpRequest().WithoutMarkerInFile().HostName("Stranger").Build(),
        BootpRequest().HostName("Short-One").Size(547).Build(),
        BootpRequest().HostName("Long-One").Size(549).Build(),
        BootpRequest().HostName(kRequestEnd).Chaddr({0x02, 0, 0, 0, 0x0A, 0x02}).Build(),
    };
    for (const Bytes& request : requests)
        ASSERT_TRUE(requester.SendTo("255.255.255.255", 67, request));

    // The lab's appliances, of each segment: the probe reached both.
    const std::vector<const Segment*> segments = Segments();
    auto labListed = [&](const Rows& rows) {
        for (const Segment* segment : segments)
            if (!ListsSegment(rows, *segment))
                return false;
        return true;
    };
    Rows rows;
    EXPECT_TRUE(WaitForRows(
        [&](const Rows& now) {
            rows = now;
            return HasRow(now, {lab.workstation, kReplyEnd}) &&
                   HasRow(now, {"No IP", kRequestEnd}) && labListed(now);
        },
        6000))
        << RowsText(rows) << OtherWindows();
    EXPECT_TRUE(win32::Driver::IsEnabled(Main(), IDC_WEB_BROWSER));

    // Newest first.
    EXPECT_EQ(NamesAt(rows, lab.workstation),
              (std::vector<std::string>{kReplyEnd, "Tower \t ", "", "Kappa", std::string(40, 'n'),
                                        "Peer-Alpha"}));
    std::vector<std::string> noIp = NamesAt(rows, "No IP");
    for (const Segment* segment : segments)
        noIp.erase(std::remove(noIp.begin(), noIp.end(), segment->unconfiguredName), noIp.end());
    EXPECT_EQ(noIp, (std::vector<std::string>{kRequestEnd, "GHOST-BOX"}));
    const std::size_t listed = 8 + 2 * segments.size();
    EXPECT_EQ(rows.size(), listed) << RowsText(rows);

    // The window: fifteen ticks of 500 ms, the first half a second after the click.
    ASSERT_TRUE(win32::Driver::WaitUntil(
        [] { return win32::Driver::IsEnabled(Main(), IDC_SEARCH); }, 12000))
        << OtherWindows();
    DWORD elapsed = ::GetTickCount() - start;
    EXPECT_GE(elapsed, 6500u);
    EXPECT_LE(elapsed, 10500u);
    EXPECT_EQ(MainRows().size(), listed);
    EXPECT_EQ(OtherWindows(), "");
}

// Heading clicks sort the rows as texts by byte value, a second click on the same heading
// reverses; the selection travels with its row. Each click below changes the order (asserted
// before it), so each one is seen to have been handled.
TEST_F(Search, HeadingClicksSortAsTextReverseAndKeepTheSelection) {
    REQUIRE_LAB();
    const Rows original = MainRows();
    ASSERT_GE(original.size(), 3u) << "the search left too few rows";
    std::vector<std::string> selected{TheLab().workstation, "Peer-Alpha"};
    int at = FindRow(original, selected);
    ASSERT_GE(at, 0) << RowsText(original);
    ASSERT_TRUE(win32::Driver::SelectRows(Main(), IDC_DEVICE_LIST, {at}));

    auto column = [](const Rows& rows, int c) {
        std::vector<std::string> texts;
        for (const auto& row : rows)
            texts.push_back(row[c]);
        return texts;
    };
    const struct {
        int column;
        bool ascending;
    } clicks[] = {{1, true}, {1, false}, {0, true}, {0, false}, {1, true}};
    Rows sortedOriginal = original;
    std::sort(sortedOriginal.begin(), sortedOriginal.end());
    int n = 0;
    for (const auto& click : clicks) {
        SCOPED_TRACE("click " + std::to_string(++n));
        auto inOrder = [&](const Rows& rows) {
            std::vector<std::string> texts = column(rows, click.column);
            return click.ascending ? std::is_sorted(texts.begin(), texts.end())
                                   : std::is_sorted(texts.rbegin(), texts.rend());
        };
        ASSERT_FALSE(inOrder(MainRows())) << RowsText(MainRows());
        ASSERT_TRUE(win32::Driver::ClickColumn(Main(), IDC_DEVICE_LIST, click.column));
        Rows rows;
        EXPECT_TRUE(WaitForRows(
            [&](const Rows& now) {
                rows = now;
                return inOrder(now);
            },
            2000))
            << RowsText(rows);
        Rows sorted = rows;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, sortedOriginal) << "rows changed, not only their order";
        std::vector<int> selection = win32::Driver::SelectedRows(Main(), IDC_DEVICE_LIST);
        ASSERT_EQ(selection.size(), 1u);
        EXPECT_EQ(rows[selection[0]], selected);
    }
    EXPECT_EQ(OtherWindows(), "");
}

// The listeners stay open after the window: a late reply and a late request are still
// listed, and give neither "Search" nor the resting icon any change.
TEST_F(Search, LateDatagramsAreStillListed) {
    REQUIRE_LAB();
    const Lab& lab = TheLab();
    ASSERT_TRUE(win32::Driver::IsEnabled(Main(), IDC_SEARCH));
    Peer appliance("0.0.0.0");
    ASSERT_TRUE(appliance.ok());
    ASSERT_TRUE(
        appliance.SendTo(lab.workstation, kReplyPort, testlab::DiscoveryReply("Latecomer")));
    ASSERT_TRUE(appliance.SendTo(
        "255.255.255.255", 67,
        testlab::BootpRequest().HostName("Late-Box").Chaddr({0x02, 0, 0, 0, 0x0A, 0x03}).Build()));
    EXPECT_TRUE(WaitForRow({lab.workstation, "Latecomer"})) << RowsText(MainRows());
    EXPECT_TRUE(WaitForRow({"No IP", "Late-Box"})) << RowsText(MainRows());
    EXPECT_TRUE(win32::Driver::IsEnabled(Main(), IDC_SEARCH));
    EXPECT_EQ(win32::Driver::ShownIcon(Main(), IDC_STATUS_ICON), StatusIcon(IDI_STATUS_IDLE));
    EXPECT_EQ(OtherWindows(), "");
}

// A program of its own, whose listeners have not been opened yet: another program holds
// both listening ports. Port 67 is given up silently, port 1211 with the bind error box; the
// probe still goes out and the window runs its course. With no request to rest it, the
// status icon shows every frame of the sweep, also while the box waits for its answer
// (timers go on in the box's loop).
class SearchOnHeldPorts : public ProgramSuite {};

TEST_F(SearchOnHeldPorts, BindErrorBoxAndTheStatusIconsSweep) {
    REQUIRE_LAB();
    const Lab& lab = TheLab();
    Peer replyPort("0.0.0.0", kReplyPort);
    Peer requestPort("0.0.0.0", 67);
    ASSERT_TRUE(replyPort.ok() && requestPort.ok());
    ASSERT_TRUE(win32::Driver::IsEnabled(Main(), IDC_SEARCH));

    IconSampler sampler(Main());
    DWORD start = ::GetTickCount();
    ASSERT_TRUE(win32::Driver::Click(Main(), IDC_SEARCH));

    HWND box = Driver().WaitForWindow(L"bind error");
    ASSERT_NE(box, nullptr) << OtherWindows();
    ::Sleep(1300);
    std::size_t framesDuringBox = sampler.Changes();
    ASSERT_NO_FATAL_FAILURE(AnswerBox(L"bind error", L"Failed to bind CLIENT_PORT!\nError Code",
                                      {L"OK"}, Main(), 0, IDOK));
    EXPECT_GE(framesDuringBox, 3u) << "the animation stood still while the box waited";

    // The probe went out: an appliance's answer came to the port's holder.
    Bytes reply;
    std::string from;
    int fromPort = 0;
    EXPECT_TRUE(replyPort.Receive(reply, from, fromPort, 3000));
    std::vector<std::string> answering{lab.configuredAddress, lab.newAddress};
    if (lab.second.ok) {
        answering.push_back(lab.second.configuredAddress);
        answering.push_back(lab.second.newAddress);
    }
    EXPECT_NE(std::find(answering.begin(), answering.end(), from), answering.end()) << from;

    EXPECT_TRUE(win32::Driver::WaitUntil(
        [] { return win32::Driver::IsEnabled(Main(), IDC_SEARCH); }, 12000))
        << OtherWindows();
    DWORD elapsed = ::GetTickCount() - start;
    ::Sleep(1200); // two more ticks, which keep the resting icon
    std::vector<HICON> shown = sampler.Stop();

    const int frames[] = {IDI_STATUS_IDLE,   IDI_STATUS_LEFT, IDI_STATUS_MIDDLE, IDI_STATUS_RIGHT,
                          IDI_STATUS_MIDDLE, IDI_STATUS_LEFT, IDI_STATUS_MIDDLE, IDI_STATUS_RIGHT,
                          IDI_STATUS_MIDDLE, IDI_STATUS_LEFT, IDI_STATUS_MIDDLE, IDI_STATUS_RIGHT,
                          IDI_STATUS_MIDDLE, IDI_STATUS_LEFT, IDI_STATUS_MIDDLE, IDI_STATUS_RIGHT,
                          IDI_STATUS_IDLE};
    std::vector<HICON> expected;
    for (int id : frames)
        expected.push_back(StatusIcon(id));
    EXPECT_EQ(shown, expected);
    EXPECT_GE(elapsed, 7500u);
    EXPECT_LE(elapsed, 10500u);
    EXPECT_TRUE(MainRows().empty());
    EXPECT_FALSE(win32::Driver::IsEnabled(Main(), IDC_WEB_BROWSER));
    EXPECT_EQ(OtherWindows(), "");
}

} // namespace
} // namespace winetest
