// Linux socket calls behind the simulator. Everything here reports failure by
// throwing SysError with errno spelled out, because the simulator is run by
// tests whose logs are the only place a misconfigured lab becomes visible.
#include "net.hpp"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

Fd open_udp_listener(std::uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        throw SysError(errno_text("socket(AF_INET, SOCK_DGRAM)"));
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

std::optional<Datagram> receive(int fd) {
    // Large enough for any UDP payload, so an oversized probe is seen at its
    // full length and rejected rather than silently cut to something valid.
    static std::uint8_t buf[65536];
    Datagram d;
    socklen_t alen = sizeof d.from;
    ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&d.from), &alen);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return std::nullopt;
        throw SysError(errno_text("recvfrom"));
    }
    d.data.assign(buf, buf + n);
    return d;
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

void send_frame(int fd, const Interface& iface, const Bytes& frame) {
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_IP);
    to.sll_ifindex = iface.index;
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xff, 6);
    ssize_t n = ::sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof to);
    if (n < 0)
        throw SysError(errno_text("sendto(AF_PACKET)"));
    if (static_cast<std::size_t>(n) != frame.size())
        throw SysError("short write on packet socket");
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
