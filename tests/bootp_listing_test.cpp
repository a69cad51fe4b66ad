// The "No IP" listing: which BOOTP/DHCP requests on port 67 make a row, under which host
// name, with which hardware-address text beside it, and how they meet the rows of
// appliances that answered the probe.
//
// Requests are written by tests/support/appliance_packets, never by proto/. A request that
// should change nothing is followed on the same path by one with a name of its own; once
// that row is there, the first has been handled.
#include "tests/support/discovery_session.h"

#include <optional>
#include <ostream>

namespace testlab {
namespace {

constexpr const char* kSentinel = "zz-sentinel";

const Bytes kOtherChaddr{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x11, 0x12,
                         0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A};

Bytes SentinelRequest() {
    return BootpRequest().HostName(kSentinel).Chaddr({1, 2, 3, 4, 5, 6}).Build();
}

class BootpListingTest : public DiscoverySession {
protected:
    void Settle() {
        ASSERT_TRUE(SendRequest(SentinelRequest()));
        ASSERT_TRUE(WaitForHost(kSentinel));
    }
};

// ---- which requests are listed -------------------------------------------------------------

struct ListingCase {
    const char* name;
    Bytes request;
    std::optional<std::string> listedAs; // unset: not listed
    std::string hwText;                  // when listed
};

void PrintTo(const ListingCase& c, std::ostream* os) {
    *os << c.name;
}

const ListingCase kListingCases[] = {
    {"MarkerInFile", BootpRequest().HostName("Nimbus-01").Build(), "Nimbus-01",
     "00-0A-1B-FF-20-3C"},
    {"OneByteShort", BootpRequest().HostName("Nimbus-01").Size(547).Build(), std::nullopt, ""},
    {"OneByteLong", BootpRequest().HostName("Nimbus-01").Size(549).Build(), std::nullopt, ""},
    {"MarkerOnlyInAnOptionValue",
     BootpRequest()
         .WithoutMarkerInFile()
         .Option(43, kApplianceMarker)
         .HostName("Nimbus-02")
         .Build(),
     "Nimbus-02", "00-0A-1B-FF-20-3C"},
    {"NoMarker", BootpRequest().WithoutMarkerInFile().HostName("Stranger").Build(), std::nullopt,
     ""},
    {"ReplyOpCode", BootpRequest().Op(2).HostName("Nimbus-03").Build(), "Nimbus-03",
     "00-0A-1B-FF-20-3C"},
    {"WrongCookie", BootpRequest().Cookie({0x63, 0x82, 0x53, 0x64}).HostName("Nimbus-04").Build(),
     "Nimbus-04", "00-0A-1B-FF-20-3C"},
    {"SecondHostNameCounts", BootpRequest().HostName("First").HostName("Second").Build(), "Second",
     "00-0A-1B-FF-20-3C"},
    {"NineteenCharacterName", BootpRequest().HostName("ABCDEFGHIJKLMNOPQRS").Build(),
     "ABCDEFGHIJKLMNOPQRS", "00-0A-1B-FF-20-3C"},
    // Our choice for a name longer than the 19-character field: cut it there and list it.
    {"LongNameCutToNineteen", BootpRequest().HostName("ABCDEFGHIJKLMNOPQRSTUVWXYZ").Build(),
     "ABCDEFGHIJKLMNOPQRS", "00-0A-1B-FF-20-3C"},
    // We pass over a request without a host name: the assign dialog finds an appliance by
    // that name, so such a row could never be given an address.
    {"NoHostName", BootpRequest().Build(), std::nullopt, ""},
    {"HardwareLengthSixteen",
     BootpRequest().HardwareLength(16).Chaddr(kOtherChaddr).HostName("Hw-16").Build(), "Hw-16",
     "A1-B2-C3-D4-E5-F6"},
    {"HardwareLengthZero",
     BootpRequest().HardwareLength(0).Chaddr(kOtherChaddr).HostName("Hw-0").Build(), "Hw-0",
     "A1-B2-C3-D4-E5-F6"},
};

class ListingTest : public BootpListingTest, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(ListingTest, ListsMarkedFullSizeRequests) {
    const ListingCase& c = GetParam();
    ASSERT_TRUE(Search());
    headless::Record before = driver->Snapshot();
    ASSERT_TRUE(SendRequest(c.request));
    Settle();

