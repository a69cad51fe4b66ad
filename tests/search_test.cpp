// The search cycle of the main window: the 8-second search window on the virtual clock, the
// probe on the wire, the replies and which of them make a row, the socket-error box, and
// what the window does when one of its sockets or its timer cannot be had.
//
// Where a test must show that a datagram changed nothing, a last reply with a name of its
// own follows it on the same path; once that row is there, everything before it has been
// handled.
#include "tests/support/discovery_session.h"

#include <atomic>
#include <map>
#include <memory>
#include <net/if.h>
#include <optional>
#include <ostream>

namespace testlab {
namespace {

constexpr const char* kSentinel = "zz-sentinel";
constexpr int kSentinelAppliance = 9;

// The status icon after each tick of a search window: the sweep left, middle, right,
// middle, then the resting picture when the window ends.
const std::vector<int> kWindowIcons = {
    IDI_STATUS_LEFT, IDI_STATUS_MIDDLE, IDI_STATUS_RIGHT, IDI_STATUS_MIDDLE,
    IDI_STATUS_LEFT, IDI_STATUS_MIDDLE, IDI_STATUS_RIGHT, IDI_STATUS_MIDDLE,
    IDI_STATUS_LEFT, IDI_STATUS_MIDDLE, IDI_STATUS_RIGHT, IDI_STATUS_MIDDLE,
    IDI_STATUS_LEFT, IDI_STATUS_MIDDLE, IDI_STATUS_RIGHT, IDI_STATUS_IDLE,
};

Bytes Raw(const std::string& bytes) {
    return Bytes(bytes.begin(), bytes.end());
}

std::vector<int> IconsSince(const headless::Record& record, std::size_t from) {
    std::vector<int> icons;
    for (std::size_t i = from; i < record.iconChanges.size(); ++i)
        icons.push_back(record.iconChanges[i].iconId);
    return icons;
}

class SearchTest : public DiscoverySession {
protected:
    // Sends the sentinel reply and waits for its row; then every earlier datagram on the
    // reply path has been handled.
    void Settle() {
        ASSERT_TRUE(SendReply(kSentinelAppliance, kSentinel));
        ASSERT_TRUE(WaitForHost(kSentinel));
    }

    // The rows under the sentinel's.
    std::vector<std::vector<std::string>> RowsBelowSentinel() {
        std::vector<std::vector<std::string>> rows = Rows();
        EXPECT_FALSE(rows.empty());
        if (rows.empty())
            return rows;
        EXPECT_EQ(rows.front(),
                  (std::vector<std::string>{ApplianceAddress(kSentinelAppliance), kSentinel}));
        rows.erase(rows.begin());
        return rows;
    }
};

// ---- the search window ---------------------------------------------------------------------

TEST_F(SearchTest, WindowAnimatesFifteenTicksAndEndsAtTheSixteenth) {
    for (int search = 1; search <= 2; ++search) {
        SCOPED_TRACE("search " + std::to_string(search));
        std::size_t before = driver->Snapshot().iconChanges.size();
        ASSERT_TRUE(Search());
        EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON), IDI_STATUS_IDLE);
        EXPECT_FALSE(driver->IsEnabled(IDC_SEARCH));

        for (std::size_t tick = 1; tick <= kWindowIcons.size(); ++tick) {
            driver->StepTime(kTickMs);
            EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON), kWindowIcons[tick - 1])
                << "tick " << tick;
            EXPECT_EQ(driver->IsEnabled(IDC_SEARCH), tick == kWindowIcons.size())
                << "tick " << tick;
        }
        // Exactly one icon per tick, after the resting one the search starts with: the
        // second search must begin its sweep at the left again, not where the first stopped.
        std::vector<int> expected{IDI_STATUS_IDLE};
        expected.insert(expected.end(), kWindowIcons.begin(), kWindowIcons.end());
        EXPECT_EQ(IconsSince(driver->Snapshot(), before), expected);
    }

    // The timer goes on after the window and keeps the window at rest.
    std::size_t before = driver->Snapshot().iconChanges.size();
    driver->StepTime(3 * kTickMs);
    EXPECT_EQ(IconsSince(driver->Snapshot(), before),
              (std::vector<int>{IDI_STATUS_IDLE, IDI_STATUS_IDLE, IDI_STATUS_IDLE}));
    EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));
}

TEST_F(SearchTest, NewSearchRestartsTheTimerFromItsClick) {
    ASSERT_TRUE(Search());
    EndSearchWindow();
    // Half a period into the old beat: the new search's first frame must still come a full
    // period after its own click, not on the old timer's next tick.
    driver->StepTime(kTickMs / 2);
    ASSERT_TRUE(Search());
    driver->StepTime(kTickMs / 2);
    EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON), IDI_STATUS_IDLE);
    driver->StepTime(kTickMs / 2);
    EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON), IDI_STATUS_LEFT);
}

