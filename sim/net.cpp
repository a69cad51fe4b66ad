// Linux socket calls behind the simulator. Everything here reports failure by
// throwing SysError with errno spelled out, because the simulator is run by
// tests whose logs are the only place a misconfigured lab becomes visible.
#include "net.hpp"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

namespace sim {

Fd& Fd::operator=(Fd&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = o.release();
    }
    return *this;
}

Fd::~Fd() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string errno_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string format_addr(const sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

namespace {
// A socket of the given type bound to 0.0.0.0:port with SO_REUSEADDR.
Fd open_bound(int type, std::uint16_t port, const char* what) {
    Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        throw SysError(errno_text(std::string("socket(AF_INET, ") + what + ")"));
    int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
        throw SysError(errno_text("setsockopt(SO_REUSEADDR)"));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
        throw SysError(errno_text("bind(0.0.0.0:" + std::to_string(port) + ")"));
    return fd;
}
} // namespace

Fd open_udp_listener(std::uint16_t port) {
    return open_bound(SOCK_DGRAM, port, "SOCK_DGRAM");
}

std::optional<Datagram> receive(int fd) {
    // Large enough for any UDP payload, so an oversized probe is seen at its
    // full length and rejected rather than silently cut to something valid.
    static std::uint8_t buf[65536];
    Datagram d;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &d.from;
    msg.msg_namelen = sizeof d.from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd, &msg, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return std::nullopt;
        throw SysError(errno_text("recvmsg"));
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            d.ifindex = info.ipi_ifindex;
        }
    }
    d.data.assign(buf, buf + n);
    return d;
}

void report_arrival_interface(int fd) {
    int one = 1;
    if (::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) < 0)
        throw SysError(errno_text("setsockopt(IP_PKTINFO)"));
}

void send_on_link(int fd, const Bytes& data, const sockaddr_in& to, int ifindex) {
    // IP_PKTINFO names the interface; MSG_DONTROUTE keeps the route lookup to the link's own
    // routes, so with no on-link route for the destination the kernel takes it as on the
    // named link (and never hands the answer to a default gateway).
    in_pktinfo info{};
    info.ipi_ifindex = ifindex;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof info)] = {};
    iovec iov{const_cast<std::uint8_t*>(data.data()), data.size()};
    sockaddr_in dest = to;
    msghdr msg{};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof dest;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof info);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    if (::sendmsg(fd, &msg, MSG_DONTROUTE) < 0)
        throw SysError(errno_text("sendmsg(" + format_addr(to) + " on interface " +
                                  std::to_string(ifindex) + ")"));
}

void send_to(int fd, const Bytes& data, const sockaddr_in& to) {
    ssize_t n = ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof to);
    if (n < 0)
        throw SysError(errno_text("sendto(" + format_addr(to) + ")"));
}

std::optional<Interface> find_interface(const std::string& name) {
    if (name.size() >= IFNAMSIZ)
        return std::nullopt;
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        throw SysError(errno_text("socket for interface lookup"));
    ifreq req{};
    std::memcpy(req.ifr_name, name.c_str(), name.size());
    if (::ioctl(fd.get(), SIOCGIFINDEX, &req) < 0)
        return std::nullopt;
    Interface iface;
    iface.index = req.ifr_ifindex;
    if (::ioctl(fd.get(), SIOCGIFHWADDR, &req) < 0)
        throw SysError(errno_text("SIOCGIFHWADDR " + name));
    std::memcpy(iface.mac.data(), req.ifr_hwaddr.sa_data, iface.mac.size());
    return iface;
}

Fd open_packet_sender() {
    Fd fd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        if (errno == EPERM)
            throw SysError(errno_text("socket(AF_PACKET) (needs CAP_NET_RAW)"));
        throw SysError(errno_text("socket(AF_PACKET)"));
    }
    return fd;
}

ssize_t send_frame_once(int fd, const Interface& iface, const Bytes& frame, int flags) {
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_IP);
    to.sll_ifindex = iface.index;
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xff, 6);
    return ::sendto(fd, frame.data(), frame.size(), flags, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to);
}

void send_frame(int fd, const Interface& iface, const Bytes& frame) {
    ssize_t n = send_frame_once(fd, iface, frame, 0);
    if (n < 0)
        throw SysError(errno_text("sendto(AF_PACKET)"));
    if (static_cast<std::size_t>(n) != frame.size())
        throw SysError("short write on packet socket");
}

Fd open_bootp_client_listener(const Interface& iface) {
    return open_link_udp_listener(iface, 68);
}

Fd open_link_udp_listener(const Interface& iface, std::uint16_t port) {
    // Protocol 0 until the filter is attached, so nothing unfiltered queues up.
    Fd fd(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        throw SysError(errno_text("socket(AF_PACKET, SOCK_DGRAM)"));
    // Offsets are from the IPv4 header (SOCK_DGRAM strips the link header):
    // UDP, not a fragment, destination port `port`.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 17, 0, 6),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3fff, 4, 0),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffff),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) < 0)
        throw SysError(errno_text("setsockopt(SO_ATTACH_FILTER)"));
    int one = 1;
    if (::setsockopt(fd.get(), SOL_PACKET, PACKET_AUXDATA, &one, sizeof one) < 0)
        throw SysError(errno_text("setsockopt(PACKET_AUXDATA)"));
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_IP);
    a.sll_ifindex = iface.index;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
        throw SysError(errno_text("bind(AF_PACKET)"));
    return fd;
}

