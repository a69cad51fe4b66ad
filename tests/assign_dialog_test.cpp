// The assign dialog: its title, the checks of "Assign IP" and their boxes, the subnet warning,
// the echo probe that refuses a taken address, the time limit, and Cancel at any moment.
#include "tests/support/assign_session.h"
#include "tests/support/icmp_capture.h"

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>
#include <unistd.h>
#include <ostream>

namespace testlab {
namespace {

using BoxList = std::vector<headless::BoxRecord>;

constexpr const char* kSubnetText =
    "Assign IP Address maybe in different subnet section!\n Do you want to continue? ";

std::string InUseText(const std::string& normalised) {
    return "The IP address\n" + normalised + "\n maybe is in used!\n or Subnet error!";
}

// The dialog's protected members, through member pointers formed in a derived class.
struct AssignDialogPeek : CAddressAssignDlg {
    static auto Icmp() { return &AssignDialogPeek::m_icmp; }
};

class AssignDialogTest : public AssignSession {
protected:
    // The open dialog's echo probe; user-interface thread only.
    static CIcmp& Probe() {
        auto* dlg = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(AssignDialogNow(), DWLP_USER));
        return static_cast<CAddressAssignDlg&>(*dlg).*AssignDialogPeek::Icmp();
    }
    int OpenSockets() {
        int count = 0;
        driver->OnUi([&] { count = tvposix::OpenSocketCount(); });
        return count;
    }
};

// Owned by the main window, the dialog opens centred over it.
TEST_F(AssignDialogTest, OpensCentredOverTheMainWindow) {
    driver->MoveDialog(60, 40);
    ASSERT_TRUE(OpenAssignDialog());
    EXPECT_TRUE(CentredOn(driver->WindowRect(IDD_ADDRESS_ASSIGN),
                          driver->WindowRect(IDD_VELLUMCRESTUI_DIALOG)));
}

// ---- the title ---------------------------------------------------------------------------------

struct TitleCase {
    const char* name;
    std::string deviceName;
    bool requestSeen; // the responder handled a request before "Assign IP"
    std::string editing;
    std::string checking;
};

void PrintTo(const TitleCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string k70(70, 'n');
const std::string k76(76, 'n');
const std::string k100(100, 'n');

const TitleCase kTitleCases[] = {
    {"Name", kNimbus, false, "Nimbus[Setting]", "Nimbus - "},
    {"NameAfterRequest", kNimbus, true, "Nimbus[Setting]", "Nimbus - [assigning...]"},
    {"EmptyName", "", false, "[Setting]", " - "},
    {"EmptyNameAfterRequest", "", true, "[Setting]", " - [assigning...]"},
    // 79 characters at most.
    {"SeventyCharacters", k70, true, k70 + "[Setting]", k70 + " - [assig"},
    {"SeventySixCharacters", k76, true, k76 + "[Se", k76 + " - "},
    {"HundredCharacters", k100, true, k100.substr(0, 79), k100.substr(0, 79)},
};

class AssignDialogTitleTest : public LoneAssignDialog,
                              public ::testing::WithParamInterface<TitleCase> {};

TEST_P(AssignDialogTitleTest, NameWithTheStateOfTheDialog) {
    const TitleCase& c = GetParam();
    ASSERT_TRUE(RunAlone(c.deviceName, kNimbusHw));
    EXPECT_EQ(driver->Title(), c.editing);
    if (c.requestSeen) {
        // The appliance's own request carries the name of its row, empty or not.
        ASSERT_TRUE(SendToResponder(BootpRequest().HostName(c.deviceName).Build()));
    }
    EXPECT_EQ(driver->Title(), c.editing); // a request alone does not change it

    // While "Assign IP" checks, seen from inside the refusal's box; afterwards the editing
    // title again.
    std::string whileChecking;
    driver->SetBoxObserver([&](const headless::BoxRecord&) {
        char text[256] = "";
        ::GetWindowTextA(AssignDialogNow(), text, sizeof text);
        whileChecking = text;
    });
    Assign("");
    driver->SetBoxObserver(nullptr);
    EXPECT_EQ(whileChecking, c.checking);
    EXPECT_EQ(driver->Title(), c.editing);
}

INSTANTIATE_TEST_SUITE_P(Names, AssignDialogTitleTest, ::testing::ValuesIn(kTitleCases),
                         [](const ::testing::TestParamInfo<TitleCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- the checks of "Assign IP" -----------------------------------------------------------------

struct CheckCase {
    const char* name;
    const char* ip;
    const char* mask;
    const char* gateway;
    std::string text; // of the one box shown
    const char* caption;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

constexpr const char* kIpInvalid = "The IP address is invalid!";
constexpr const char* kMaskInvalid = "The mask address is invalid!";
constexpr const char* kGatewayInvalid = "The Gateway address is invalid!";

const CheckCase kCheckCases[] = {
    {"EmptyAddress", "", "", "", kIpInvalid, "IP ERROR"},
    {"AllOnesAddress", "255.255.255.255", "", "", kIpInvalid, "IP ERROR"},
    {"PartAbove255", "10.200.0.256", "", "", kIpInvalid, "IP ERROR"},
    {"TwoDots", "10.200.50", "", "", kIpInvalid, "IP ERROR"},
    {"FourDots", "10.200.0.50.1", "", "", kIpInvalid, "IP ERROR"},
    // Addresses no appliance can have.
    {"ZeroNetwork", "0000.1.1.1", "", "", kIpInvalid, "IP ERROR"},
    {"AllZeros", "0.0.0.0", "", "", kIpInvalid, "IP ERROR"},
    {"Loopback", "127.0.0.1", "", "", kIpInvalid, "IP ERROR"},
    {"LoopbackTop", "127.255.255.254", "", "", kIpInvalid, "IP ERROR"},
    {"Multicast", "224.0.0.1", "", "", kIpInvalid, "IP ERROR"},
    {"Reserved", "240.0.0.1", "", "", kIpInvalid, "IP ERROR"},
    {"BelowAllOnes", "255.255.255.254", "", "", kIpInvalid, "IP ERROR"},
    // Only the first failing check speaks.
    {"AddressAndMaskBad", "10.200.50", "255.255.255.255", "x", kIpInvalid, "IP ERROR"},
    {"AllOnesMask", kFreeAddress, "255.255.255.255", "", kMaskInvalid, "MASK ERROR"},
    {"MaskAndGatewayBad", kFreeAddress, "255.255.255", "x", kMaskInvalid, "MASK ERROR"},
    {"AllOnesGateway", kFreeAddress, "255.255.255.0", "255.255.255.255", kGatewayInvalid,
     "GATEWAY ERROR"},
    {"GatewayPartAbove255", kFreeAddress, "", "10.200.0.999", kGatewayInvalid, "GATEWAY ERROR"},
    // The kernel answers for its own address; the box names the normalised text, which the
    // mask's normalisation leaves alone.
    {"AddressAnswersTheEcho", kTakenAddress, "255.255.255.0", "", InUseText("10.200..11"),
     "IP ERROR"},
    // Each entry is cut to 15 characters before any check: cut, these three are the
    // workstation's own address and a valid mask and gateway; whole, they would be another
    // address and an invalid mask.
    {"EntriesCutToFifteen", "0010.200.000.011", "255.255.255.0  x", "10.200.0.254   x",
     InUseText("10.200..1"), "IP ERROR"},
};

class AssignDialogCheckTest : public AssignDialogTest,
                              public ::testing::WithParamInterface<CheckCase> {};

TEST_P(AssignDialogCheckTest, OnlyTheFirstFailingCheckIsReported) {
    const CheckCase& c = GetParam();
    ASSERT_TRUE(OpenAssignDialog());
    Assign(c.ip, c.mask, c.gateway);
    BoxList boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, c.text);
    EXPECT_EQ(boxes[0].caption, c.caption);
    EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OK));
    EXPECT_FALSE(boxes[0].hasOwner);
    // Back to editing: same dialog, "Assign IP" usable, the editing title.
    EXPECT_EQ(driver->TopDialog(), IDD_ADDRESS_ASSIGN);
    EXPECT_TRUE(driver->IsEnabled(IDOK));
    EXPECT_EQ(driver->Title(), "Nimbus[Setting]");
}

INSTANTIATE_TEST_SUITE_P(Entries, AssignDialogCheckTest, ::testing::ValuesIn(kCheckCases),
                         [](const ::testing::TestParamInfo<CheckCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- the subnet warning and the probe ----------------------------------------------------------

struct SubnetCase {
    const char* name;
    const char* ip;
    const char* mask;
    bool warns;
};

void PrintTo(const SubnetCase& c, std::ostream* os) {
    *os << c.name;
}

// The workstation is 10.200.0.1 on a /24.
const SubnetCase kSubnetCases[] = {
    // Compared as numbers: "10.200..50" and "10.200.0.1" differ as texts only.
    {"SameSubnet", kFreeAddress, "", false},
    {"OtherSubnet", "10.201.0.5", "", true},
    {"OtherSubnetUnderTypedMask", "10.201.0.5", "255.255.0.0", true},
    // The typed mask decides; without one, the interface's /24.
    {"InsideTheTypedMask", "10.200.1.5", "255.255.0.0", false},
    {"OutsideTheInterfaceMask", "10.200.1.5", "", true},
    {"OutsideTheTypedMask", kFreeAddress, "255.255.255.224", true},
};

class AssignDialogSubnetTest : public AssignDialogTest,
                               public ::testing::WithParamInterface<SubnetCase> {};

TEST_P(AssignDialogSubnetTest, WarnsOutsideTheSubnetAndProbesTheAddress) {
    const SubnetCase& c = GetParam();
    ASSERT_TRUE(OpenAssignDialog());
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Arm(c.ip, c.mask));
    auto elapsed = std::chrono::steady_clock::now() - start;

    BoxList boxes = Boxes();
    if (c.warns) {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, kSubnetText);
        EXPECT_EQ(boxes[0].caption, "Subnet Warning!");
        EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OKCANCEL));
        EXPECT_FALSE(boxes[0].hasOwner);
        EXPECT_EQ(boxes[0].answer, IDOK);
    } else {
        EXPECT_TRUE(boxes.empty());
    }
    // Free means the echo went out and nothing answered within the probe's 500 ms.
    EXPECT_GE(elapsed, std::chrono::milliseconds(450));
    EXPECT_EQ(driver->Title(), "Nimbus - ");
}