TEST_F(SearchTest, MinimisedWindowPaintsEveryFrame) {
    driver->SysCommand(SC_MINIMIZE);
    ASSERT_TRUE(Search());
    for (std::size_t tick = 1; tick <= kWindowIcons.size(); ++tick) {
        headless::Record before = driver->Snapshot();
        driver->StepTime(kTickMs);
        headless::Record after = driver->Snapshot();
        // Each frame erases the minimised window, whose paint draws the frame.
        EXPECT_EQ(after.invalidateEraseCalls, before.invalidateEraseCalls + 1) << "tick " << tick;
        ASSERT_GT(after.drawnIcons.size(), before.drawnIcons.size()) << "tick " << tick;
        EXPECT_EQ(after.drawnIcons.back(), kWindowIcons[tick - 1]) << "tick " << tick;
    }
}

// ---- the probe -----------------------------------------------------------------------------

TEST_F(SearchTest, ProbeIsThreeBytesBroadcastToPort1212) {
    // Bound to the broadcast address, this peer hears only datagrams sent to 255.255.255.255.
    UdpPeer listener("255.255.255.255", SERVER_PORT);
    ASSERT_TRUE(listener.ok());

    for (int search = 1; search <= 2; ++search) {
        SCOPED_TRACE("search " + std::to_string(search));
        ASSERT_TRUE(Search());
        Bytes probe;
        std::string from;
        int fromPort = 0;
        ASSERT_TRUE(listener.Receive(probe, from, fromPort, 3000));
        EXPECT_EQ(probe, Raw("VX2"));
        EXPECT_EQ(from, kWorkstation);
        // The probe has a socket of its own, not the reply listener's.
        EXPECT_NE(fromPort, CLIENT_PORT);
        // One probe per search, and its socket is gone: what stays open is the two
        // listeners.
        EXPECT_FALSE(listener.Receive(probe, from, fromPort, 0));
        EXPECT_EQ(tvposix::OpenSocketCount(), 2);
        EndSearchWindow();
    }
}

TEST_F(SearchTest, ApplianceAnswersTheProbeAndIsListed) {
    // An appliance as the real ones behave: it hears the probe and answers on port 1211 of
    // whoever sent it.
    UdpPeer appliance("0.0.0.0", SERVER_PORT);
    ASSERT_TRUE(appliance.ok());
    ASSERT_TRUE(Search());
    Bytes probe;
    std::string from;
    int fromPort = 0;
    ASSERT_TRUE(appliance.Receive(probe, from, fromPort, 3000));
    ASSERT_TRUE(Appliance(4).SendTo(from, CLIENT_PORT, DiscoveryReply("Vela-4")));
    ASSERT_TRUE(WaitForRows(1));
    EXPECT_EQ(Rows(), (std::vector<std::vector<std::string>>{{ApplianceAddress(4), "Vela-4"}}));
}

TEST_F(SearchTest, ProbeThatCannotBeSentLeavesNoReplyListener) {
    driver->FailSocketCall("sendto", WSAENETUNREACH, 1, SERVER_PORT);
    ASSERT_TRUE(Search());
    // Silent: nobody waits for replies to a probe that never left, and the port is free.
    EXPECT_TRUE(driver->Snapshot().boxes.empty());
    EXPECT_TRUE(PortIsFree(CLIENT_PORT));
    EXPECT_EQ(tvposix::OpenSocketCount(), 1);

    // The rest of the search goes on.
    ASSERT_TRUE(SendRequest(BootpRequest().HostName("Nimbus").Build()));
    ASSERT_TRUE(WaitForHost("Nimbus"));
    EndSearchWindow();
    EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));

    ASSERT_TRUE(Search());
    ASSERT_TRUE(SendReply(1, "Alpha"));
    ASSERT_TRUE(WaitForHost("Alpha"));
}

// The reply listener is bound before the probe leaves (so that no quick answer is lost), but
// what the user sees is the order of a listener opened after the send: its failure box comes
// once the probe is out, and not at all when the probe could not be sent.
TEST_F(SearchTest, ListenerBoxComesAfterTheProbeAndOnlyWithIt) {
    UdpPeer appliance("0.0.0.0", SERVER_PORT);
    ASSERT_TRUE(appliance.ok());
    auto probeOut = std::make_shared<std::atomic<int>>(-1);
    driver->SetBoxObserver([&appliance, probeOut](const headless::BoxRecord&) {
        Bytes probe;
        std::string from;
        int fromPort = 0;
        *probeOut = appliance.Receive(probe, from, fromPort, 0) ? 1 : 0;
    });
    driver->FailSocketCall("bind", WSAEACCES, 1, CLIENT_PORT);
    ASSERT_TRUE(Search());
    std::vector<headless::BoxRecord> boxes = driver->Snapshot().boxes;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "bind error");
    EXPECT_EQ(*probeOut, 1) << "the box came before the probe had left";
    driver->SetBoxObserver(nullptr);
    EndSearchWindow();

    driver->FailSocketCall("bind", WSAEACCES, 1, CLIENT_PORT);
    driver->FailSocketCall("sendto", WSAENETUNREACH, 1, SERVER_PORT);
    ASSERT_TRUE(Search());
    EXPECT_EQ(driver->Snapshot().boxes.size(), 1u);
    EXPECT_TRUE(PortIsFree(CLIENT_PORT));
}

