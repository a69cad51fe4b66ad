// Opens the one socket a request names. The port, address, family, type and protocol are
// constants here: nothing of the request reaches a system call but an interface name that
// request.cpp has checked and that the kernel then knows by its index.
#include "platform/posix/sockets-helper/open_socket.h"

#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tvhelper {

namespace {

constexpr int kBootpServerPort = 67;

OpenedSocket Failed(const std::string& what, int error, int fd = -1) {
    if (fd >= 0)
        ::close(fd);
    return {-1, error, what + ": " + std::strerror(error)};
}

OpenedSocket OpenBootpServer() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        return Failed("cannot open a UDP socket", errno);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(kBootpServerPort);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
        return Failed("cannot bind UDP port 67", errno, fd);
    return {fd, 0, {}};
}

OpenedSocket OpenRawIcmp() {
    int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0)
        return Failed("cannot open a raw ICMP socket", errno);
    return {fd, 0, {}};
}

OpenedSocket OpenArpPacket(const std::string& interface) {
    if (!IsValidInterfaceName(interface))
        return {-1, EINVAL, "not a valid interface name"};
    const unsigned index = ::if_nametoindex(interface.c_str());
    if (index == 0)
        return Failed("no interface " + interface, errno);
    // Protocol 0 receives nothing until the bind names ARP and the interface, so no frame of
    // another interface is ever queued on the socket.
    int fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Failed("cannot open a packet socket", errno);
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ARP);
    link.sll_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&link), sizeof link) != 0)
        return Failed("cannot bind a packet socket to " + interface, errno, fd);
    return {fd, 0, {}};
}

} // namespace

OpenedSocket OpenRequestedSocket(const SocketRequest& request) {
    switch (request.kind) {
    case SocketKind::BootpServer:
        return OpenBootpServer();
    case SocketKind::RawIcmp:
        return OpenRawIcmp();
    case SocketKind::ArpPacket:
        return OpenArpPacket(request.interface);
    }
    return {-1, EINVAL, "unknown socket kind"};
}

int SocketOption(int fd, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, option, &value, &length) != 0)
        return -1;
    return value;
}

int CapabilityFor(SocketKind kind) {
    return kind == SocketKind::BootpServer ? CAP_NET_BIND_SERVICE : CAP_NET_RAW;
}

} // namespace tvhelper