INSTANTIATE_TEST_SUITE_P(Addresses, AssignDialogSubnetTest, ::testing::ValuesIn(kSubnetCases),
                         [](const ::testing::TestParamInfo<SubnetCase>& info) {
                             return std::string(info.param.name);
                         });

// A workstation with three interfaces, none on a /24 but the appliance LAN: the first (by the
// default route, which also makes it the host's own address) tvm1 172.20.0.1/16, the second
// tvm2 192.168.77.1/27, and tvd0 10.200.0.1/24. Each interface's own mask decides, or the
// typed one in its place; the warning comes only for an address in none of the subnets.
const SubnetCase kMultiHomedCases[] = {
    // Outside the first's /24, inside its /16: the interface's mask, not 255.255.255.0.
    {"InTheFirstInterfacesMask", "172.20.9.9", "", false},
    {"InTheSecondInterfacesMask", "192.168.77.20", "", false},
    // In the second's /24 but not its /27.
    {"OutsideTheSecondInterfacesMask", "192.168.77.40", "", true},
    {"OnTheApplianceLan", kFreeAddress, "", false},
    {"InNone", "10.201.0.5", "", true},
    // The typed mask in place of each interface's own.
    {"TypedMaskWidensTheSecond", "192.168.77.40", "255.255.255.0", false},
    {"TypedMaskNarrowsTheFirst", "172.20.9.9", "255.255.255.0", true},
};

