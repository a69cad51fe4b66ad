// The platform layer's privileged sockets for a program that holds no capability: as root
// it opens them itself; as an ordinary user it takes them from tavisol-sockets (a capable
// copy here) under the program's own handle, with the options the program had set; without
// the helper it fails as it always did, with the helper's reason added.
#include "platform/posix/privileged.h"
#include "platform/posix_sockets.h"
#include "platform/winapi.h"
#include "platform/posix/sockets-helper/open_socket.h"
#include "tests/support/netns.h"
#include "tests/support/privilege.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kMissingHelper = "/nonexistent/tavisol-sockets";

// Empty when fd is a packet socket for ARP bound to the interface.
std::string CheckArpSocket(int fd, const char* interface) {
    if (fd < 0)
        return "no socket";
    sockaddr_ll link{};
    socklen_t length = sizeof link;
    std::string problem;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&link), &length) != 0 ||
        link.sll_family != AF_PACKET || tvhelper::SocketOption(fd, SO_TYPE) != SOCK_DGRAM ||
        link.sll_protocol != htons(ETH_P_ARP) ||
        link.sll_ifindex != static_cast<int>(::if_nametoindex(interface)))
        problem = "not an ARP packet socket bound to " + std::string(interface);
    ::close(fd);
    return problem;
}

std::string Expect(bool condition, const std::string& what) {
    return condition ? std::string() : what + "; ";
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

sockaddr_in Address(const char* dotted, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = inet_addr(dotted);
    return address;
}

// The program's failures as the command line would report them.
std::vector<tvposix::SocketFailure>& Failures() {
    static std::vector<tvposix::SocketFailure> failures;
    return failures;
}

class PrivilegedSocketsTest : public testing::Test {
protected:
    void SetUp() override {
        std::string problem;
        helper = testlab::CapableHelper(&problem);
        if (helper.empty())
            GTEST_SKIP() << problem;
        // What a fresh network namespace has anyway, said outright: no port below 1024 and
        // no echo socket for an ordinary user.
        ASSERT_TRUE(testlab::SetNetworkSysctl("net/ipv4/ip_unprivileged_port_start", "1024"));
        ASSERT_TRUE(testlab::SetNetworkSysctl("net/ipv4/ping_group_range", "1 0"));
        tvposix::SetFailureObserver(
            [](const tvposix::SocketFailure& failure) { Failures().push_back(failure); });
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 1), &data), 0);
    }
    void TearDown() override {
        tvposix::SetFailureObserver(nullptr);
        tvposix::SetSocketsHelperPath("");
        tvposix::ResetForNewRun();
    }

    std::string helper;
};

// ---------------------------------------------------------------- the ARP packet socket

TEST_F(PrivilegedSocketsTest, ArpSocketOpensDirectlyAsRoot) {
    tvposix::SetSocketsHelperPath(kMissingHelper);
    std::string why;
    EXPECT_EQ(CheckArpSocket(tvposix::OpenArpPacketSocket("tvd0", &why), "tvd0"), "") << why;
}

TEST_F(PrivilegedSocketsTest, ArpSocketComesFromTheHelperForAnOrdinaryUser) {
    EXPECT_EQ(testlab::AsNobody([this] {
                  std::string why;
                  tvposix::SetSocketsHelperPath(helper);
                  std::string problem =
                      CheckArpSocket(tvposix::OpenArpPacketSocket("tvd0", &why), "tvd0");
                  return problem.empty() ? problem : problem + " (" + why + ")";
              }),
              "");
}

TEST_F(PrivilegedSocketsTest, ArpSocketFailureSaysWhy) {
    EXPECT_EQ(testlab::AsNobody([this] {
                  std::string problems, why;
                  tvposix::SetSocketsHelperPath(kMissingHelper);
                  problems += Expect(tvposix::OpenArpPacketSocket("tvd0", &why) == -1 &&
                                         Contains(why, "Operation not permitted") &&
                                         Contains(why, "tavisol-sockets not installed or not "
                                                       "permitted") &&
                                         Contains(why, kMissingHelper),
                                     "missing helper: " + why);
                  tvposix::SetSocketsHelperPath(helper);
                  problems += Expect(tvposix::OpenArpPacketSocket("nosuch0", &why) == -1 &&
                                         Contains(why, "no interface nosuch0"),
                                     "absent interface: " + why);
                  problems += Expect(tvposix::OpenArpPacketSocket("../tvd0", &why) == -1 &&
                                         Contains(why, "not a valid interface name"),
                                     "bad name: " + why);
                  return problems;
              }),
              "");
}

// ---------------------------------------------------------------- UDP port 67

