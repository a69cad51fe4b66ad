// gethostbyname with the Windows answer for the local host name: the host's own LAN
// addresses. Linux systems commonly map their own name to 127.0.1.1 in /etc/hosts, which
// would make a server announce a loopback address to the LAN; Windows answers with the
// addresses of its interfaces instead, and the program relies on that.
#include "platform/winapi.h"

#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <sstream>
#include <string>
#include <vector>

namespace libc {
extern "C" struct hostent* gethostbyname(const char* name);
} // namespace libc

namespace {

// The interface that holds the IPv4 default route, or empty.
std::string DefaultRouteInterface() {
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line); // heading
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
        fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask;
        if (destination == "00000000" && mask == "00000000")
            return iface;
    }
    return {};
}

// The IPv4 addresses of the interfaces that are up and not loopback, the default route's
// interface first, otherwise in the system's order.
std::vector<in_addr> LanAddresses() {
    std::vector<in_addr> preferred, others;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return {};
    std::string defaultIface = DefaultRouteInterface();
    for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(ifa->ifa_flags & IFF_UP) || (ifa->ifa_flags & IFF_LOOPBACK))
            continue;
        in_addr addr = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr;
        (ifa->ifa_name == defaultIface ? preferred : others).push_back(addr);
    }
    ::freeifaddrs(list);
    preferred.insert(preferred.end(), others.begin(), others.end());
    return preferred;
}

struct HostEntry {
    hostent entry{};
    std::string name;
    std::vector<in_addr> addresses;
    std::vector<char*> addressList;
    char* noAliases[1] = {nullptr};
};

// One entry for the process: the program asks from its one user-interface thread, and the
// answer lives until the next call, as the Windows one does for its thread.
HostEntry g_entry;

bool IsLocalHostName(const char* name) {
    char local[256] = "";
    if (::gethostname(local, sizeof local - 1) != 0)
        return false;
    return std::strcmp(name, local) == 0;
}

} // namespace

DWORD GetIpAddrTable(PMIB_IPADDRTABLE pIpAddrTable, unsigned long* pdwSize, BOOL) {
    if (!pdwSize)
        return ERROR_INVALID_PARAMETER;
    std::vector<MIB_IPADDRROW> rows;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
            if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET)
                continue;
            MIB_IPADDRROW row{};
            row.dwAddr = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
            if (ifa->ifa_netmask)
                row.dwMask =
                    reinterpret_cast<const sockaddr_in*>(ifa->ifa_netmask)->sin_addr.s_addr;
            row.dwIndex = if_nametoindex(ifa->ifa_name);
            row.dwBCastAddr = 1;
            row.dwReasmSize = 65535;
            rows.push_back(row);
        }
        ::freeifaddrs(list);
    }
    unsigned long needed = static_cast<unsigned long>(
        sizeof(MIB_IPADDRTABLE) + (rows.empty() ? 0 : rows.size() - 1) * sizeof(MIB_IPADDRROW));
    if (!pIpAddrTable || *pdwSize < needed) {
        *pdwSize = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    pIpAddrTable->dwNumEntries = static_cast<DWORD>(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        pIpAddrTable->table[i] = rows[i];
    return NO_ERROR;
}

struct hostent* gethostbyname(const char* name) {
    if (!name)
        return nullptr;
    if (IsLocalHostName(name)) {
        std::vector<in_addr> addresses = LanAddresses();
        if (!addresses.empty()) {
            HostEntry& e = g_entry;
            e.name = name;
            e.addresses = std::move(addresses);
            e.addressList.clear();
            for (in_addr& a : e.addresses)
                e.addressList.push_back(reinterpret_cast<char*>(&a));
            e.addressList.push_back(nullptr);
            e.entry.h_name = e.name.data();
            e.entry.h_aliases = e.noAliases;
            e.entry.h_addrtype = AF_INET;
            e.entry.h_length = sizeof(in_addr);
            e.entry.h_addr_list = e.addressList.data();
            return &e.entry;
        }
    }
    return libc::gethostbyname(name);
}