    std::vector<std::vector<std::string>> rows = Rows();
    std::vector<std::string> names{kSentinel};
    std::vector<std::string> hwTexts{"01-02-03-04-05-06"};
    std::vector<std::vector<std::string>> expectedRows{{"No IP", kSentinel}};
    if (c.listedAs) {
        expectedRows.push_back({"No IP", *c.listedAs});
        names.insert(names.begin(), *c.listedAs);
        hwTexts.insert(hwTexts.begin(), c.hwText);
    }
    EXPECT_EQ(rows, expectedRows);
    EXPECT_EQ(HostNames(), names);
    EXPECT_EQ(HwAddrs(), hwTexts);

    // Listed or not, each datagram puts the resting icon up and redraws the window.
    headless::Record after = driver->Snapshot();
    EXPECT_EQ(after.updateCalls, before.updateCalls + 2);
    ASSERT_EQ(after.iconChanges.size(), before.iconChanges.size() + 2);
    EXPECT_EQ(after.iconChanges.back().iconId, IDI_STATUS_IDLE);
    EXPECT_EQ(after.iconChanges[before.iconChanges.size()].iconId, IDI_STATUS_IDLE);
}

INSTANTIATE_TEST_SUITE_P(Requests, ListingTest, ::testing::ValuesIn(kListingCases),
                         [](const ::testing::TestParamInfo<ListingCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(BootpListingTest, BroadcastRequestIsListed) {
    // The way an appliance without an address really sends it.
    ASSERT_TRUE(Search());
    ASSERT_TRUE(
        Appliance(3).SendTo("255.255.255.255", 67, BootpRequest().HostName("Nimbus").Build()));
    ASSERT_TRUE(WaitForHost("Nimbus"));
    EXPECT_EQ(Rows(), (std::vector<std::vector<std::string>>{{"No IP", "Nimbus"}}));
}

// ---- one row per appliance -----------------------------------------------------------------

TEST_F(BootpListingTest, EachApplianceOnceInListingOrder) {
    ASSERT_TRUE(Search());
    ASSERT_TRUE(
        SendRequest(BootpRequest().HostName("Nimbus-A").Chaddr({0, 0, 0, 0, 0, 0xA}).Build()));
    ASSERT_TRUE(WaitForHost("Nimbus-A"));
    EXPECT_TRUE(driver->IsEnabled(IDC_WEB_BROWSER));

    // Appliances repeat their requests until answered; a repeat, in any letter case, only
    // puts the resting icon up.
    headless::Record before = driver->Snapshot();
    ASSERT_TRUE(
        SendRequest(BootpRequest().HostName("Nimbus-A").Chaddr({0, 0, 0, 0, 0, 0xA}).Build()));
    ASSERT_TRUE(
        SendRequest(BootpRequest().HostName("NIMBUS-a").Chaddr({0, 0, 0, 0, 0, 0xA}).Build()));
    ASSERT_TRUE(
        SendRequest(BootpRequest().HostName("Nimbus-B").Chaddr({0, 0, 0, 0, 0, 0xB}).Build()));
    ASSERT_TRUE(WaitForHost("Nimbus-B"));
    headless::Record after = driver->Snapshot();
    EXPECT_EQ(after.updateCalls, before.updateCalls + 1); // Nimbus-B's alone
    std::vector<int> icons;
    for (std::size_t i = before.iconChanges.size(); i < after.iconChanges.size(); ++i)
        icons.push_back(after.iconChanges[i].iconId);
    EXPECT_EQ(icons, (std::vector<int>{IDI_STATUS_IDLE, IDI_STATUS_IDLE, IDI_STATUS_IDLE}));

    ASSERT_TRUE(
        SendRequest(BootpRequest().HostName("Nimbus-C").Chaddr({0, 0, 0, 0, 0, 0xC}).Build()));
    ASSERT_TRUE(WaitForHost("Nimbus-C"));

    // Rows newest first; the arrays in the order of listing, side by side.
    EXPECT_EQ(Rows(), (std::vector<std::vector<std::string>>{
                          {"No IP", "Nimbus-C"}, {"No IP", "Nimbus-B"}, {"No IP", "Nimbus-A"}}));
    EXPECT_EQ(HostNames(), (std::vector<std::string>{"Nimbus-A", "Nimbus-B", "Nimbus-C"}));
    EXPECT_EQ(HwAddrs(), (std::vector<std::string>{"00-00-00-00-00-0A", "00-00-00-00-00-0B",
                                                   "00-00-00-00-00-0C"}));

    // A new search forgets them all.
    EndSearchWindow();
    ASSERT_TRUE(Search());
    EXPECT_TRUE(Rows().empty());
    EXPECT_TRUE(HostNames().empty());
    EXPECT_TRUE(HwAddrs().empty());
    EXPECT_FALSE(driver->IsEnabled(IDC_WEB_BROWSER));
}

TEST_F(BootpListingTest, UnmarkedRequestRightAfterAMarkedOneIsNotListed) {
    // Each datagram is judged on its own bytes, not on what the buffer held before.
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SendRequest(BootpRequest().HostName("Nimbus").Build()));
    ASSERT_TRUE(WaitForHost("Nimbus"));
    ASSERT_TRUE(SendRequest(BootpRequest().WithoutMarkerInFile().HostName("Stranger").Build()));
    ASSERT_TRUE(SendRequest(BootpRequest().HostName("Stranger").Size(547).Build()));
    Settle();
    EXPECT_EQ(Rows(),
              (std::vector<std::vector<std::string>>{{"No IP", kSentinel}, {"No IP", "Nimbus"}}));
    EXPECT_EQ(HostNames(), (std::vector<std::string>{"Nimbus", kSentinel}));
}

TEST_F(BootpListingTest, RequestDuringTheWindowRestsTheIconUntilTheNextTick) {
    ASSERT_TRUE(Search());
    driver->StepTime(kTickMs);
    ASSERT_EQ(driver->ShownIcon(IDC_STATUS_ICON), IDI_STATUS_LEFT);
    ASSERT_TRUE(SendRequest(BootpRequest().HostName("Nimbus").Build()));
    ASSERT_TRUE(WaitForHost("Nimbus"));
    EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON), IDI_STATUS_IDLE);
    driver->StepTime(kTickMs);
    EXPECT_EQ(driver->ShownIcon(IDC_STATUS_ICON), IDI_STATUS_MIDDLE);
}

// ---- meeting the probe's rows --------------------------------------------------------------

struct ClashCase {
    const char* name;
    bool replyFirst; // the appliance with an address is listed before the request comes
};

void PrintTo(const ClashCase& c, std::ostream* os) {
    *os << c.name;
}

class ClashTest : public BootpListingTest, public ::testing::WithParamInterface<ClashCase> {};

// One host name, one row, whichever way it was listed first; the other letter case does not
// make it a second appliance.
TEST_P(ClashTest, FirstListingOfAHostNameStands) {
    ASSERT_TRUE(Search());
    if (GetParam().replyFirst) {
        ASSERT_TRUE(SendReply(1, "Pallas"));
        ASSERT_TRUE(WaitForHost("Pallas"));
        ASSERT_TRUE(SendRequest(BootpRequest().HostName("PALLAS").Build()));
        Settle();
        EXPECT_EQ(Rows(), (std::vector<std::vector<std::string>>{{"No IP", kSentinel},
                                                                 {ApplianceAddress(1), "Pallas"}}));
        EXPECT_EQ(HostNames(), (std::vector<std::string>{kSentinel}));
    } else {
        ASSERT_TRUE(SendRequest(BootpRequest().HostName("Pallas").Build()));
        ASSERT_TRUE(WaitForHost("Pallas"));
        ASSERT_TRUE(SendReply(1, "PALLAS"));
        ASSERT_TRUE(SendReply(2, kSentinel));
        ASSERT_TRUE(WaitForHost(kSentinel));
        EXPECT_EQ(Rows(), (std::vector<std::vector<std::string>>{{ApplianceAddress(2), kSentinel},
                                                                 {"No IP", "Pallas"}}));
        EXPECT_EQ(HostNames(), (std::vector<std::string>{"Pallas"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, ClashTest,
                         ::testing::Values(ClashCase{"ReplyThenRequest", true},
                                           ClashCase{"RequestThenReply", false}),
                         [](const ::testing::TestParamInfo<ClashCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace testlab