TEST_F(PrivilegedSocketsTest, Port67BindTakesTheHelpersSocketUnderTheSameHandle) {
    EXPECT_EQ(
        testlab::AsNobody([this] {
            tvposix::SetSocketsHelperPath(helper);
            std::string problems;
            SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
            const int fd = tvposix::DescriptorOf(s);
            DWORD receiveMs = 700, sendMs = 300;
            int broadcast = 1;
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receiveMs),
                       sizeof receiveMs);
            setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendMs),
                       sizeof sendMs);
            setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&broadcast),
                       sizeof broadcast);
            sockaddr_in any = Address("0.0.0.0", 67);
            if (bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
                return "bind failed: " + std::string(tvposix::WsaErrorName(WSAGetLastError())) +
                       " " + (Failures().empty() ? "" : Failures().back().detail);
            problems += Expect(tvposix::DescriptorOf(s) == fd, "the descriptor changed");
            sockaddr_in local{};
            socklen_t length = sizeof local;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
            problems += Expect(ntohs(local.sin_port) == 67, "not bound to port 67");
            timeval receive{}, send{};
            length = sizeof receive;
            ::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receive, &length);
            length = sizeof send;
            ::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send, &length);
            problems += Expect(receive.tv_sec == 0 && receive.tv_usec == 700000 &&
                                   send.tv_sec == 0 && send.tv_usec == 300000,
                               "time-outs not set again");
            problems +=
                Expect(tvhelper::SocketOption(fd, SO_BROADCAST) == 1, "SO_BROADCAST not set again");
            problems += Expect((::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0, "not close-on-exec");

            // The handle works: a request to port 67 arrives through it.
            SOCKET peer = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in to = Address(testlab::kWorkstation, 67);
            sendto(peer, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            char buffer[16];
            problems +=
                Expect(recvfrom(s, buffer, static_cast<int>(sizeof buffer), 0,
                                static_cast<sockaddr*>(nullptr), static_cast<int*>(nullptr)) == 4,
                       "nothing received on port 67");

            // A second listener meets what root would meet: the port is taken.
            SOCKET second = socket(AF_INET, SOCK_DGRAM, 0);
            problems += Expect(
                bind(second, reinterpret_cast<sockaddr*>(&any), sizeof any) == SOCKET_ERROR &&
                    WSAGetLastError() == WSAEADDRINUSE,
                "second bind: " + std::string(tvposix::WsaErrorName(WSAGetLastError())));
            closesocket(second);
            closesocket(peer);
            closesocket(s);
            return problems;
        }),
        "");
}

// Without a usable helper, what the program sees is what it saw before there was one; the
// reason is in the failure's detail, for tavisol-cli to print.
TEST_F(PrivilegedSocketsTest, Port67WithoutTheHelperFailsAsBeforeWithTheReason) {
    EXPECT_EQ(testlab::AsNobody([] {
                  struct Case {
                      const char* helper;
                      const char* address;
                      const char* reason; // nullptr: the helper is not asked at all
                  } cases[] = {
                      {kMissingHelper, "0.0.0.0", "tavisol-sockets not installed or not permitted"},
                      {TAVISOL_SOCKETS_HELPER_BUILT, "0.0.0.0",
                       "tavisol-sockets not installed or not permitted (cannot bind UDP port 67: "
                       "Permission denied (it holds no cap_net_bind_service))"},
                      // The helper binds any address only; another bind stays refused.
                      {TAVISOL_SOCKETS_HELPER_BUILT, testlab::kWorkstation, nullptr},
                  };
                  std::string problems;
                  for (const Case& c : cases) {
                      tvposix::SetSocketsHelperPath(c.helper);
                      Failures().clear();
                      SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
                      sockaddr_in address = Address(c.address, 67);
                      const bool failed = bind(s, reinterpret_cast<sockaddr*>(&address),
                                               sizeof address) == SOCKET_ERROR;
                      const int error = WSAGetLastError();
                      closesocket(s);
                      const std::string detail = Failures().empty() ? "" : Failures().back().detail;
                      problems += Expect(failed && error == WSAEACCES && Failures().size() == 1 &&
                                             Failures().back().port == 67 &&
                                             Contains(detail, "Permission denied") &&
                                             (c.reason ? Contains(detail, c.reason)
                                                       : !Contains(detail, "tavisol-sockets")),
                                         std::string(c.helper) + " " + c.address + ": " +
                                             tvposix::WsaErrorName(error) + " " + detail);
                  }
                  return problems;
              }),
              "");
}

// ---------------------------------------------------------------- raw ICMP

TEST_F(PrivilegedSocketsTest, RawIcmpSocketComesFromTheHelperElseFailsWithTheReason) {
    EXPECT_EQ(testlab::AsNobody([this] {
                  std::string problems;
                  tvposix::SetSocketsHelperPath(helper);
                  SOCKET s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
                  const int fd = tvposix::DescriptorOf(s);
                  problems += Expect(s != INVALID_SOCKET &&
                                         tvhelper::SocketOption(fd, SO_TYPE) == SOCK_RAW &&
                                         tvhelper::SocketOption(fd, SO_PROTOCOL) == IPPROTO_ICMP,
                                     "no raw ICMP socket from the helper");
                  closesocket(s);

                  tvposix::SetSocketsHelperPath(kMissingHelper);
                  Failures().clear();
                  s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
                  const std::string detail = Failures().empty() ? "" : Failures().back().detail;
                  problems += Expect(s == INVALID_SOCKET && WSAGetLastError() == WSAEACCES &&
                                         Failures().size() == 1 &&
                                         Failures().back().call == "socket(raw ICMP)" &&
                                         Contains(detail, "Operation not permitted; tavisol-"
                                                          "sockets not installed or not permitted"),
                                     "missing helper: " + detail);
                  return problems;
              }),
              "");
}

} // namespace
