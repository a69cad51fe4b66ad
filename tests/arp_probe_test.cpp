// The ARP half of the in-use check on the wire: in the test's private network, an interface
// of the workstation whose far end (the other end of a veth pair) is played by a packet
// socket of the test's own, which sees what the probe puts on the link and answers as a
// machine there would. Each case runs with a packet socket (the test has cap_net_raw) and
// again with the packet socket refused, where the kernel's neighbour resolution stands in.
#include "platform/inuse.h"
#include "platform/posix/neighbour.h"
#include "platform/posix_sockets.h"
#include "proto/arp.h"
#include "tests/support/netns.h"
#include "platform/posix/libc_sockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <linux/if_packet.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <optional>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kOurs = "tva0";
constexpr const char* kFar = "tva0p";
const DWORD kCandidate = inet_addr("192.168.90.77");
const DWORD kElsewhere = inet_addr("192.168.90.78");

using Bytes = std::vector<std::uint8_t>;

// A machine at the far end of the link.
class FarEnd {
public:
    FarEnd() {
        m_fd = libc::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP));
        m_index = static_cast<int>(if_nametoindex(kFar));
        sockaddr_ll at{};
        at.sll_family = AF_PACKET;
        at.sll_protocol = htons(ETH_P_ARP);
        at.sll_ifindex = m_index;
        if (m_fd >= 0 && libc::bind(m_fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        ifreq request{};
        std::strncpy(request.ifr_name, kFar, IFNAMSIZ - 1);
        if (m_fd >= 0 && ::ioctl(m_fd, SIOCGIFHWADDR, &request) == 0)
            std::memcpy(hw.data(), request.ifr_hwaddr.sa_data, hw.size());
    }
    ~FarEnd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }

    // The next ARP request that arrives, and whether it came as a broadcast.
    std::optional<ArpPacket> NextRequest(int timeoutMs, bool* broadcast = nullptr) {
        pollfd ready{m_fd, POLLIN, 0};
        while (::poll(&ready, 1, timeoutMs) > 0) {
            std::uint8_t buffer[1500];
            sockaddr_ll from{};
            socklen_t fromLen = sizeof from;
            ssize_t n = libc::recvfrom(m_fd, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING)
                continue;
            auto packet = ReadArpPacket(std::span<const std::uint8_t>(buffer, std::size_t(n)));
            if (packet && packet->operation == ARP_REQUEST) {
                if (broadcast)
                    *broadcast = from.sll_pkttype == PACKET_BROADCAST;
                return packet;
            }
        }
        return std::nullopt;
    }

    void Send(std::uint16_t operation, std::uint32_t senderIp, const HardwareAddress& targetHw,
              std::uint32_t targetIp) {
        std::uint8_t packet[ARP_PACKET_SIZE];
        BuildArpProbe(packet, hw, targetIp);
        packet[7] = static_cast<std::uint8_t>(operation);
        std::memcpy(packet + 14, &senderIp, 4);
        std::memcpy(packet + 18, targetHw.data(), targetHw.size());
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_protocol = htons(ETH_P_ARP);
        to.sll_ifindex = m_index;
        to.sll_halen = ETH_ALEN;
        std::memset(to.sll_addr, 0xFF, ETH_ALEN);
        libc::sendto(m_fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    HardwareAddress hw{};

private:
    int m_fd = -1;
    int m_index = 0;
};

enum class Far { Silent, HolderReplies, UnrelatedReply, OtherMachineProbes };

struct ProbeCase {
    const char* name;
    Far far;
    bool packetSocket; // the probe's own packet socket, else the kernel's resolution
    bool inUse;
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
    *os << c.name;
}

const ProbeCase kProbeCases[] = {
    {"NobodyAnswers", Far::Silent, true, false},
    {"TheHolderReplies", Far::HolderReplies, true, true},
    {"AReplyForAnotherAddress", Far::UnrelatedReply, true, false},
    {"AnotherMachineProbesForIt", Far::OtherMachineProbes, true, true},
    {"KernelNobodyAnswers", Far::Silent, false, false},
    {"KernelTheHolderReplies", Far::HolderReplies, false, true},
    {"KernelAReplyForAnotherAddress", Far::UnrelatedReply, false, false},
    // The kernel learns nothing from another machine's probe (its sender address is 0).
    {"KernelAnotherMachineProbesForIt", Far::OtherMachineProbes, false, false},
};

class ArpProbeFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (s_bMade || !testlab::PrivateNetworkProblem().empty())
            return;
        s_bMade = testlab::AddInterface(kOurs, {"192.168.90.1/24"}) &&
                  std::system((std::string("ip link set ") + kFar + " up").c_str()) == 0;
    }

    void SetUp() override {
        if (!testlab::PrivateNetworkProblem().empty())
            GTEST_SKIP() << testlab::PrivateNetworkProblem();
        ASSERT_TRUE(s_bMade) << "could not make the veth pair";
        std::system((std::string("ip neigh flush dev ") + kOurs).c_str());
        for (const NET_INTERFACE& entry : GetNetInterfaces())
            if (entry.strName == kOurs)
                m_ours = entry;
        ASSERT_EQ(m_ours.strName, kOurs);
        tvposix::SetFailureObserver(
            [this](const tvposix::SocketFailure& f) { m_failures.push_back(f); });
    }

    void TearDown() override {
        tvposix::SetFailureObserver(nullptr);
        tvposix::ClearInjectedFailures();
    }

    static bool s_bMade;
    NET_INTERFACE m_ours{};
    std::vector<tvposix::SocketFailure> m_failures;
};

