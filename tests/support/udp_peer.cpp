// Plain BSD sockets for the test peers.
#include "tests/support/udp_peer.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testlab {

namespace {
sockaddr_in Address(const std::string& address, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sa;
}
} // namespace

UdpPeer::UdpPeer(const std::string& address, int port) {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    ::setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    sockaddr_in sa = Address(address, port);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

UdpPeer::~UdpPeer() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool UdpPeer::SendTo(const std::string& address, int port, const Bytes& payload) {
    sockaddr_in sa = Address(address, port);
    ssize_t n = ::sendto(m_fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&sa),
                         sizeof sa);
    return n == static_cast<ssize_t>(payload.size());
}

bool UdpPeer::Receive(Bytes& payload, std::string& fromAddress, int& fromPort, int timeoutMs,
                      unsigned* arrivalIndex) {
    pollfd pfd{m_fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0)
        return false;
    payload.assign(65536, 0);
    sockaddr_in from{};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    iovec iov{payload.data(), payload.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(m_fd, &msg, 0);
    if (n < 0)
        return false;
    payload.resize(static_cast<std::size_t>(n));
    if (arrivalIndex) {
        *arrivalIndex = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                *arrivalIndex = static_cast<unsigned>(info.ipi_ifindex);
            }
        }
    }
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    fromAddress = text;
    fromPort = ntohs(from.sin_port);
    return true;
}

bool PortIsFree(int port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in sa = Address("0.0.0.0", port);
    bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return free;
}

} // namespace testlab
