// The interface list on Linux: getifaddrs, whose IPv4 entries carry address, mask and the
// interface flags, one entry per address in the kernel's order (primary address first).
#include "platform/netif.h"

#include <cerrno>
#include <ifaddrs.h>
#include <net/if.h>

std::vector<NET_INTERFACE> GetNetInterfaces() {
    std::vector<NET_INTERFACE> interfaces;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        WSASetLastError(errno == ENOMEM ? WSAENOBUFS : WSAEINVAL);
        return interfaces;
    }
    for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        NET_INTERFACE entry{};
        entry.strName = ifa->ifa_name;
        entry.dwIndex = ::if_nametoindex(ifa->ifa_name);
        entry.dwAddr = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
        if (ifa->ifa_netmask && ifa->ifa_netmask->sa_family == AF_INET)
            entry.dwMask = reinterpret_cast<const sockaddr_in*>(ifa->ifa_netmask)->sin_addr.s_addr;
        entry.bUp = (ifa->ifa_flags & IFF_UP) != 0;
        entry.bBroadcast = (ifa->ifa_flags & IFF_BROADCAST) != 0;
        entry.bLoopback = (ifa->ifa_flags & IFF_LOOPBACK) != 0;
        interfaces.push_back(entry);
    }
    ::freeifaddrs(list);
    return interfaces;
}