// ---- a workstation with several interfaces --------------------------------------------------

// Besides the appliance LAN's tvd0 (ten addresses, the first its primary): a second card,
// tvm1, up, with two addresses of its own /27; and tvm2, with an address but switched off.
class MultiHomedSearchTest : public SearchTest {
protected:
    static constexpr const char* kSecondCard = "192.168.77.1";

    void BeforeStart() override {
        ASSERT_TRUE(AddInterface("tvm1", {"192.168.77.1/27", "192.168.77.2/27"}));
        ASSERT_TRUE(AddInterface("tvm2", {"172.16.0.9/16"}, false));
    }
    void TearDown() override {
        SearchTest::TearDown();
        RemoveInterface("tvm1");
        RemoveInterface("tvm2");
    }

    // Every probe the listener hears now, by the address it came from: the index of the
    // interface it left by (a host hears its own broadcast as come in by that interface).
    static std::map<std::string, unsigned> ProbesHeard(UdpPeer& listener) {
        std::map<std::string, unsigned> heard;
        Bytes probe;
        std::string from;
        int fromPort = 0;
        unsigned leftBy = 0;
        while (listener.Receive(probe, from, fromPort, 300, &leftBy)) {
            EXPECT_EQ(probe, Raw("VX2"));
            EXPECT_TRUE(heard.emplace(from, leftBy).second) << "a second probe from " << from;
        }
        return heard;
    }
};

TEST_F(MultiHomedSearchTest, ProbeLeavesByEveryInterfaceOnceFromItsPrimaryAddress) {
    UdpPeer listener("255.255.255.255", SERVER_PORT);
    ASSERT_TRUE(listener.ok());
    ASSERT_TRUE(Search());
    EXPECT_EQ(ProbesHeard(listener), (std::map<std::string, unsigned>{
                                         {kWorkstation, if_nametoindex("tvd0")},
                                         {kSecondCard, if_nametoindex("tvm1")},
                                     }));
    // Every probe socket is gone again.
    EXPECT_EQ(tvposix::OpenSocketCount(), 2);
}

struct InterfaceFailureCase {
    const char* name;
    const char* call;
    int error;
    int filter;
};

void PrintTo(const InterfaceFailureCase& c, std::ostream* os) {
    *os << c.name;
}

// The first interface's probe fails (tvd0 is listed first), at its bind to the interface's
// address or at its send.
const InterfaceFailureCase kInterfaceFailureCases[] = {
    {"BindFails", "bind", WSAEADDRNOTAVAIL, 0},
    {"SendFails", "sendto", WSAENETDOWN, SERVER_PORT},
};

class MultiHomedProbeFailureTest : public MultiHomedSearchTest,
                                   public ::testing::WithParamInterface<InterfaceFailureCase> {};

TEST_P(MultiHomedProbeFailureTest, OtherInterfacesStillProbeAndTheFailureNamesTheInterface) {
    const InterfaceFailureCase& c = GetParam();
    UdpPeer listener("255.255.255.255", SERVER_PORT);
    ASSERT_TRUE(listener.ok());
    RecordSocketFailures();
    driver->FailSocketCall(c.call, c.error, 1, c.filter);
    ASSERT_TRUE(Search());
    EXPECT_EQ(ProbesHeard(listener),
              (std::map<std::string, unsigned>{{kSecondCard, if_nametoindex("tvm1")}}));

    std::vector<tvposix::SocketFailure> failures = SocketFailures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].call, c.call);
    EXPECT_EQ(failures[0].error, c.error);
    // Where it could not go out: what the command line names the interface by.
    EXPECT_EQ(failures[0].local, kWorkstation);
    // A probe went out, so its replies are awaited and listed.
    ASSERT_TRUE(SendReply(1, "Alpha"));
    EXPECT_TRUE(WaitForHost("Alpha"));
}