class AssignDialogMultiHomedSubnetTest : public AssignDialogTest,
                                         public ::testing::WithParamInterface<SubnetCase> {
protected:
    void BeforeStart() override {
        AssignDialogTest::BeforeStart();
        ASSERT_TRUE(AddInterface("tvm1", {"172.20.0.1/16"}));
        ASSERT_TRUE(AddInterface("tvm2", {"192.168.77.1/27"}));
        ASSERT_EQ(std::system("ip route replace default via 172.20.0.254 dev tvm1 onlink"), 0);
        SilenceAddresses("tvm1", {"172.20.0.254"});
        SilenceAddresses("tvm2", {"192.168.77.20"});
    }
    void TearDown() override {
        AssignDialogTest::TearDown();
        RemoveInterface("tvm1");
        RemoveInterface("tvm2");
        [[maybe_unused]] int rc =
            std::system("ip route replace default via 10.200.0.254 dev tvd0 onlink");
    }
};

TEST_P(AssignDialogMultiHomedSubnetTest, WarnsOnlyOutsideEveryInterfacesSubnet) {
    const SubnetCase& c = GetParam();
    ASSERT_TRUE(OpenAssignDialog());
    ASSERT_TRUE(Arm(c.ip, c.mask));
    BoxList boxes = Boxes();
    if (c.warns) {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "Subnet Warning!");
    } else {
        EXPECT_TRUE(boxes.empty()) << boxes[0].caption;
    }
}

