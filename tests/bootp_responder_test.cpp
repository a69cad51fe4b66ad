// The assign dialog's BOOTP/DHCP responder: which of the appliance's requests it answers, the
// bytes of its replies, and how the DHCPACK ends the dialog and puts the address into the list.
//
// Whether a request was answered is told by order, not by waiting: replies leave the
// responder's one socket in the order of the requests, so when a request that must be
// answered follows one that may not be, the first reply to arrive says which of the two
// was answered first.
#include "tests/support/assign_session.h"

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <ostream>
#include <sched.h>
#include <unistd.h>

namespace testlab {
namespace {

const Bytes kOtherChaddr{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
constexpr std::array<std::uint8_t, 4> kProbeXid{0x00, 0x00, 0x00, 0xAA};
constexpr std::array<std::uint8_t, 4> kFollowUpXid{0x00, 0x00, 0x00, 0xBB};
constexpr std::uint8_t kDhcpRequest = 3;

BootpRequest Discover(const std::string& hostName = kNimbus) {
    return BootpRequest().HostName(hostName);
}

BootpRequest Request(const std::string& hostName = kNimbus) {
    return BootpRequest().MessageType(kDhcpRequest).HostName(hostName);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Quad(const std::string& dotted) {
    std::array<std::uint8_t, 4> q = Ipv4(dotted);
    return Bytes(q.begin(), q.end());
}

// Options 240..299 of a reply: mask and router, then for a DHCP request the type, the server
// identifier (the workstation) and the three times; End; zeros.
Bytes ReplyOptions(const std::string& mask, const std::string& router,
                   std::optional<std::uint8_t> type) {
    Bytes out = Concat({{1, 4}, Quad(mask), {3, 4}, Quad(router)});
    if (type)
        out = Concat({out,
                      {53, 1, *type},
                      {54, 4},
                      Quad(kWorkstation),
                      {51, 4, 0x00, 0x27, 0x8D, 0x00},
                      {58, 4, 0x00, 0x13, 0xC6, 0x80},
                      {59, 4, 0x00, 0x22, 0x9B, 0x60}});
    out.push_back(255);
    out.resize(60, 0);
    return out;
}

// The fixed part of a reply against the request it answers.
void ExpectFixedPart(const Bytes& reply, const Bytes& request, const std::string& yiaddr) {
    ASSERT_EQ(reply.size(), reply::kSize);
    EXPECT_EQ(reply[reply::kOp], 2);
    // htype, hlen, hops, xid copied; secs 0; flags, ciaddr copied.
    EXPECT_EQ(reply::Slice(reply, reply::kHtype, 7), reply::Slice(request, reply::kHtype, 7));
    EXPECT_EQ(reply::Slice(reply, reply::kSecs, 2), (Bytes{0, 0}));
    EXPECT_EQ(reply::Slice(reply, reply::kFlags, 6), reply::Slice(request, reply::kFlags, 6));
    EXPECT_EQ(reply::Quad(reply, reply::kYiaddr), Ipv4(yiaddr));
    // The workstation's LAN address, never a loopback one.
    EXPECT_EQ(reply::Quad(reply, reply::kSiaddr), Ipv4(kWorkstation));
    // giaddr, chaddr, sname, file and the cookie copied.
    EXPECT_EQ(reply::Slice(reply, reply::kGiaddr, reply::kOptions - reply::kGiaddr),
              reply::Slice(request, reply::kGiaddr, reply::kOptions - reply::kGiaddr));
}

class ResponderTest : public AssignSession {
protected:
    int AssignedNow() {
        int assigned = 0;
        driver->OnUi([&] { assigned = g_bAssigned; });
        return assigned;
    }
    DWORD AssignedInterfaceNow() {
        DWORD dwIndex = 0;
        driver->OnUi([&] { dwIndex = g_dwAssignedInterface; });
        return dwIndex;
    }
};

// ---- the whole exchange ------------------------------------------------------------------------

TEST_F(ResponderTest, OfferThenAckGiveTheTypedAddressAndEndTheDialog) {
    ASSERT_TRUE(OpenAssignDialog());
    EXPECT_EQ(driver->Title(), "Nimbus[Setting]");
    EXPECT_EQ(driver->Text(IDC_HARDWARE_ADDRESS), kNimbusHw);
    EXPECT_FALSE(driver->IsEnabled(IDC_SEARCH, IDD_VELLUMCRESTUI_DIALOG));

    // Seen before "Assign IP": remembered, not answered.
    ASSERT_TRUE(SendToResponder(Discover().Xid({0, 0, 0, 1}).Build()));

    // Off the workstation's subnet: the warning, answered with OK.
    ASSERT_TRUE(Arm("192.168.0.10", "255.255.255.0", "192.168.0.1"));
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].caption, "Subnet Warning!");
    EXPECT_EQ(driver->Title(), "Nimbus - [assigning...]");

    Bytes discover = Discover()
                         .Xid({0xA1, 0xA2, 0xA3, 0xA4})
                         .Hops(1)
                         .Secs(0x0102)
                         .Ciaddr({10, 200, 0, 77})
                         .Giaddr({10, 200, 0, 254})
                         .Build();
    ASSERT_TRUE(SendToResponder(discover));
    int fromPort = 0;
    std::optional<Bytes> offer = NextReply(&fromPort);
    ASSERT_TRUE(offer);
    EXPECT_EQ(fromPort, 67);
    EXPECT_EQ(reply::Slice(*offer, reply::kXid, 4), (Bytes{0xA1, 0xA2, 0xA3, 0xA4}));
    ExpectFixedPart(*offer, discover, "192.168.0.10");
    EXPECT_EQ(reply::Slice(*offer, reply::kOptions, 60),
              ReplyOptions("255.255.255.0", "192.168.0.1", 2));
    EXPECT_EQ(driver->TopDialog(), IDD_ADDRESS_ASSIGN);
    EXPECT_EQ(AssignedNow(), 0);

    Bytes request = Request().Xid({0xB1, 0xB2, 0xB3, 0xB4}).Build();
    ASSERT_TRUE(SendToResponder(request));
    std::optional<Bytes> ack = NextReply();
    ASSERT_TRUE(ack);
    ExpectFixedPart(*ack, request, "192.168.0.10");
    EXPECT_EQ(reply::Slice(*ack, reply::kOptions, 60),
              ReplyOptions("255.255.255.0", "192.168.0.1", 5));

    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(LastResult(IDD_ADDRESS_ASSIGN), IDOK);
    EXPECT_EQ(AssignedNow(), 1);
    // The address as a browser can open it, not the dialog's 192.168..10.
    EXPECT_EQ(MainRows(), (std::vector<std::vector<std::string>>{{"192.168.0.10", kNimbus}}));
    EXPECT_TRUE(driver->Snapshot().urlsOpened.empty());
    EXPECT_TRUE(driver->IsEnabled(IDC_SEARCH));
    // The responder let go of its port and of the socket library.
    EXPECT_TRUE(PortIsFree(67));
    EXPECT_EQ(tvposix::StartupCount(), 1);
}

// An appliance that takes a competing server's offer names that server in its DHCPREQUEST; it
// gets no acknowledgement from here, and the dialog waits on for a request that chose us.
TEST_F(ResponderTest, RequestForAnotherServersOfferIsNotAcknowledged) {
    ASSERT_TRUE(OpenAssignDialog());
    ASSERT_TRUE(Arm(kFreeAddress));
    auto serverId = [](const std::string& dotted) {
        Bytes quad = Quad(dotted);
        return std::string(quad.begin(), quad.end());
    };
    ASSERT_TRUE(
        SendToResponder(Request().Option(54, serverId("10.200.0.99")).Xid(kProbeXid).Build()));
    ASSERT_TRUE(SendToResponder(Discover().Xid(kFollowUpXid).Build()));
    std::optional<Bytes> offer = NextReply();
    ASSERT_TRUE(offer);
    EXPECT_EQ(reply::Slice(*offer, reply::kXid, 4),
              Bytes(kFollowUpXid.begin(), kFollowUpXid.end()));
    EXPECT_EQ(driver->TopDialog(), IDD_ADDRESS_ASSIGN);
    EXPECT_EQ(AssignedNow(), 0);

    ASSERT_TRUE(SendToResponder(Request().Option(54, serverId(kWorkstation)).Build()));
    std::optional<Bytes> ack = NextReply();
    ASSERT_TRUE(ack);
    EXPECT_EQ(reply::MessageType(*ack), std::optional<std::uint8_t>(5));
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(AssignedNow(), 1);
}

// ---- a workstation with several interfaces ----------------------------------------------------

// A second card, tvm1 (192.168.77.1/27, an appliance behind it at 192.168.77.9), besides the
// appliance LAN's tvd0. A broadcast from an address leaves by the interface that holds it, and
// the host hears its own broadcast as come in by that interface: the responder sees each
// request arrive by its appliance's interface, and the catcher on port 68 sees which
// interface each reply left by.
struct InterfaceCase {
    const char* name;
    const char* device;    // the appliance's side
    const char* appliance; // the address it broadcasts from
    const char* server;    // the workstation's address on that side
    const char* assigned;
};

void PrintTo(const InterfaceCase& c, std::ostream* os) {
    *os << c.name;
}

const InterfaceCase kInterfaceCases[] = {
    {"SecondCard", "tvm1", "192.168.77.9", "192.168.77.1", "192.168.77.20"},
    {"ApplianceLan", "tvd0", "10.200.0.19", kWorkstation, kFreeAddress},
};

class ResponderInterfaceTest : public ResponderTest,
                               public ::testing::WithParamInterface<InterfaceCase> {
protected:
    void BeforeStart() override {
        ResponderTest::BeforeStart();
        ASSERT_TRUE(AddInterface("tvm1", {"192.168.77.1/27", "192.168.77.9/27"}));
        SilenceAddresses("tvm1", {"192.168.77.20"});
    }
    void TearDown() override {
        ResponderTest::TearDown();
        RemoveInterface("tvm1");
    }

    // The next reply, which must leave by the case's interface from its address, port 67,
    // naming that address as siaddr and server identifier.
    std::optional<Bytes> ReplyOnTheAppliancesSide() {
        const InterfaceCase& c = GetParam();
        int fromPort = 0;
        std::string from;
        unsigned leftBy = 0;
        std::optional<Bytes> reply = NextReply(&fromPort, 3000, &from, &leftBy);
        if (!reply)
            return reply;
        EXPECT_EQ(leftBy, if_nametoindex(c.device));
        EXPECT_EQ(from, c.server);
        EXPECT_EQ(fromPort, 67);
        EXPECT_EQ(reply::Quad(*reply, reply::kSiaddr), Ipv4(c.server));
        EXPECT_EQ(reply::OptionValue(*reply, 54), std::optional<Bytes>(Quad(c.server)));
        return reply;
    }
};

TEST_P(ResponderInterfaceTest, RepliesLeaveOnlyByTheInterfaceTheRequestCameInBy) {
    const InterfaceCase& c = GetParam();
    ASSERT_TRUE(OpenAssignDialog());
    // Right for the one side or the other: no warning.
    ASSERT_TRUE(Arm(c.assigned, "255.255.255.0"));
    EXPECT_TRUE(Boxes().empty());

    ASSERT_TRUE(BroadcastToResponder(c.appliance, Discover().Build()));
    std::optional<Bytes> offer = ReplyOnTheAppliancesSide();
    ASSERT_TRUE(offer);
    EXPECT_EQ(reply::MessageType(*offer), std::optional<std::uint8_t>(2));
    // One reply, by that interface alone: every datagram that leaves by any interface comes
    // back to the catcher.
    EXPECT_FALSE(NextReply(nullptr, 300));

    // The appliance takes the offer of the server it names, the side's own address.
    const Bytes server = Quad(c.server);
    ASSERT_TRUE(BroadcastToResponder(
        c.appliance, Request().Option(54, std::string(server.begin(), server.end())).Build()));
    std::optional<Bytes> ack = ReplyOnTheAppliancesSide();
    ASSERT_TRUE(ack);
    EXPECT_EQ(reply::MessageType(*ack), std::optional<std::uint8_t>(5));
    EXPECT_FALSE(NextReply(nullptr, 300));
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(AssignedNow(), 1);
    // The appliance's side, where it is looked for once it has brought the address up.
    EXPECT_EQ(AssignedInterfaceNow(), if_nametoindex(c.device));
}

INSTANTIATE_TEST_SUITE_P(Sides, ResponderInterfaceTest, ::testing::ValuesIn(kInterfaceCases),
                         [](const ::testing::TestParamInfo<InterfaceCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- the reply for each kind of request --------------------------------------------------------

struct ReplyCase {
    const char* name;
    Bytes request;
    const char* mask;
    const char* gateway;
    Bytes options; // reply bytes 240..299
    bool completes;
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

const ReplyCase kReplyCases[] = {
    {"Discover", Discover().Build(), "255.255.255.0", "10.200.0.254",
     ReplyOptions("255.255.255.0", "10.200.0.254", 2), false},
    {"Request", Request().Build(), "255.255.255.0", "10.200.0.254",
     ReplyOptions("255.255.255.0", "10.200.0.254", 5), true},
    {"NoMessageType", BootpRequest().WithoutMessageType().HostName(kNimbus).Build(),
     "255.255.255.0", "10.200.0.254", ReplyOptions("255.255.255.0", "10.200.0.254", std::nullopt),
     false},
    // The request reader stops at the host name: a type behind it is never seen, so this
    // DHCPREQUEST is answered as a plain BOOTP request and completes nothing.
    {"TypeAfterHostName",
     BootpRequest().WithoutMessageType().HostName(kNimbus).Option(53, "\x03").Build(),
     "255.255.255.0", "10.200.0.254", ReplyOptions("255.255.255.0", "10.200.0.254", std::nullopt),
     false},
    {"EmptyMaskAndGateway", Request().Build(), "", "", ReplyOptions("0.0.0.0", "0.0.0.0", 5), true},
    // A request of 300 bytes, as many clients send it, is as good as a full one.
    {"ShortRequest", Request().Size(300).Build(), "255.255.0.0", "",
     ReplyOptions("255.255.0.0", "0.0.0.0", 5), true},
};

class ResponderReplyTest : public ResponderTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ResponderReplyTest, RepliesWithTheLayoutOfItsKind) {
    const ReplyCase& c = GetParam();
    ASSERT_TRUE(OpenAssignDialog());
    ASSERT_TRUE(Arm(kFreeAddress, c.mask, c.gateway));
    ASSERT_TRUE(SendToResponder(c.request));
    std::optional<Bytes> reply = NextReply();
    ASSERT_TRUE(reply);
    ExpectFixedPart(*reply, c.request, kFreeAddress);
    EXPECT_EQ(reply::Slice(*reply, reply::kOptions, 60), c.options);

    if (c.completes) {
        ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
        EXPECT_EQ(LastResult(IDD_ADDRESS_ASSIGN), IDOK);
        EXPECT_EQ(MainRows(), (std::vector<std::vector<std::string>>{{kFreeAddress, kNimbus}}));
    } else {
        EXPECT_EQ(driver->TopDialog(), IDD_ADDRESS_ASSIGN);
        EXPECT_EQ(AssignedNow(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ResponderReplyTest, ::testing::ValuesIn(kReplyCases),
                         [](const ::testing::TestParamInfo<ReplyCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- which requests are answered ---------------------------------------------------------------

struct AcceptCase {
    const char* name;
    std::optional<Bytes> first; // handled before "Assign IP", if any
    Bytes probe;                // sent once armed, with kProbeXid
    bool answered;
    Bytes followUp;            // answered in any case, with kFollowUpXid
    std::string row = kNimbus; // the host name of the "No IP" row double-clicked
};

void PrintTo(const AcceptCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kLongName(40, 'L');
const std::string kLongNameOtherTail = std::string(32, 'L') + "XXXXXXXX";

const AcceptCase kAcceptCases[] = {
    {"SameApplianceAndName", Discover().Build(), Discover().Xid(kProbeXid).Build(), true,
     Discover().Xid(kFollowUpXid).Build()},
    // Hardware address first, whatever the request says.
    {"OtherHardwareAddress", std::nullopt, Discover().Chaddr(kOtherChaddr).Xid(kProbeXid).Build(),
     false, Discover().Xid(kFollowUpXid).Build()},
    // Another machine's request leaves no name behind, even under a name the row's check
    // lets pass: the appliance's own first request is still the first.
    {"OtherHardwareBeforeArmingLeavesNoTrace", Discover("NIMBUS").Chaddr(kOtherChaddr).Build(),
     Discover().Xid(kProbeXid).Build(), true, Discover().Xid(kFollowUpXid).Build()},
    {"OtherName", Discover().Build(), Discover("Cirrus").Xid(kProbeXid).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    {"NoHostName", Discover().Build(), BootpRequest().Xid(kProbeXid).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    {"NameInOtherLetterCase", Discover().Build(), Discover("NIMBUS").Xid(kProbeXid).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    // Compared over the option's own length: a shorter name that begins the remembered one
    // matches, a longer one does not.
    {"BeginningOfTheName", Discover().Build(), Discover("Nim").Xid(kProbeXid).Build(), true,
     Discover().Xid(kFollowUpXid).Build()},
    {"LongerName", Discover().Build(), Discover("Nimbus-2").Xid(kProbeXid).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    {"MatchingNameAfterAnotherOne", Discover().Build(),
     BootpRequest().HostName("Cirrus").HostName(kNimbus).Xid(kProbeXid).Build(), true,
     Discover().Xid(kFollowUpXid).Build()},
    // A row whose name is empty (the appliance sent an empty option 12) is the appliance
    // only under an empty name: a request without a name was never listed, and any other
    // name is another machine's.
    {"EmptyRowNameAndAnEmptyName", BootpRequest().Build(), Discover("").Xid(kProbeXid).Build(),
     true, Discover("").Xid(kFollowUpXid).Build(), ""},
    {"EmptyRowNameAndNoName", std::nullopt, BootpRequest().Xid(kProbeXid).Build(), false,
     Discover("").Xid(kFollowUpXid).Build(), ""},
    {"EmptyRowNameAndAnotherName", std::nullopt, Discover().Xid(kProbeXid).Build(), false,
     Discover("").Xid(kFollowUpXid).Build(), ""},
    // The name field holds 32 bytes; a longer name is remembered and compared over those.
    {"NameLongerThanTheField", Discover(kLongName).Build(),
     Discover(kLongNameOtherTail).Xid(kProbeXid).Build(), true,
     Discover(kLongName).Xid(kFollowUpXid).Build(), kLongName.substr(0, 19)},
    // Another machine with the appliance's hardware address: until a request has been
    // remembered, only one under the name of the chosen row counts, so the other's leaves no
    // name behind and is never answered. A row name is compared as the list showed it.
    {"ImpostorFirst", Discover("Impostor").Build(), Discover().Xid(kProbeXid).Build(), true,
     Discover().Xid(kFollowUpXid).Build()},
    {"ImpostorOnceArmed", std::nullopt, Discover("Impostor").Xid(kProbeXid).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    {"NamelessFirst", BootpRequest().Build(), Discover("").Xid(kProbeXid).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    {"RowNameInOtherLetterCase", Discover("NIMBUS").Build(),
     Discover("NIMBUS").Xid(kProbeXid).Build(), true, Discover("NIMBUS").Xid(kFollowUpXid).Build()},
    // The list shows the name as the appliance sends it, trailing blank and all, and compares
    // names without it.
    {"RowNameWithATrailingBlank", Discover("Nimbus ").Build(),
     Discover("Nimbus ").Xid(kProbeXid).Build(), true,
     Discover("Nimbus ").Xid(kFollowUpXid).Build(), "Nimbus "},
    // The name remembered is the first option 12, so that is the one that must be the row's:
    // a request naming something else first and the row second is not the appliance's.
    {"RowNameOnlyInTheSecondOption", BootpRequest().HostName("X").HostName(kNimbus).Build(),
     Discover().Xid(kProbeXid).Build(), true, Discover().Xid(kFollowUpXid).Build()},
    {"ReplyOpCode", std::nullopt, Discover().Op(2).Xid(kProbeXid).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    {"WrongCookie", std::nullopt,
     Discover().Cookie({0x63, 0x82, 0x53, 0x64}).Xid(kProbeXid).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    {"ShorterThanTheFixedPart", std::nullopt, Discover().Xid(kProbeXid).Size(239).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    {"LongerThan548Bytes", std::nullopt, Discover().Xid(kProbeXid).Size(549).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    // Only DHCPDISCOVER and DHCPREQUEST have an answer; a release, decline or inform gets none.
    {"Release", Discover().Build(), Discover().MessageType(7).Xid(kProbeXid).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    {"Decline", Discover().Build(), Discover().MessageType(4).Xid(kProbeXid).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
    {"Inform", std::nullopt, Discover().MessageType(8).Xid(kProbeXid).Build(), false,
     Discover().Xid(kFollowUpXid).Build()},
};

class ResponderAcceptTest : public ResponderTest,
                            public ::testing::WithParamInterface<AcceptCase> {};

TEST_P(ResponderAcceptTest, AnswersOnlyTheChosenApplianceUnderItsFirstName) {
    const AcceptCase& c = GetParam();
    ASSERT_TRUE(OpenAssignDialog(c.row));
    if (c.first) {
        ASSERT_TRUE(SendToResponder(*c.first));
    }
    ASSERT_TRUE(Arm(kFreeAddress));
    ASSERT_TRUE(SendToResponder(c.probe));
    ASSERT_TRUE(SendToResponder(c.followUp));

    // Nothing answered the request of before "Assign IP", and the probe's reply, if any,
    // comes before the follow-up's.
    std::optional<Bytes> reply = NextReply();
    ASSERT_TRUE(reply);
    Bytes expectedXid = c.answered ? Bytes(kProbeXid.begin(), kProbeXid.end())
                                   : Bytes(kFollowUpXid.begin(), kFollowUpXid.end());
    EXPECT_EQ(reply::Slice(*reply, reply::kXid, 4), expectedXid);
    EXPECT_EQ(reply::MessageType(*reply), std::optional<std::uint8_t>(2));
    EXPECT_EQ(driver->TopDialog(), IDD_ADDRESS_ASSIGN);
}

INSTANTIATE_TEST_SUITE_P(Requests, ResponderAcceptTest, ::testing::ValuesIn(kAcceptCases),
                         [](const ::testing::TestParamInfo<AcceptCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- inputs that the list cannot carry ---------------------------------------------------------

class ResponderAloneTest : public LoneAssignDialog {};

TEST_F(ResponderAloneTest, HardwareAddressTextIsComparedInAnyLetterCase) {
    ASSERT_TRUE(RunAlone(kNimbus, "00-0a-1b-ff-20-3c"));
    EXPECT_EQ(driver->Text(IDC_HARDWARE_ADDRESS), "00-0a-1b-ff-20-3c");
    ASSERT_TRUE(Arm(kFreeAddress));
    ASSERT_TRUE(SendToResponder(Request().Build()));
    std::optional<Bytes> ack = NextReply();
    ASSERT_TRUE(ack);
    EXPECT_EQ(reply::MessageType(*ack), std::optional<std::uint8_t>(5));
    EXPECT_EQ(driver->Join(), IDOK);
}

// ---- the workstation's side --------------------------------------------------------------------

// A host name longer than any fixed buffer the program once had; the process gets a UTS
// namespace of its own, so only its own view of the name changes.
class ResponderLongHostNameTest : public ResponderTest {
protected:
    void BeforeStart() override {
        ASSERT_EQ(::unshare(CLONE_NEWUTS), 0) << std::strerror(errno);
        char saved[256] = "";
        ::gethostname(saved, sizeof saved - 1);
        m_savedName = saved;
        const std::string name(60, 'w');
        ASSERT_EQ(::sethostname(name.data(), name.size()), 0) << std::strerror(errno);
        ResponderTest::BeforeStart();
    }
    void TearDown() override {
        ResponderTest::TearDown();
        if (!m_savedName.empty())
            ::sethostname(m_savedName.data(), m_savedName.size());
    }

private:
    std::string m_savedName;
};

TEST_F(ResponderLongHostNameTest, AssignmentStillCompletes) {
    ASSERT_TRUE(OpenAssignDialog());
    // The own address is found: an address off the own subnet raises the warning, which
    // nothing raises when the workstation's address cannot be looked up. (The gateway that
    // would carry the echo request is silenced: nothing answers it.)
    const char* offSubnet = "10.201.0.50";
    ASSERT_TRUE(Arm(offSubnet, "255.255.255.0"));
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].caption, "Subnet Warning!");
    // The responder found it too: it names the workstation as the server.
    Bytes request = Request().Build();
    ASSERT_TRUE(SendToResponder(request));
    std::optional<Bytes> ack = NextReply();
    ASSERT_TRUE(ack);
    ExpectFixedPart(*ack, request, offSubnet);
    EXPECT_EQ(reply::Slice(*ack, 255, 6), Concat({{54, 4}, Quad(kWorkstation)}));
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(MainRows(), (std::vector<std::vector<std::string>>{{offSubnet, kNimbus}}));
}

// ---- the responder's own socket failing ---------------------------------------------------------

struct SetUpFailure {
    const char* name;
    const char* call;
    int error;
    int filter;
};

void PrintTo(const SetUpFailure& c, std::ostream* os) {
    *os << c.name;
}

// Each step of the set-up, failing: nothing is shown, the set-up stops there, the dialog never
// hears the appliance and ends by its time limit; the socket made goes with it.
const SetUpFailure kSetUpFailures[] = {
    {"NoSocket", "socket", WSAEMFILE, SOCK_DGRAM},
    {"ReceiveTimeout", "setsockopt", WSAENOPROTOOPT, SO_RCVTIMEO},
    {"SendTimeout", "setsockopt", WSAENOPROTOOPT, SO_SNDTIMEO},
    {"Broadcast", "setsockopt", WSAENOPROTOOPT, SO_BROADCAST},
    {"PortTaken", "bind", WSAEADDRINUSE, 67},
    {"NoReadiness", "WSAAsyncSelect", WSAENOBUFS, -1},
};

class ResponderSetUpFailureTest : public ResponderTest,
                                  public ::testing::WithParamInterface<SetUpFailure> {};

TEST_P(ResponderSetUpFailureTest, SilentAndTheTimeLimitEndsTheDialog) {
    const SetUpFailure& c = GetParam();
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SendRequest(Discover().Build()));
    ASSERT_TRUE(WaitForHost(kNimbus));
    int socketsBefore = 0;
    driver->OnUi([&] { socketsBefore = tvposix::OpenSocketCount(); });
    driver->FailSocketCall(c.call, c.error, 1, c.filter);
    ASSERT_TRUE(DoubleClickHost(kNimbus));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(driver->Title(), "Nimbus[Setting]");

    ASSERT_TRUE(Arm(kFreeAddress));
    // The appliance asks, while the dialog waits; an answer would end the dialog at once.
    ASSERT_TRUE(Appliance(9).SendTo(kWorkstation, 67, Request().Build()));
    driver->OnUi([] {}); // the loop looks at its sockets before it goes idle
    driver->WaitIdle();
    driver->StepTime(25500);
    std::vector<headless::BoxRecord> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Setting IP ERROR");
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(LastResult(IDD_ADDRESS_ASSIGN), IDCANCEL);
    EXPECT_EQ(AssignedNow(), 0);
    EXPECT_FALSE(NextReply(nullptr, 0));
    // The double-click closed the search's port-67 listener; nothing of the dialog's stays.
    int socketsAfter = 0;
    driver->OnUi([&] { socketsAfter = tvposix::OpenSocketCount(); });
    EXPECT_EQ(socketsAfter, socketsBefore - 1);
    EXPECT_TRUE(PortIsFree(67));
}

INSTANTIATE_TEST_SUITE_P(Steps, ResponderSetUpFailureTest, ::testing::ValuesIn(kSetUpFailures),
                         [](const ::testing::TestParamInfo<SetUpFailure>& info) {
                             return std::string(info.param.name);
                         });

// A reply that cannot be sent changes nothing and shows nothing: the appliance asks again and
// that request is answered.
TEST_F(ResponderTest, AFailedSendIsSilentAndTheNextRequestIsAnswered) {
    ASSERT_TRUE(OpenAssignDialog());
    ASSERT_TRUE(Arm(kFreeAddress));
    driver->FailSocketCall("sendto", WSAENETDOWN, 1, 68);
    ASSERT_TRUE(SendToResponder(Request().Xid(kProbeXid).Build()));
    EXPECT_EQ(driver->TopDialog(), IDD_ADDRESS_ASSIGN);
    EXPECT_EQ(AssignedNow(), 0);
    ASSERT_TRUE(SendToResponder(Request().Xid(kFollowUpXid).Build()));
    std::optional<Bytes> ack = NextReply();
    ASSERT_TRUE(ack);
    EXPECT_EQ(reply::Slice(*ack, reply::kXid, 4), Bytes(kFollowUpXid.begin(), kFollowUpXid.end()));
    EXPECT_EQ(reply::MessageType(*ack), std::optional<std::uint8_t>(5));
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(LastResult(IDD_ADDRESS_ASSIGN), IDOK);
    EXPECT_TRUE(Boxes().empty());
}

// ---- a socket event with an error --------------------------------------------------------------

TEST_F(ResponderTest, SocketErrorIsShownAndTheDialogGoesOn) {
    ASSERT_TRUE(OpenAssignDialog());
    driver->OnUi([] {
        PostMessageA(AssignDialogNow(), WM_BOOTP_ASYNCH, 0,
                     WSAMAKESELECTREPLY(FD_READ, WSAENETDOWN));
    });
    driver->WaitIdle();
    std::vector<headless::BoxRecord> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "WSAAsynch Event # 1, Error: 10050");
    EXPECT_EQ(boxes[0].caption, "CVellumcrestUIDlg::OnPINGAsynch");
    EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OK | MB_SYSTEMMODAL));
    EXPECT_TRUE(boxes[0].hasOwner);

    // Still listening and still answering.
    ASSERT_TRUE(Arm(kFreeAddress));
    ASSERT_TRUE(SendToResponder(Request().Build()));
    ASSERT_TRUE(NextReply());
    ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    EXPECT_EQ(LastResult(IDD_ADDRESS_ASSIGN), IDOK);
}

} // namespace
} // namespace testlab