INSTANTIATE_TEST_SUITE_P(Calls, MultiHomedProbeFailureTest,
                         ::testing::ValuesIn(kInterfaceFailureCases),
                         [](const ::testing::TestParamInfo<InterfaceFailureCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- replies -------------------------------------------------------------------------------

struct Answer {
    int appliance;
    Bytes payload;
};

struct ReplyCase {
    const char* name;
    std::vector<Answer> answers;                // in the order they are sent
    std::vector<std::vector<std::string>> rows; // expected, top to bottom
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

std::string A(int n) {
    return ApplianceAddress(n);
}

const ReplyCase kReplyCases[] = {
    {"NewestOnTop",
     {{1, DiscoveryReply("Alpha")}, {2, DiscoveryReply("Beta")}, {3, DiscoveryReply("Gamma")}},
     {{A(3), "Gamma"}, {A(2), "Beta"}, {A(1), "Alpha"}}},
    {"SameNameInOtherLetterCase",
     {{1, DiscoveryReply("Store-One")}, {2, DiscoveryReply("STORE-one")}},
     {{A(1), "Store-One"}}},
    {"ListedNameWithTrailingBlanks",
     {{1, DiscoveryReply("Tower \t ")}, {2, DiscoveryReply("tower")}},
     {{A(1), "Tower \t "}}},
    // Only the list's text is trimmed, never the name just received.
    {"ReceivedNameWithTrailingBlank",
     {{1, DiscoveryReply("Tower")}, {2, DiscoveryReply("Tower ")}},
     {{A(2), "Tower "}, {A(1), "Tower"}}},
    {"SameNameFromTwoAddressesKeepsTheFirst",
     {{1, DiscoveryReply("Alpha")}, {2, DiscoveryReply("Alpha")}},
     {{A(1), "Alpha"}}},
    {"TwoNamesFromOneAddress",
     {{1, DiscoveryReply("Alpha")}, {1, DiscoveryReply("Beta")}},
     {{A(1), "Beta"}, {A(1), "Alpha"}}},
    {"NameWithoutNulEndsAtTheLastByte", {{1, Raw("Edge-7")}}, {{A(1), "Edge-7"}}},
    // The name never runs past its 40-byte field into the hardware address or beyond.
    {"HundredBytesWithoutNul", {{1, Raw(std::string(100, 'n'))}}, {{A(1), std::string(40, 'n')}}},
    {"FullNameFieldThenHardwareAddress",
     {{1, Raw(std::string(40, 'f') + std::string("\x00\x0a\x1b\xff\x20\x3c", 6))}},
     {{A(1), std::string(40, 'f')}}},
    {"MoreThanHundredBytesIsNotListed", {{1, Raw(std::string(101, 'n'))}}, {}},
    {"EmptyDatagramHasAnEmptyName", {{1, Bytes{}}}, {{A(1), ""}}},
    {"BytesAfterTheNulAreNotTheName",
     {{1, Raw(std::string("Kappa\0Lambda", 12))}},
     {{A(1), "Kappa"}}},
};

class ReplyTest : public SearchTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, ListsRowsByHostName) {
    ASSERT_TRUE(Search());
    for (const Answer& answer : GetParam().answers)
        ASSERT_TRUE(SendReply(answer.appliance, answer.payload));
    Settle();
    EXPECT_EQ(RowsBelowSentinel(), GetParam().rows);
}

INSTANTIATE_TEST_SUITE_P(Rules, ReplyTest, ::testing::ValuesIn(kReplyCases),
                         [](const ::testing::TestParamInfo<ReplyCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- the duplicate check across the life of the list ---------------------------------------

// The check answers from the host names of the rows as they stand: after rows went in above
// them, after the list was sorted, after a new search emptied it, and whichever listener
// listed a name first.
struct Step {
    enum Kind { Reply, Request, Sort, NewSearch } kind;
    std::string name;  // Reply, Request: the host name sent
    bool adds = false; // Reply, Request: whether it makes a row
    int column = 0;    // Sort: the heading clicked
};

Step Answers(const std::string& name, bool adds) {
    return {Step::Reply, name, adds};
}
Step Asks(const std::string& name, bool adds) {
    return {Step::Request, name, adds};
}
Step SortBy(int column) {
    return {Step::Sort, "", false, column};
}
Step Restart() {
    return {Step::NewSearch, "", false, 0};
}

// Many rows between the first listing of a name and its repeat.
std::vector<Step> UnderMany(int fillers) {
    std::vector<Step> steps = {Answers("Alpha", true), Asks("Nimbus", true)};
    for (int i = 0; i < fillers; ++i)
        steps.push_back(Answers("filler-" + std::to_string(i), true));
    steps.push_back(Answers("ALPHA", false));
    steps.push_back(Asks("nimbus", false));
    steps.push_back(Answers("Omega", true));
    return steps;
}

struct DuplicateCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> hosts; // column 1 at the end, top to bottom
};

void PrintTo(const DuplicateCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<std::string> UnderManyHosts(int fillers) {
    std::vector<std::string> hosts = {"Omega"};
    for (int i = fillers - 1; i >= 0; --i)
        hosts.push_back("filler-" + std::to_string(i));
    hosts.push_back("Nimbus");
    hosts.push_back("Alpha");
    return hosts;
}

const DuplicateCase kDuplicateCases[] = {
    {"OldestRowsUnderManyNewerOnes", UnderMany(300), UnderManyHosts(300)},
    {"AfterSortingEitherColumn",
     {Answers("beta", true), Asks("Delta", true), Answers("Gamma", true), SortBy(1),
      Answers("GAMMA", false), Asks("delta", false), SortBy(1), Answers("Beta", false),
      Answers("Epsilon", true), Asks("EPSILON", false)},
     {"Epsilon", "beta", "Gamma", "Delta"}},
    {"TrimmedListTextAfterSorting",
     {Answers("Tower \t ", true), Answers("Abbey", true), SortBy(1), Answers("TOWER", false),
      Asks("tower", false), Answers("tower ", true)},
     {"tower ", "Abbey", "Tower \t "}},
    {"NewSearchForgetsEveryName",
     {Answers("Alpha", true), Asks("Nimbus", true), Restart(), Answers("alpha", true),
      Asks("NIMBUS", true), Answers("Alpha", false)},
     {"NIMBUS", "alpha"}},
    {"PrefixesAndExtensionsAreOtherNames",
     {Answers("Node", true), Answers("Node-2", true), Answers("node-", true), Answers("NOD", true),
      Answers("", true), Answers("nODE", false), Asks("", false)},
     {"", "NOD", "node-", "Node-2", "Node"}},
    {"EachListenerSeesTheOthersRows",
     {Asks("Pallas", true), Answers("Juno", true), SortBy(0), Answers("pallas", false),
      Asks("JUNO", false), Asks("Vesta", true)},
     {"Vesta", "Juno", "Pallas"}},
};

class DuplicateTest : public SearchTest, public ::testing::WithParamInterface<DuplicateCase> {};

TEST_P(DuplicateTest, OneRowPerHostName) {
    ASSERT_TRUE(Search());
    std::size_t rows = 0;
    for (const Step& step : GetParam().steps) {
        switch (step.kind) {
        case Step::Reply:
            ASSERT_TRUE(SendReply(1, step.name));
            break;
        case Step::Request:
            ASSERT_TRUE(SendRequest(BootpRequest().HostName(step.name).Build()));
            break;
        case Step::Sort:
            ASSERT_TRUE(driver->ClickColumn(IDC_DEVICE_LIST, step.column));
            break;
        case Step::NewSearch:
            EndSearchWindow();
            ASSERT_TRUE(Search());
            rows = 0;
            break;
        }
        // A new row is waited for, so the next step meets the list with it; a repeat changes
        // nothing to wait for, and the end settles both listeners.
        if (step.adds) {
            ASSERT_TRUE(WaitForRows(++rows)) << step.name;
        }
    }
    Settle();
    ASSERT_TRUE(SendRequest(BootpRequest().HostName("zz-request").Build()));
    ASSERT_TRUE(WaitForHost("zz-request"));
    std::vector<std::string> hosts;
    for (const auto& row : Rows())
        if (row[1] != kSentinel && row[1] != "zz-request")
            hosts.push_back(row[1]);
    // A sort reorders the rows; only the rows that came after the last sort are known to be
    // on top, so the case states the order the list shows at the end.
    EXPECT_EQ(hosts, GetParam().hosts);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, DuplicateTest, ::testing::ValuesIn(kDuplicateCases),
                         [](const ::testing::TestParamInfo<DuplicateCase>& info) {
                             return std::string(info.param.name);
                         });

// A segment answers all at once: both listeners hold a burst of thousands of datagrams.
TEST_F(SearchTest, ListenersHaveRoomForABurst) {
    ASSERT_TRUE(Search());
    SOCKET hClient = 0, hBootp = 0;
    driver->OnUi([&] {
        hClient = Window().*MainWindowPeek::ClientSocket();
        hBootp = g_hBootpSearchSocket;
    });
    // 4 MiB each: room for a few thousand replies or requests at once. Linux reports twice
    // the size it was asked for (the rest is its bookkeeping); these tests run as root, for
    // whom the size is granted beyond net.core.rmem_max.
    constexpr int kAskedFor = 4 * 1024 * 1024;
    for (SOCKET s : {hClient, hBootp}) {
        int granted = 0;
        socklen_t len = sizeof granted;
        ASSERT_EQ(::getsockopt(tvposix::DescriptorOf(s), SOL_SOCKET, SO_RCVBUF, &granted, &len), 0);
        EXPECT_EQ(granted, 2 * kAskedFor);
    }
}

TEST_F(SearchTest, OnlyANewRowOrAFailedReceiveRedraws) {
    RecordSocketFailures();
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SendReply(1, "Alpha"));
    ASSERT_TRUE(WaitForHost("Alpha"));

    headless::Record before = driver->Snapshot();
    ASSERT_TRUE(SendReply(2, "ALPHA"));
    Settle();
    headless::Record after = driver->Snapshot();
    // The sentinel's row is the one redraw: the duplicate returned before redrawing.
    EXPECT_EQ(after.updateCalls, before.updateCalls + 1);
    EXPECT_EQ(after.invalidateCalls, before.invalidateCalls + 1);

    // A reply too long for the buffer is consumed, fails and only redraws.
    before = after;
    ASSERT_TRUE(SendReply(3, Raw(std::string(101, 'x'))));
    ASSERT_TRUE(WaitForSocketFailure("recvfrom", WSAEMSGSIZE));
    after = driver->Snapshot();
    EXPECT_EQ(after.updateCalls, before.updateCalls + 1);
    EXPECT_EQ(Rows().size(), 2u);
    // Replies never touch the status icon.
    EXPECT_EQ(after.iconChanges.size(), before.iconChanges.size());
}

TEST_F(SearchTest, WebBrowserFollowsTheRows) {
    EXPECT_FALSE(driver->IsEnabled(IDC_WEB_BROWSER));
    ASSERT_TRUE(Search());
    EXPECT_FALSE(driver->IsEnabled(IDC_WEB_BROWSER));
    ASSERT_TRUE(SendReply(1, "Alpha"));
    ASSERT_TRUE(WaitForRows(1));
    EXPECT_TRUE(driver->IsEnabled(IDC_WEB_BROWSER));

    // A new search empties the list and takes the button away until the next row.
    EndSearchWindow();
    ASSERT_TRUE(Search());
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(driver->IsEnabled(IDC_WEB_BROWSER));
    EXPECT_EQ(tvposix::OpenSocketCount(), 2);
    ASSERT_TRUE(SendReply(1, "Alpha"));
    ASSERT_TRUE(WaitForRows(1));
    EXPECT_TRUE(driver->IsEnabled(IDC_WEB_BROWSER));
}

TEST_F(SearchTest, ReplyAfterTheWindowIsStillListed) {
    ASSERT_TRUE(Search());
    EndSearchWindow();
    driver->StepTime(20 * kTickMs);
    ASSERT_TRUE(SendReply(5, "Latecomer"));
    ASSERT_TRUE(WaitForRows(1));
    EXPECT_EQ(Rows(), (std::vector<std::vector<std::string>>{{A(5), "Latecomer"}}));
    EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));
    EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON), IDI_STATUS_IDLE);
}