std::optional<LinkPacket> receive_link(int fd) {
    static std::uint8_t buf[65536];
    sockaddr_ll from{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    for (;;) {
        ssize_t n = ::recvmsg(fd, &msg, MSG_TRUNC);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return std::nullopt;
            throw SysError(errno_text("recvmsg(AF_PACKET)"));
        }
        // Our own DISCOVERs pass by on the way out; they are not answers.
        if (from.sll_pkttype == PACKET_OUTGOING || static_cast<std::size_t>(n) > sizeof buf) {
            msg.msg_namelen = sizeof from;
            msg.msg_controllen = sizeof control;
            continue;
        }
        LinkPacket p;
        p.data.assign(buf, buf + n);
        p.link_broadcast = from.sll_pkttype == PACKET_BROADCAST;
        if (from.sll_halen == p.link_source.size())
            std::memcpy(p.link_source.data(), from.sll_addr, p.link_source.size());
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA) {
                tpacket_auxdata aux;
                std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
                p.checksum_final = !(aux.tp_status & TP_STATUS_CSUMNOTREADY);
            }
        }
        return p;
    }
}

Fd open_tcp_listener(std::uint16_t port) {
    Fd fd = open_bound(SOCK_STREAM, port, "SOCK_STREAM");
    if (::listen(fd.get(), 16) < 0)
        throw SysError(errno_text("listen"));
    return fd;
}

std::string ipv4_text(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", v >> 24, v >> 16 & 0xff, v >> 8 & 0xff, v & 0xff);
    return buf;
}

void run_program(const std::vector<std::string>& argv) {
    std::string shown;
    for (const auto& a : argv)
        shown += (shown.empty() ? "" : " ") + a;
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    std::fflush(nullptr); // buffered output must not be written twice
    const pid_t pid = ::fork();
    if (pid < 0)
        throw SysError(errno_text("fork"));
    if (pid == 0) {
        // The stop signals are blocked for our signalfd; the child must not
        // inherit that.
        sigset_t all;
        sigfillset(&all);
        ::sigprocmask(SIG_UNBLOCK, &all, nullptr);
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        ::execvp(args[0], args.data());
        std::fprintf(stderr, "tavisol-sim: cannot run %s: %s\n", args[0], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw SysError(errno_text("waitpid"));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw SysError("'" + shown + "' failed (" +
                       (WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                          : "signal " + std::to_string(WTERMSIG(status))) +
                       ")");
}

void set_ipv4(const std::string& iface, std::uint32_t address, int prefix, std::uint32_t router) {
    run_program({"ip", "-4", "addr", "flush", "dev", iface});
    run_program({"ip", "-4", "route", "flush", "dev", iface});
    if (prefix < 0)
        return;
    const std::string a = ipv4_text(address) + "/" + std::to_string(prefix);
    if (prefix <= 30)
        run_program({"ip", "-4", "addr", "add", a, "brd", "+", "dev", iface});
    else
        run_program({"ip", "-4", "addr", "add", a, "dev", iface});
    if (!router)
        return;
    std::vector<std::string> route{"ip",  "-4", "route", "add", "default", "via", ipv4_text(router),
                                   "dev", iface};
    // A router outside the granted subnet is taken as reachable on the link,
    // as client scripts commonly do, rather than refused by the kernel.
    const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
    if ((router & mask) != (address & mask))
        route.push_back("onlink");
    run_program(route);
}

namespace {

std::optional<std::pair<dev_t, ino_t>> net_namespace_of(const std::string& pid) {
    struct stat st {};
    if (::stat(("/proc/" + pid + "/ns/net").c_str(), &st) < 0)
        return std::nullopt;
    return std::pair(st.st_dev, st.st_ino);
}

pid_t parent_of(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')'); // the command name may contain anything
    char state;
    int ppid = 0;
    if (close == std::string::npos ||
        std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2)
        return 0;
    return ppid;
}

} // namespace

bool in_separate_net_namespace() {
    const auto self = net_namespace_of("self");
    if (!self)
        return false;
    // Process 1's namespace is often unreadable, even to root, inside a
    // sandbox; whoever started us is not. A lab node is entered from the
    // outside, so some ancestor is still in the namespace we left.
    for (pid_t p = ::getppid(); p > 1; p = parent_of(p)) {
        const auto ns = net_namespace_of(std::to_string(p));
        if (ns && *ns != *self)
            return true;
    }
    return false;
}

Fd open_stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    if (::sigprocmask(SIG_BLOCK, &set, nullptr) < 0)
        throw SysError(errno_text("sigprocmask"));
    Fd fd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (fd.get() < 0)
        throw SysError(errno_text("signalfd"));
    return fd;
}

} // namespace sim
