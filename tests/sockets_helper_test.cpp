// tavisol-sockets as an ordinary user meets it: a capable copy run as nobody, in the test's
// private network namespace, with a socket pair on its standard input as the program gives
// it. It opens exactly the three sockets of its list and refuses everything else, each time
// with a reason, a non-zero status, no socket and no crash; and it has dropped every
// capability (no_new_privs set) by the time it answers.
#include "platform/posix/sockets-helper/open_socket.h"
#include "tests/support/netns.h"
#include "tests/support/privilege.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr const char* kPrefix = "TAVISOL-SOCKETS/1 ";

// How the helper is started for one case.
struct Invocation {
    std::vector<std::string> datagrams; // queued before it starts
    std::vector<std::string> environment;
    std::vector<std::string> arguments; // after argv[0]
    int channelType = SOCK_SEQPACKET;   // 0: /dev/null as standard input
    bool sendDescriptor = false;        // the first datagram carries one
    bool hangUp = false;                // nothing more after the datagrams
};

// What came of it.
struct HelperRun {
    int status = -1; // exit status; -1 when it died of a signal
    bool answered = false;
    std::string reply;
    std::vector<int> fds;
    std::string stderrText;
    std::string privileges; // its capability sets and no_new_privs when it answered
};

// "CapInh CapPrm CapEff CapAmb NoNewPrivs" of a process, from /proc.
std::string Privileges(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line, out;
    while (std::getline(status, line))
        for (const char* key : {"CapInh:", "CapPrm:", "CapEff:", "CapAmb:", "NoNewPrivs:"})
            if (line.rfind(key, 0) == 0)
                out += line.substr(line.find_first_not_of(" \t", std::strlen(key))) + " ";
    return out;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

HelperRun RunHelper(const std::string& helper, Invocation how) {
    HelperRun run;
    int pair[2] = {-1, -1};
    if (how.channelType != 0 && ::socketpair(AF_UNIX, how.channelType, 0, pair) != 0)
        return run;
    for (std::size_t i = 0; i < how.datagrams.size(); ++i) {
        iovec part{how.datagrams[i].data(), how.datagrams[i].size()};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))]{};
        int passed = ::open("/dev/null", O_RDONLY);
        if (i == 0 && how.sendDescriptor) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(header), &passed, sizeof passed);
        }
        ::sendmsg(pair[0], &message, 0);
        ::close(passed);
    }
    if (how.hangUp)
        ::shutdown(pair[0], SHUT_WR);
    int err[2];
    if (::pipe(err) != 0)
        return run;

    std::vector<std::string> argv{"tavisol-sockets"};
    argv.insert(argv.end(), how.arguments.begin(), how.arguments.end());
    pid_t pid = ::fork();
    if (pid == 0) {
        int in = how.channelType != 0 ? pair[1] : ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(err[1], 2);
        auto args = Pointers(argv);
        auto env = Pointers(how.environment);
        if (::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
            ::setresuid(65534, 65534, 65534) == 0)
            ::execve(helper.c_str(), args.data(), env.data());
        ::_exit(127);
    }
    ::close(err[1]);
    if (pair[1] >= 0)
        ::close(pair[1]);
    if (pair[0] >= 0) {
        pollfd wait{pair[0], POLLIN, 0};
        if (::poll(&wait, 1, 10000) == 1) {
            char text[512];
            iovec part{text, sizeof text};
            alignas(cmsghdr) unsigned char control[CMSG_SPACE(4 * sizeof(int))];
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            // A helper that ends with a datagram unread leaves a reset to be reported once,
            // ahead of its reply.
            ssize_t n = ::recvmsg(pair[0], &message, MSG_CMSG_CLOEXEC);
            if (n < 0 && errno == ECONNRESET)
                n = ::recvmsg(pair[0], &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
            if (n > 0) {
                run.answered = true;
                // Not reaped yet: a zombie still shows the credentials it ended with.
                run.privileges = Privileges(pid);
                run.reply.assign(text, static_cast<std::size_t>(n));
                for (cmsghdr* h = CMSG_FIRSTHDR(&message); h; h = CMSG_NXTHDR(&message, h)) {
                    if (h->cmsg_type != SCM_RIGHTS)
                        continue;
                    std::size_t count = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                    for (std::size_t k = 0; k < count; ++k) {
                        int fd;
                        std::memcpy(&fd, CMSG_DATA(h) + k * sizeof(int), sizeof fd);
                        run.fds.push_back(fd);
                    }
                }
            }
        }
        ::close(pair[0]);
    }
    char buffer[1024];
    ssize_t n;
    while ((n = ::read(err[0], buffer, sizeof buffer)) > 0)
        run.stderrText.append(buffer, static_cast<std::size_t>(n));
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Every capability set empty, no_new_privs on.
constexpr const char* kDropped =
    "0000000000000000 0000000000000000 0000000000000000 0000000000000000 1 ";

class SocketsHelperTest : public testing::Test {
protected:
    void SetUp() override {
        std::string problem;
        helper = testlab::CapableHelper(&problem);
        if (helper.empty())
            GTEST_SKIP() << problem;
    }
    void TearDown() override {
        for (int fd : run.fds)
            ::close(fd);
    }
    HelperRun Request(const std::string& body) {
        run = RunHelper(helper, {{kPrefix + body + "\n"}, {}, {}});
        return run;
    }

    std::string helper;
    HelperRun run;
};

// ---------------------------------------------------------------- the three sockets

TEST_F(SocketsHelperTest, HandsOverUdpPort67OnAnyAddress) {
    Request("bootps");
    ASSERT_EQ(run.status, 0) << run.stderrText;
    EXPECT_EQ(run.reply, "ok\n");
    EXPECT_EQ(run.privileges, kDropped);
    ASSERT_EQ(run.fds.size(), 1u);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(::getsockname(run.fds[0], reinterpret_cast<sockaddr*>(&local), &length), 0);
    EXPECT_EQ(tvhelper::SocketOption(run.fds[0], SO_TYPE), SOCK_DGRAM);
    EXPECT_EQ(tvhelper::SocketOption(run.fds[0], SO_PROTOCOL), IPPROTO_UDP);
    EXPECT_EQ(ntohs(local.sin_port), 67);
    EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_ANY));
}

