// The Windows API header renames the C library's socket() while it reads the system's socket
// headers, so it comes before anything else that reads them.
#include "platform/netif.h"

#include "platform/posix/broadcast.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace tvposix {

ssize_t SendBroadcastWithoutRoute(int fd, const void* buf, std::size_t n, int flags,
                                  const sockaddr_in& to) {
    for (const NET_INTERFACE& entry : GetNetInterfaces()) {
        if (!entry.CarriesBroadcast() || entry.dwIndex == 0)
            continue;
        // The interface named in IP_PKTINFO takes the datagram without a route lookup, from
        // that interface's own address.
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(entry.dwIndex);
        info.ipi_spec_dst.s_addr = entry.dwAddr;
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof info)] = {};
        iovec iov{const_cast<void*>(buf), n};
        msghdr msg{};
        sockaddr_in dest = to;
        msg.msg_name = &dest;
        msg.msg_namelen = sizeof dest;
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
    errno = ENETUNREACH;
    return -1;
}

} // namespace tvposix
