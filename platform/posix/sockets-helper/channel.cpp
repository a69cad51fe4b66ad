// The socket pair to the program, seen from tavisol-sockets (see channel.h).
#include "platform/posix/sockets-helper/channel.h"

#include "platform/posix/sockets-helper/open_socket.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace tvhelper {

bool IsChannel(int fd, std::string* why) {
    if (SocketOption(fd, SO_DOMAIN) != AF_UNIX || SocketOption(fd, SO_TYPE) != SOCK_SEQPACKET) {
        *why = "standard input is not the program's socket pair (AF_UNIX, SOCK_SEQPACKET)";
        return false;
    }
    return true;
}

std::optional<std::vector<unsigned char>> ReceiveRequest(int fd, int timeoutMs,
                                                         std::size_t maxBytes, std::string* why) {
    pollfd wait{fd, POLLIN, 0};
    int ready;
    do
        ready = ::poll(&wait, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        *why = "no request within " + std::to_string(timeoutMs / 1000) + " s";
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(maxBytes + 1);
    iovec part{bytes.data(), bytes.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    ssize_t n;
    do
        n = ::recvmsg(fd, &message, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        *why = std::string("cannot read the request: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (message.msg_flags & MSG_CTRUNC) {
        *why = "the request carries descriptors or credentials";
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(n));
    return bytes;
}

bool AnotherRequestWaiting(int fd) {
    unsigned char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

bool SendReply(int fd, const std::string& reply, int passFd) {
    iovec part{const_cast<char*>(reply.data()), reply.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))]{};
    if (passFd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &passFd, sizeof passFd);
    }
    ssize_t n;
    do
        n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(reply.size());
}

} // namespace tvhelper