// ---- the socket-error box ------------------------------------------------------------------

struct EventCase {
    const char* name;
    UINT message;
    WORD event;
    WORD error;
    const char* box; // nullptr: no box
    bool receives;   // the handler tries to receive
};

void PrintTo(const EventCase& c, std::ostream* os) {
    *os << c.name;
}

const EventCase kEventCases[] = {
    {"ReplyReadWithError", WM_PING_ASYNCH, FD_READ, WSAENETDOWN,
     "WSAAsynch Event # 1, Error: 10050", true},
    {"ReplyCloseWithError", WM_PING_ASYNCH, FD_CLOSE, WSAECONNRESET,
     "WSAAsynch Event # 32, Error: 10054", false},
    {"ReplyReadWithoutError", WM_PING_ASYNCH, FD_READ, 0, nullptr, true},
    {"RequestReadWithError", WM_BOOTP_SEARCH_ASYNCH, FD_READ, WSAENETDOWN,
     "WSAAsynch Event # 1, Error: 10050", true},
    {"RequestCloseWithError", WM_BOOTP_SEARCH_ASYNCH, FD_CLOSE, WSAECONNRESET,
     "WSAAsynch Event # 32, Error: 10054", false},
    {"RequestErrorWordOnly", WM_BOOTP_SEARCH_ASYNCH, 0, 0xFFFF, "WSAAsynch Event # 0, Error: 65535",
     false},
};