INSTANTIATE_TEST_SUITE_P(Addresses, AssignDialogMultiHomedSubnetTest,
                         ::testing::ValuesIn(kMultiHomedCases),
                         [](const ::testing::TestParamInfo<SubnetCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(AssignDialogTest, CancelInTheSubnetWarningRefusesTheAddress) {
    ASSERT_TRUE(OpenAssignDialog());
    driver->AnswerNextBox(IDCANCEL);
    Assign("010.201.000.005");
    BoxList boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Subnet Warning!");
    EXPECT_EQ(boxes[0].answer, IDCANCEL);
    EXPECT_EQ(boxes[1].text, InUseText("10.201..5"));
    EXPECT_EQ(boxes[1].caption, "IP ERROR");
    EXPECT_TRUE(driver->IsEnabled(IDOK));
    EXPECT_EQ(driver->Title(), "Nimbus[Setting]");

    // The same address, now with OK, is taken.
    ASSERT_TRUE(Arm("10.201.0.5"));
}

struct ProbeFailureCase {
    const char* name;
    const char* call;
    int error;
    int filter;
    bool socketStays; // the raw socket stays open after the check
};

void PrintTo(const ProbeFailureCase& c, std::ostream* os) {
    *os << c.name;
}

// Whatever keeps the echo from going out or its answer from coming back, the address counts
// as free, even one that would answer. A probe that could not open (at any of its three
// steps) keeps no socket; one that opened keeps it until the dialog goes.
const ProbeFailureCase kProbeFailureCases[] = {
    // The raw socket refused, and with it the kernel's echo socket.
    {"NoIcmpSocket", "socket", WSAEACCES, SOCK_RAW, false},
    {"ReceiveTimeoutRefused", "setsockopt", WSAENOPROTOOPT, SO_RCVTIMEO, false},
    {"SendTimeoutRefused", "setsockopt", WSAENOPROTOOPT, SO_SNDTIMEO, false},
    {"SendFails", "sendto", WSAENETUNREACH, 0, true},
    {"ReceiveFails", "recvfrom", WSAECONNRESET, -1, true},
};

class AssignDialogProbeFailureTest : public AssignDialogTest,
                                     public ::testing::WithParamInterface<ProbeFailureCase> {};

TEST_P(AssignDialogProbeFailureTest, AddressCountsAsFree) {
    const ProbeFailureCase& c = GetParam();
    ASSERT_TRUE(OpenAssignDialog());
    int socketsBefore = OpenSockets();
    driver->FailSocketCall(c.call, c.error, 1, c.filter);
    ASSERT_TRUE(Arm(kTakenAddress));
    EXPECT_TRUE(Boxes().empty());
    bool open = false;
    driver->OnUi([&] { open = Probe().m_hRawSocket != INVALID_SOCKET; });
    EXPECT_EQ(open, c.socketStays);
    EXPECT_EQ(OpenSockets(), socketsBefore + (c.socketStays ? 1 : 0));
}

// Open stops at the step that fails and says which in its error kind, with the platform's
// error code; a socket it made is closed again.
TEST_F(AssignDialogTest, ProbeOpenFailsAtEachStep) {
    struct Step {
        const char* call;
        int filter;
        int errorKind;
    };
    const Step steps[] = {
        {"socket", SOCK_RAW, 1}, {"setsockopt", SO_RCVTIMEO, 2}, {"setsockopt", SO_SNDTIMEO, 3}};
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.call) + " " + std::to_string(step.filter));
        int socketsBefore = OpenSockets();
        driver->FailSocketCall(step.call, WSAENOBUFS, 1, step.filter);
        BOOL opened = TRUE;
        int errorKind = 0, lastError = 0;
        bool closed = false;
        driver->OnUi([&] {
            CIcmp probe;
            opened = probe.Open(500, 500);
            errorKind = probe.m_nErrorKind;
            lastError = probe.m_nLastError;
            closed = probe.m_hRawSocket == INVALID_SOCKET;
        });
        EXPECT_FALSE(opened);
        EXPECT_EQ(errorKind, step.errorKind);
        EXPECT_EQ(lastError, WSAENOBUFS);
        EXPECT_TRUE(closed);
        EXPECT_EQ(OpenSockets(), socketsBefore);
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, AssignDialogProbeFailureTest,
                         ::testing::ValuesIn(kProbeFailureCases),
                         [](const ::testing::TestParamInfo<ProbeFailureCase>& info) {
                             return std::string(info.param.name);
                         });