TEST_F(SocketsHelperTest, HandsOverARawIcmpSocket) {
    Request("icmp");
    ASSERT_EQ(run.status, 0) << run.stderrText;
    EXPECT_EQ(run.privileges, kDropped);
    ASSERT_EQ(run.fds.size(), 1u);
    EXPECT_EQ(tvhelper::SocketOption(run.fds[0], SO_DOMAIN), AF_INET);
    EXPECT_EQ(tvhelper::SocketOption(run.fds[0], SO_TYPE), SOCK_RAW);
    EXPECT_EQ(tvhelper::SocketOption(run.fds[0], SO_PROTOCOL), IPPROTO_ICMP);
}

TEST_F(SocketsHelperTest, HandsOverAnArpPacketSocketBoundToTheInterface) {
    Request("arp tvd0");
    ASSERT_EQ(run.status, 0) << run.stderrText;
    EXPECT_EQ(run.privileges, kDropped);
    ASSERT_EQ(run.fds.size(), 1u);
    sockaddr_ll link{};
    socklen_t length = sizeof link;
    ASSERT_EQ(::getsockname(run.fds[0], reinterpret_cast<sockaddr*>(&link), &length), 0);
    EXPECT_EQ(link.sll_family, AF_PACKET);
    EXPECT_EQ(tvhelper::SocketOption(run.fds[0], SO_TYPE), SOCK_DGRAM);
    EXPECT_EQ(link.sll_protocol, htons(ETH_P_ARP));
    EXPECT_EQ(link.sll_ifindex, static_cast<int>(::if_nametoindex("tvd0")));
}