bool ArpProbeFixture::s_bMade = false;

class ArpProbeTest : public ArpProbeFixture, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ArpProbeTest, DecidesFromWhatTheLinkAnswers) {
    const ProbeCase& c = GetParam();
    FarEnd far;
    ASSERT_TRUE(far.ok());
    if (!c.packetSocket)
        tvposix::InjectFailure("ARP packet socket", WSAEACCES, 1, static_cast<int>(m_ours.dwIndex));

    std::optional<ArpPacket> seen;
    bool broadcast = false;
    std::thread machine([&] {
        seen = far.NextRequest(1000, &broadcast);
        if (!seen)
            return;
        switch (c.far) {
        case Far::Silent:
            break;
        case Far::HolderReplies:
            far.Send(ARP_REPLY, kCandidate, seen->senderHw, seen->senderIp);
            break;
        case Far::UnrelatedReply:
            far.Send(ARP_REPLY, kElsewhere, seen->senderHw, seen->senderIp);
            break;
        case Far::OtherMachineProbes:
            far.Send(ARP_REQUEST, 0, {}, kCandidate);
            break;
        }
    });
    CArpProbe probe;
    BOOL bSent = probe.Send(m_ours, kCandidate);
    BOOL bAnswered = probe.Answered(500);
    machine.join();

    EXPECT_TRUE(bSent);
    EXPECT_EQ(bAnswered, c.inUse ? TRUE : FALSE);
    EXPECT_TRUE(m_failures.empty()) << m_failures.front().call << ": " << m_failures.front().detail;
    // What reached the link: a broadcast question for the candidate from our interface, as a
    // probe (sender address 0) when the packet socket sent it, from our own address when the
    // kernel did.
    ASSERT_TRUE(seen);
    EXPECT_TRUE(broadcast);
    EXPECT_EQ(seen->targetIp, kCandidate);
    EXPECT_NE(seen->senderHw, far.hw);
    EXPECT_EQ(seen->senderIp, c.packetSocket ? 0u : m_ours.dwAddr);
}

INSTANTIATE_TEST_SUITE_P(Answers, ArpProbeTest, ::testing::ValuesIn(kProbeCases),
                         [](const ::testing::TestParamInfo<ProbeCase>& info) {
                             return std::string(info.param.name);
                         });