class SocketEventTest : public SearchTest, public ::testing::WithParamInterface<EventCase> {};

TEST_P(SocketEventTest, ShowsTheErrorAndGoesOnWithTheEvent) {
    const EventCase& c = GetParam();
    ASSERT_TRUE(Search());
    RecordSocketFailures();
    headless::Record before = driver->Snapshot();

    PostSocketEvent(c.message, c.event, c.error);

    headless::Record after = driver->Snapshot();
    std::vector<headless::BoxRecord> boxes(
        after.boxes.begin() + static_cast<std::ptrdiff_t>(before.boxes.size()), after.boxes.end());
    if (c.box) {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, c.box);
        EXPECT_EQ(boxes[0].caption, "CVellumcrestUIDlg::OnPINGAsynch");
        EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_SYSTEMMODAL));
        EXPECT_TRUE(boxes[0].hasOwner);
    } else {
        EXPECT_TRUE(boxes.empty());
    }
    // Nothing is waiting on the socket, so a receive shows itself as a failed one.
    bool received = false;
    for (const tvposix::SocketFailure& f : SocketFailures())
        received |= f.call == "recvfrom" && f.error == WSAEWOULDBLOCK;
    EXPECT_EQ(received, c.receives);
    EXPECT_TRUE(Rows().empty());
    EXPECT_EQ(after.updateCalls, before.updateCalls + 1);
    if (c.message == WM_BOOTP_SEARCH_ASYNCH) {
        EXPECT_EQ(IconsSince(after, before.iconChanges.size()),
                  (std::vector<int>{IDI_STATUS_IDLE}));
    }
}