// ---------------------------------------------------------------- everything else

struct RefusalCase {
    const char* name;
    Invocation how;
    int status;         // 1 refused, 2 the system said no
    const char* reason; // part of the message on stderr (and of the reply, when answered)
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

std::string Line(const std::string& body) {
    return kPrefix + body + "\n";
}

Invocation Datagrams(std::vector<std::string> datagrams) {
    return {std::move(datagrams), {}, {}};
}

Invocation WithEnvironment(std::vector<std::string> environment) {
    return {{Line("bootps")}, std::move(environment), {}};
}

const std::string& MarkerPath() {
    static const std::string path = [] {
        char dir[] = "/tmp/tvpreload-XXXXXX";
        ::mkdtemp(dir);
        ::chmod(dir, 01777); // nobody may leave its marker here
        return std::string(dir) + "/loaded";
    }();
    return path;
}

const RefusalCase kRefusals[] = {
    // Another port, another socket type.
    {"UdpPort68", Datagrams({Line("udp 68")}), 1, "not on the list"},
    {"BootpClientPort", Datagrams({Line("bootpc")}), 1, "not on the list"},
    {"Port67WithAPort", Datagrams({Line("bootps 68")}), 1, "takes no argument"},
    {"Tcp", Datagrams({Line("tcp 67")}), 1, "not on the list"},
    {"RawUdp", Datagrams({Line("raw 17")}), 1, "not on the list"},
    {"PacketSocketOfAllFrames", Datagrams({Line("packet tvd0")}), 1, "not on the list"},
    {"IcmpWithAnArgument", Datagrams({Line("icmp tvd0")}), 1, "takes no argument"},
    {"KindInCapitals", Datagrams({Line("BOOTPS")}), 1, "not on the list"},
    // Malformed and cut short.
    {"Empty", Datagrams({""}), 1, "empty request"},
    {"CallerHungUp", {{}, {}, {}, SOCK_SEQPACKET, false, true}, 1, "empty request"},
    {"NoLineFeed", Datagrams({std::string(kPrefix) + "bootps"}), 1, "line feed"},
    {"CutInTheKind", Datagrams({std::string(kPrefix) + "boo"}), 1, "line feed"},
    {"CutInThePrefix", Datagrams({"TAVISOL-SOCK"}), 1, "not a request of this version"},
    {"OtherVersion", Datagrams({"TAVISOL-SOCKETS/2 bootps\n"}), 1, "not a request of this"},
    {"PrefixInLowerCase", Datagrams({"tavisol-sockets/1 bootps\n"}), 1, "not a request"},
    {"TwoLinesInOne", Datagrams({Line("icmp") + "icmp\n"}), 1, "more than one line"},
    {"TrailingSpace", Datagrams({Line("bootps ")}), 1, "takes no argument"},
    {"NulInside", Datagrams({std::string(kPrefix) + "bootps\0x\n"s}), 1, "control"},
    {"CrLf", Datagrams({std::string(kPrefix) + "bootps\r\n"}), 1, "control"},
    {"Oversized", Datagrams({Line(std::string(5000, 'a'))}), 1, "longer than 40 bytes"},
    {"CarriesADescriptor", {{Line("bootps")}, {}, {}, SOCK_SEQPACKET, true}, 1, "descriptors"},
    // Interface names: too long, bad characters, missing, absent from the system.
    {"InterfaceOf16", Datagrams({Line("arp abcdefghijklmnop")}), 1, "not valid"},
    {"InterfaceWithSlash", Datagrams({Line("arp ../tvd0")}), 1, "not valid"},
    {"InterfaceWithSemicolon", Datagrams({Line("arp tvd0;id")}), 1, "not valid"},
    {"InterfaceDot", Datagrams({Line("arp .")}), 1, "not valid"},
    {"InterfaceNonAscii", Datagrams({Line("arp tv\xc3\xa9")}), 1, "non-ASCII"},
    {"TwoInterfaces", Datagrams({Line("arp tvd0 lo")}), 1, "not valid"},
    {"NoInterface", Datagrams({Line("arp")}), 1, "needs an interface"},
    {"AbsentInterface", Datagrams({Line("arp nosuch0")}), 2, "no interface nosuch0"},
    // A second socket set in one run, whatever the first.
    {"SecondRequest", Datagrams({Line("icmp"), Line("bootps")}), 1, "more than one request"},
    {"SecondRequestAfterABadOne", Datagrams({Line("udp 68"), Line("icmp")}), 1,
     "more than one request"},
    // Not the way the program runs it.
    {"Arguments", {{Line("bootps")}, {}, {"--port", "68"}}, 1, "takes no arguments"},
    {"StandardInputNotASocket", {{}, {}, {}, 0}, 1, "not the program's socket pair"},
    {"StreamSocketPair", {{Line("bootps")}, {}, {}, SOCK_STREAM}, 1, "not the program's"},
    // An environment crafted to influence it: for a program with capabilities the dynamic
    // loader drops what it would have honoured (LD_*), and the helper refuses to run with
    // anything left.
    {"PreloadedLibrary",
     WithEnvironment(
         {"LD_PRELOAD=" TAVISOL_PRELOAD_MARKER_LIBRARY, "TAVISOL_PRELOAD_MARKER=" + MarkerPath()}),
     1, "empty environment"},
    {"LibraryPath", WithEnvironment({"LD_LIBRARY_PATH=/tmp", "LD_DEBUG=all", "PATH=/tmp"}), 1,
     "empty environment"},
    {"OddLocale", WithEnvironment({"LC_ALL=tr_TR.UTF-8", "LANGUAGE=tr", "GCONV_PATH=/tmp"}), 1,
     "empty environment"},
    {"MallocTunables", WithEnvironment({"GLIBC_TUNABLES=glibc.malloc.check=3"}), 1,
     "empty environment"},
};

class SocketsHelperRefusalTest : public SocketsHelperTest,
                                 public testing::WithParamInterface<RefusalCase> {};

TEST_P(SocketsHelperRefusalTest, RefusesWithAReasonAndNoSocket) {
    const RefusalCase& c = GetParam();
    std::filesystem::remove(MarkerPath());
    run = RunHelper(helper, c.how);
    EXPECT_EQ(run.status, c.status) << run.stderrText;
    EXPECT_NE(run.stderrText.find(c.reason), std::string::npos) << run.stderrText;
    EXPECT_TRUE(run.fds.empty()) << "a socket was handed over";
    if (c.how.channelType == SOCK_SEQPACKET) {
        ASSERT_TRUE(run.answered) << run.stderrText;
        EXPECT_EQ(run.reply.rfind(c.status == 1 ? "refused " : "failed ", 0), 0u) << run.reply;
        EXPECT_NE(run.reply.find(c.reason), std::string::npos) << run.reply;
        EXPECT_EQ(run.privileges, kDropped);
    }
    EXPECT_FALSE(std::filesystem::exists(MarkerPath())) << "the preloaded library ran";
}

INSTANTIATE_TEST_SUITE_P(Table, SocketsHelperRefusalTest, testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// Without its capabilities (not installed with them, or on a nosuid mount) the helper says
// so rather than pretending.
TEST_F(SocketsHelperTest, WithoutCapabilitiesSaysWhichOneItLacks) {
    run = RunHelper(TAVISOL_SOCKETS_HELPER_BUILT, {{Line("bootps")}, {}, {}});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(run.fds.empty());
    EXPECT_EQ(run.reply, "failed 13 cannot bind UDP port 67: Permission denied (it holds no "
                         "cap_net_bind_service)\n");
    run = RunHelper(TAVISOL_SOCKETS_HELPER_BUILT, {{Line("icmp")}, {}, {}});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.reply.find("(it holds no cap_net_raw)"), std::string::npos) << run.reply;
}

} // namespace