// The request "Assign IP" sends, as it reaches the address typed (with its leading zeros, as
// a user may type it): 76 bytes of ICMP, an echo request with a sound checksum, this
// process's identifier and sequence 0 (each stored low byte first), a time stamp, and 64
// bytes of 'E'. The address is one of the workstation's own, so the request comes back in
// through loopback, where a raw socket of the test's own reads it; the kernel's answer makes
// the address one in use.
TEST_F(AssignDialogTest, EchoRequestAsItReachesTheAddress) {
    IcmpCapture capture;
    ASSERT_TRUE(capture.ok()) << "no raw ICMP socket for the test";
    ASSERT_TRUE(OpenAssignDialog());
    Assign("010.200.000.011", "255.255.255.0");
    std::optional<IcmpCapture::Message> request = capture.Next(8, 3000);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->to, kTakenAddress);
    const Bytes& m = request->icmp;
    ASSERT_EQ(m.size(), 76u);
    EXPECT_EQ(m[1], 0); // code
    // RFC 1071 over the network-order words, checksum included: all ones.
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < m.size(); i += 2)
        sum += std::uint32_t{m[i]} << 8 | m[i + 1];
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ(sum, 0xFFFFu);
    EXPECT_EQ(m[4] | m[5] << 8, static_cast<int>(::getpid() & 0xFFFF));
    EXPECT_EQ(m[6] | m[7] << 8, 0);
    EXPECT_EQ(Bytes(m.begin() + 12, m.end()), Bytes(64, 0x45));

    BoxList boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, InUseText("10.200..11"));
}