INSTANTIATE_TEST_SUITE_P(Events, SocketEventTest, ::testing::ValuesIn(kEventCases),
                         [](const ::testing::TestParamInfo<EventCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- the reply listener's set-up -----------------------------------------------------------

// A socket call made to fail once: which call, with which error, and the filter that picks
// the call (the port of a bind, the option of a setsockopt, the type of a socket).
struct Injection {
    const char* call;
    int error;
    int filter;
};

struct SetupStep {
    const char* name;
    Injection failure;
    const char* text;
    const char* caption;
};

void PrintTo(const SetupStep& s, std::ostream* os) {
    *os << s.name;
}

const SetupStep kListenerSteps[] = {
    {"Socket", {"socket", WSAEMFILE, SOCK_DGRAM}, "Failed to createsock!", "createsock error"},
    {"ReceiveTimeout",
     {"setsockopt", WSAENOPROTOOPT, SO_RCVTIMEO},
     "Failed to Setsockopt!\nrecvtime",
     "recvtime error"},
    {"SendTimeout",
     {"setsockopt", WSAENOPROTOOPT, SO_SNDTIMEO},
     "Failed to Setsockopt!\nsendtime",
     "sendtime error"},
    {"Broadcast",
     {"setsockopt", WSAENOPROTOOPT, SO_BROADCAST},
     "Failed to Setsockopt!\nbroadcast",
     "broadcast error"},
    {"Bind",
     {"bind", WSAEACCES, CLIENT_PORT},
     "Failed to bind CLIENT_PORT!\nError Code",
     "bind error"},
    {"Select", {"WSAAsyncSelect", WSAEINVAL, -1}, "Fail to select", "select error"},
};

class ReplyListenerSetupTest : public SearchTest,
                               public ::testing::WithParamInterface<SetupStep> {};

// The listener's own routine, run alone so that the failure meets its step and no other
// socket's: the search itself makes sockets of the same kind just before it.
TEST_P(ReplyListenerSetupTest, FailingStepShowsItsBoxAndStops) {
    const SetupStep& step = GetParam();
    driver->FailSocketCall(step.failure.call, step.failure.error, 1, step.failure.filter);
    int result = -1;
    SOCKET kept = 0;
    driver->OnUi([&] {
        result = (Window().*MainWindowPeek::OpenReplyListener())();
        kept = Window().*MainWindowPeek::ClientSocket();
    });
    EXPECT_EQ(result, 0);

    std::vector<headless::BoxRecord> boxes = driver->Snapshot().boxes;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, step.text);
    EXPECT_EQ(boxes[0].caption, step.caption);
    EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OK));
    EXPECT_TRUE(boxes[0].hasOwner);

    // The socket made before the failure stays in the member; only the last step comes
    // after the bind.
    bool isSocketStep = std::string(step.failure.call) == "socket";
    EXPECT_EQ(tvposix::DescriptorOf(kept) >= 0, !isSocketStep);
    EXPECT_EQ(PortIsFree(CLIENT_PORT), std::string(step.failure.call) != "WSAAsyncSelect");

    // The next search closes what was left and listens again, with no box.
    ASSERT_TRUE(Search());
    EXPECT_EQ(driver->Snapshot().boxes.size(), 1u);
    EXPECT_EQ(tvposix::OpenSocketCount(), 2);
    ASSERT_TRUE(SendReply(1, "Alpha"));
    ASSERT_TRUE(WaitForHost("Alpha"));
}

INSTANTIATE_TEST_SUITE_P(Steps, ReplyListenerSetupTest, ::testing::ValuesIn(kListenerSteps),
                         [](const ::testing::TestParamInfo<SetupStep>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(SearchTest, ReplyPortHeldByAnotherProgram) {
    RecordSocketFailures();
    {
        // The occupant allows sharing but the program's socket does not ask for it, so the
        // program's bind is refused.
        UdpPeer occupant("0.0.0.0", CLIENT_PORT);
        ASSERT_TRUE(occupant.ok());
        ASSERT_TRUE(Search());
        std::vector<headless::BoxRecord> boxes = driver->Snapshot().boxes;
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, "Failed to bind CLIENT_PORT!\nError Code");
        EXPECT_EQ(boxes[0].caption, "bind error");
        bool refused = false;
        for (const tvposix::SocketFailure& f : SocketFailures())
            refused |= f.call == "bind" && f.port == CLIENT_PORT && f.error == WSAEADDRINUSE;
        EXPECT_TRUE(refused);

        // The search window runs all the same.
        EXPECT_FALSE(driver->IsEnabled(IDC_SEARCH));
        EndSearchWindow();
        EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));
    }
    ASSERT_TRUE(Search());
    EXPECT_EQ(driver->Snapshot().boxes.size(), 1u);
    ASSERT_TRUE(SendReply(1, "Alpha"));
    ASSERT_TRUE(WaitForHost("Alpha"));
}

