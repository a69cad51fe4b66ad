// The Windows API header renames the C library's socket() while it reads the system's socket
// headers, so it comes before anything else that reads them.
#include "platform/netif.h"

#include "platform/posix/broadcast.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace tvposix {

ssize_t SendOutOfInterface(int fd, const void* buf, std::size_t n, int flags,
                           const struct sockaddr* to, socklen_t tolen, unsigned ifIndex,
                           in_addr source) {
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(ifIndex);
    info.ipi_spec_dst = source;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof info)] = {};
    iovec iov{const_cast<void*>(buf), n};
    msghdr msg{};
    msg.msg_name = const_cast<struct sockaddr*>(to);
    msg.msg_namelen = to ? tolen : 0;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = IPPROTO_IP;
    cmsg->cmsg_type = IP_PKTINFO;
    cmsg->cmsg_len = CMSG_LEN(sizeof info);
    std::memcpy(CMSG_DATA(cmsg), &info, sizeof info);
    return ::sendmsg(fd, &msg, flags);
}

ssize_t SendBroadcastWithoutRoute(int fd, const void* buf, std::size_t n, int flags,
                                  const sockaddr_in& to) {
    for (const NET_INTERFACE& entry : GetNetInterfaces()) {
        if (!entry.CarriesBroadcast() || entry.dwIndex == 0)
            continue;
        in_addr source{};
        source.s_addr = entry.dwAddr;
        return SendOutOfInterface(fd, buf, n, flags, reinterpret_cast<const sockaddr*>(&to),
                                  sizeof to, entry.dwIndex, source);
    }
    errno = ENETUNREACH;
    return -1;
}

} // namespace tvposix