// ICMP messages that are not from the address say nothing of it, however many come within the
// check's time-out: here another program's echo requests to the workstation's own address
// and the kernel's replies, which a raw socket gets as well.
TEST_F(AssignDialogTest, IcmpMessagesFromElsewhereAreNoAnswer) {
    IcmpCapture other;
    ASSERT_TRUE(other.ok()) << "no raw ICMP socket for the test";
    ASSERT_TRUE(OpenAssignDialog());
    std::thread chatter([&other] {
        for (int i = 0; i < 12; ++i) {
            other.SendEchoRequest(testlab::kWorkstation);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    ::testing::AssertionResult armed = Arm(kFreeAddress);
    chatter.join();
    ASSERT_TRUE(armed);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(driver->Title(), "Nimbus - ");
}

// The raw socket of a probe that found the address free stays open while the dialog waits,
// and goes with the dialog, however it ends.
struct ProbeSocketCase {
    const char* name;
    void (*end)(AssignDialogTest&);
    INT_PTR result;
};

void PrintTo(const ProbeSocketCase& c, std::ostream* os) {
    *os << c.name;
}

class AssignDialogProbeSocketTest : public AssignDialogTest,
                                    public ::testing::WithParamInterface<ProbeSocketCase> {
public:
    void Cancel() { driver->Click(IDCANCEL); }
    void RunOutOfTime() { driver->StepTime(25500); }
    void Complete() {
        ASSERT_TRUE(SendToResponder(BootpRequest().MessageType(3).HostName(kNimbus).Build()));
    }
};

const ProbeSocketCase kProbeSocketCases[] = {
    {"Cancel", [](AssignDialogTest& t) { static_cast<AssignDialogProbeSocketTest&>(t).Cancel(); },
     IDCANCEL},
    {"TimeLimit",
     [](AssignDialogTest& t) { static_cast<AssignDialogProbeSocketTest&>(t).RunOutOfTime(); },
     IDCANCEL},
    {"Success",
     [](AssignDialogTest& t) { static_cast<AssignDialogProbeSocketTest&>(t).Complete(); }, IDOK},
};

TEST_P(AssignDialogProbeSocketTest, GoesWithTheDialog) {
    ASSERT_TRUE(OpenAssignDialog());
    // The reply listener of the search and the responder's socket.
    int socketsOpen = OpenSockets();
    ASSERT_TRUE(Arm(kFreeAddress));
    EXPECT_EQ(OpenSockets(), socketsOpen + 1);
    GetParam().end(*this);
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(LastResult(IDD_ADDRESS_ASSIGN), GetParam().result);
    EXPECT_EQ(OpenSockets(), socketsOpen - 1);
}

INSTANTIATE_TEST_SUITE_P(Ends, AssignDialogProbeSocketTest, ::testing::ValuesIn(kProbeSocketCases),
                         [](const ::testing::TestParamInfo<ProbeSocketCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- the time limit ----------------------------------------------------------------------------

TEST_F(AssignDialogTest, WithoutAckTheFiftyFirstTickEndsTheDialog) {
    ASSERT_TRUE(OpenAssignDialog());
    ASSERT_TRUE(Arm(kFreeAddress));
    // An offer does not complete anything.
    ASSERT_TRUE(SendToResponder(BootpRequest().HostName(kNimbus).Build()));
    ASSERT_TRUE(NextReply());

    driver->StepTime(25000); // 50 ticks
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(driver->TopDialog(), IDD_ADDRESS_ASSIGN);

    driver->StepTime(500);
    BoxList boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Setting IP ERROR");
    EXPECT_EQ(boxes[0].caption, "Setting ERROR");
    EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OK));
    EXPECT_FALSE(boxes[0].hasOwner);
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(LastResult(IDD_ADDRESS_ASSIGN), IDCANCEL);
    EXPECT_EQ(MainRows(), (std::vector<std::vector<std::string>>{{"No IP", kNimbus}}));
    EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));
    EXPECT_TRUE(PortIsFree(67));
}

// Without its timer the dialog has no time limit: it waits for the appliance (or the user),
// and once the appliance has its address the responder lets go of its port all the same.
TEST_F(AssignDialogTest, WithoutATimerTheDialogWaitsForTheAppliance) {
    ASSERT_TRUE(OpenAssignDialog());
    driver->FailUiCall("SetTimer");
    ASSERT_TRUE(Arm(kFreeAddress));
    driver->StepTime(60000);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(driver->TopDialog(), IDD_ADDRESS_ASSIGN);

    ASSERT_TRUE(SendToResponder(BootpRequest().MessageType(3).HostName(kNimbus).Build()));
    ASSERT_TRUE(NextReply());
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(LastResult(IDD_ADDRESS_ASSIGN), IDOK);
    EXPECT_TRUE(PortIsFree(67));
}

// With "Assign IP" disabled, Enter has no button to press: it neither runs the checks again nor
// restarts the time limit.
TEST_F(AssignDialogTest, EnterWhileWaitingChangesNothing) {
    ASSERT_TRUE(OpenAssignDialog());
    ASSERT_TRUE(Arm(kFreeAddress));
    driver->StepTime(20000);
    driver->SetFocus(IDC_IP_ADDRESS);
    driver->PressEnter();
    EXPECT_EQ(driver->TopDialog(), IDD_ADDRESS_ASSIGN);
    driver->StepTime(5500);
    BoxList boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Setting IP ERROR");
}

// ---- the socket library ------------------------------------------------------------------------

// The dialog starts the socket library for itself; when neither version starts, it says so in
// a box of its own and opens all the same.
TEST_F(AssignDialogTest, WithoutTheSocketLibraryItWarnsAndOpens) {
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SendRequest(BootpRequest().HostName(kNimbus).Build()));
    ASSERT_TRUE(WaitForHost(kNimbus));
    driver->FailSocketCall("WSAStartup", WSASYSNOTREADY, 1, MAKEWORD(2, 1));
    driver->FailSocketCall("WSAStartup", WSAVERNOTSUPPORTED, 1, MAKEWORD(1, 1));
    ASSERT_TRUE(DoubleClickHost(kNimbus));
    BoxList boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Cannot use WinSock!\nError Code: 10092");
    EXPECT_EQ(boxes[0].caption, "tavisol");
    EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_ICONWARNING));
    EXPECT_TRUE(boxes[0].hasOwner);
    EXPECT_EQ(driver->TopDialog(), IDD_ADDRESS_ASSIGN);
    EXPECT_EQ(driver->Title(), "Nimbus[Setting]");
    EXPECT_EQ(driver->Text(IDC_HARDWARE_ADDRESS), kNimbusHw);
}