// ---- the port-67 listener's set-up ---------------------------------------------------------

struct RequestPortFailure {
    const char* name;
    std::optional<Injection> injected; // unset: another program holds port 67
};

void PrintTo(const RequestPortFailure& f, std::ostream* os) {
    *os << f.name;
}

// The port-67 listener is the first socket of a search, so the first call of each kind is
// its own.
const RequestPortFailure kRequestPortFailures[] = {
    {"Socket", Injection{"socket", WSAENOBUFS, -1}},
    {"Bind", Injection{"bind", WSAEACCES, 67}},
    {"ReceiveTimeout", Injection{"setsockopt", WSAENOPROTOOPT, SO_RCVTIMEO}},
    {"SendTimeout", Injection{"setsockopt", WSAENOPROTOOPT, SO_SNDTIMEO}},
    {"Broadcast", Injection{"setsockopt", WSAENOPROTOOPT, SO_BROADCAST}},
    {"Select", Injection{"WSAAsyncSelect", WSAEINVAL, -1}},
    {"PortHeldByAnotherProgram", std::nullopt},
};

class RequestPortFailureTest : public SearchTest,
                               public ::testing::WithParamInterface<RequestPortFailure> {};

// Silent, and the rest of the search goes on. We keep the search window running even when
// the listener failed before it could start the timer, so "Search" always comes back.
TEST_P(RequestPortFailureTest, SearchGoesOnWithoutABox) {
    const RequestPortFailure& f = GetParam();
    UdpPeer probeListener("255.255.255.255", SERVER_PORT);
    ASSERT_TRUE(probeListener.ok());
    RecordSocketFailures();
    {
        std::optional<UdpPeer> occupant;
        if (f.injected)
            driver->FailSocketCall(f.injected->call, f.injected->error, 1, f.injected->filter);
        else
            occupant.emplace("0.0.0.0", 67);

        ASSERT_TRUE(Search());
        EXPECT_TRUE(driver->Snapshot().boxes.empty());
        if (occupant) {
            // Refused for the occupant, as for the reply port.
            bool refused = false;
            for (const tvposix::SocketFailure& failure : SocketFailures())
                refused |=
                    failure.call == "bind" && failure.port == 67 && failure.error == WSAEADDRINUSE;
            EXPECT_TRUE(refused);
        }
        Bytes probe;
        std::string from;
        int fromPort = 0;
        EXPECT_TRUE(probeListener.Receive(probe, from, fromPort, 3000));
        ASSERT_TRUE(SendReply(1, "Alpha"));
        ASSERT_TRUE(WaitForHost("Alpha"));

        EXPECT_FALSE(driver->IsEnabled(IDC_SEARCH));
        driver->StepTime(kTickMs);
        EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON), IDI_STATUS_LEFT);
        driver->StepTime((kSearchTicks - 2) * kTickMs);
        EXPECT_FALSE(driver->IsEnabled(IDC_SEARCH));
        driver->StepTime(kTickMs);
        EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));
    }

    // The next search closes the half-made listener and lists requests again.
    ASSERT_TRUE(Search());
    EXPECT_EQ(tvposix::OpenSocketCount(), 2);
    ASSERT_TRUE(SendRequest(BootpRequest().HostName("Nimbus").Build()));
    ASSERT_TRUE(WaitForHost("Nimbus"));
}

INSTANTIATE_TEST_SUITE_P(Failures, RequestPortFailureTest,
                         ::testing::ValuesIn(kRequestPortFailures),
                         [](const ::testing::TestParamInfo<RequestPortFailure>& info) {
                             return std::string(info.param.name);
                         });

// ---- the timer -----------------------------------------------------------------------------

TEST_F(SearchTest, WithoutATimerSearchStaysAvailable) {
    driver->FailUiCall("SetTimer", -1);
    ASSERT_TRUE(Search());
    // No window to wait for: we leave "Search" enabled rather than disabled for good.
    EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));
    std::size_t before = driver->Snapshot().iconChanges.size();
    EndSearchWindow();
    EXPECT_EQ(driver->Snapshot().iconChanges.size(), before);
    EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON), IDI_STATUS_IDLE);

    // The listeners work without it.
    ASSERT_TRUE(SendReply(1, "Alpha"));
    ASSERT_TRUE(WaitForHost("Alpha"));
    ASSERT_TRUE(SendRequest(BootpRequest().HostName("Nimbus").Build()));
    ASSERT_TRUE(WaitForHost("Nimbus"));

    // And a new search can be started at once.
    ASSERT_TRUE(Search());
    EXPECT_TRUE(Rows().empty());
}

} // namespace
} // namespace testlab