// Where nothing can go out, the probe says so and says where, and the wait tells nothing.
TEST_F(ArpProbeFixture, WhatCannotBeSentIsReported) {
    NET_INTERFACE loopback{};
    for (const NET_INTERFACE& entry : GetNetInterfaces())
        if (entry.bLoopback)
            loopback = entry;
    ASSERT_TRUE(loopback.bLoopback);

    CArpProbe probe;
    EXPECT_FALSE(probe.Send(loopback, kCandidate)); // no Ethernet address there
    tvposix::InjectFailure("ARP probe", WSAENETDOWN, 1, static_cast<int>(m_ours.dwIndex));
    EXPECT_FALSE(probe.Send(m_ours, kCandidate));
    EXPECT_FALSE(probe.Answered(0));
    ASSERT_EQ(m_failures.size(), 3u);
    EXPECT_EQ(m_failures[0].call, "ARP probe");
    EXPECT_EQ(m_failures[0].local, "127.0.0.1");
    EXPECT_EQ(m_failures[0].error, WSAEAFNOSUPPORT);
    EXPECT_EQ(m_failures[1].local, "192.168.90.1");
    EXPECT_EQ(m_failures[1].error, WSAENETDOWN);
    // Nothing went anywhere: the failure without an address.
    EXPECT_EQ(m_failures[2].local, "");
}

// ---- the neighbour table as the kernel reports it -----------------------------------------------

// One RTM_NEWNEIGH message of a dump, laid out as the kernel writes it.
Bytes NeighbourMessage(int ifIndex, std::uint16_t state, DWORD dwDest, bool withHardware) {
    Bytes body(NLMSG_ALIGN(sizeof(ndmsg)), 0);
    ndmsg entry{};
    entry.ndm_family = AF_INET;
    entry.ndm_ifindex = ifIndex;
    entry.ndm_state = state;
    std::memcpy(body.data(), &entry, sizeof entry);
    auto attribute = [&body](std::uint16_t type, const void* value, std::size_t length) {
        rtattr header{static_cast<unsigned short>(RTA_LENGTH(length)), type};
        const auto* h = reinterpret_cast<const std::uint8_t*>(&header);
        body.insert(body.end(), h, h + sizeof header);
        const auto* v = static_cast<const std::uint8_t*>(value);
        body.insert(body.end(), v, v + length);
        body.resize(NLMSG_ALIGN(body.size()), 0);
    };
    attribute(NDA_DST, &dwDest, 4);
    const std::uint8_t hw[6] = {0x00, 0x0A, 0x1B, 0xFF, 0x20, 0x3C};
    if (withHardware)
        attribute(NDA_LLADDR, hw, sizeof hw);
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + body.size());
    header.nlmsg_type = RTM_NEWNEIGH;
    Bytes message(NLMSG_HDRLEN + body.size(), 0);
    std::memcpy(message.data(), &header, sizeof header);
    std::memcpy(message.data() + NLMSG_HDRLEN, body.data(), body.size());
    return message;
}

TEST(NeighbourDump, OnlyAnEntryWithAConfirmedHardwareAddressCounts) {
    constexpr int kIndex = 7;
    struct Case {
        const char* name;
        Bytes dump;
        bool inUse;
    };
    const Bytes reachable = NeighbourMessage(kIndex, NUD_REACHABLE, kCandidate, true);
    Bytes two = NeighbourMessage(kIndex, NUD_REACHABLE, kElsewhere, true);
    two.insert(two.end(), reachable.begin(), reachable.end());
    Bytes cut = reachable;
    cut.resize(cut.size() - 4); // the message says it is longer than what was received
    const Case cases[] = {
        {"reachable", reachable, true},
        {"stale, from earlier", NeighbourMessage(kIndex, NUD_STALE, kCandidate, true), true},
        {"being probed again", NeighbourMessage(kIndex, NUD_PROBE, kCandidate, true), true},
        {"set by hand", NeighbourMessage(kIndex, NUD_PERMANENT, kCandidate, true), true},
        {"second entry of the dump", two, true},
        {"still resolving", NeighbourMessage(kIndex, NUD_INCOMPLETE, kCandidate, false), false},
        {"failed, an old address kept", NeighbourMessage(kIndex, NUD_FAILED, kCandidate, true),
         false},
        {"no hardware address", NeighbourMessage(kIndex, NUD_REACHABLE, kCandidate, false), false},
        {"on another interface", NeighbourMessage(kIndex + 1, NUD_REACHABLE, kCandidate, true),
         false},
        {"for another address", NeighbourMessage(kIndex, NUD_REACHABLE, kElsewhere, true), false},
        {"cut short", cut, false},
        {"empty", {}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tvposix::NeighbourDumpShowsInUse(c.dump, kIndex, kCandidate), c.inUse) << c.name;
    }
}

} // namespace