// ---- Cancel ------------------------------------------------------------------------------------

enum class State { Editing, RequestSeen, Refused, Waiting, Offered };

struct CancelCase {
    const char* name;
    State state;
    void (*cancel)(headless::Driver&);
};

void PrintTo(const CancelCase& c, std::ostream* os) {
    *os << c.name;
}

void ClickCancel(headless::Driver& d) {
    d.Click(IDCANCEL);
}
void Escape(headless::Driver& d) {
    d.PressEscape();
}
void CloseBox(headless::Driver& d) {
    d.CloseBox();
}

const CancelCase kCancelCases[] = {
    {"EditingByButton", State::Editing, ClickCancel},
    {"RequestSeenByEscape", State::RequestSeen, Escape},
    {"RefusedByCloseBox", State::Refused, CloseBox},
    {"WaitingByButton", State::Waiting, ClickCancel},
    {"OfferedByEscape", State::Offered, Escape},
};

class AssignDialogCancelTest : public AssignDialogTest,
                               public ::testing::WithParamInterface<CancelCase> {
protected:
    void Reach(State state) {
        switch (state) {
        case State::Editing:
            break;
        case State::RequestSeen:
            ASSERT_TRUE(SendToResponder(BootpRequest().HostName(kNimbus).Build()));
            break;
        case State::Refused:
            Assign("10.200.50");
            ASSERT_EQ(Boxes().size(), 1u);
            break;
        case State::Offered:
            ASSERT_TRUE(Arm(kFreeAddress));
            ASSERT_TRUE(SendToResponder(BootpRequest().HostName(kNimbus).Build()));
            ASSERT_TRUE(NextReply());
            break;
        case State::Waiting:
            ASSERT_TRUE(Arm(kFreeAddress));
            break;
        }
    }
};

TEST_P(AssignDialogCancelTest, EndsTheDialogAndLeavesTheRow) {
    ASSERT_TRUE(OpenAssignDialog());
    ASSERT_NO_FATAL_FAILURE(Reach(GetParam().state));
    std::size_t boxesBefore = Boxes().size();
    GetParam().cancel(*driver);

    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(LastResult(IDD_ADDRESS_ASSIGN), IDCANCEL);
    EXPECT_EQ(MainRows(), (std::vector<std::vector<std::string>>{{"No IP", kNimbus}}));
    EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON), IDI_STATUS_IDLE);
    EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));
    EXPECT_TRUE(driver->Snapshot().urlsOpened.empty());
    // The responder's port is given back and the socket library released once more; no
    // timer outlives the dialog.
    EXPECT_TRUE(PortIsFree(67));
    EXPECT_EQ(tvposix::StartupCount(), 1);
    driver->StepTime(30000);
    EXPECT_EQ(Boxes().size(), boxesBefore);
    int assigned = -1;
    driver->OnUi([&] { assigned = g_bAssigned; });
    EXPECT_EQ(assigned, 0);
}

INSTANTIATE_TEST_SUITE_P(States, AssignDialogCancelTest, ::testing::ValuesIn(kCancelCases),
                         [](const ::testing::TestParamInfo<CancelCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace testlab
