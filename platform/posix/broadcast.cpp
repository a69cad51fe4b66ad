#include "platform/posix/broadcast.h"

#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <set>
#include <sys/socket.h>

namespace tvposix {

ssize_t SendOnEveryBroadcastInterface(int fd, const void* buf, std::size_t n, int flags,
                                      const sockaddr_in& to) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return -1;
    int lastError = ENETUNREACH;
    bool sent = false;
    std::set<unsigned> done;
    for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(ifa->ifa_flags & IFF_UP) || !(ifa->ifa_flags & IFF_BROADCAST) ||
            (ifa->ifa_flags & IFF_LOOPBACK))
            continue;
        unsigned index = ::if_nametoindex(ifa->ifa_name);
        if (index == 0 || !done.insert(index).second)
            continue;
        // The interface named in IP_PKTINFO takes the datagram without a route lookup, from
        // that interface's own address.
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(index);
        info.ipi_spec_dst = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr;
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
        if (::sendmsg(fd, &msg, flags) >= 0)
            sent = true;
        else
            lastError = errno;
    }
    ::freeifaddrs(list);
    if (!sent) {
        errno = lastError;
        return -1;
    }
    return static_cast<ssize_t>(n);
}

} // namespace tvposix
