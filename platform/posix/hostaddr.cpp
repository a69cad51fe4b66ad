// gethostbyname with the Windows answer for the local host name: the host's own LAN
// addresses. Linux systems commonly map their own name to 127.0.1.1 in /etc/hosts, which
// would make a server announce a loopback address to the LAN; Windows answers with the
// addresses of its interfaces instead, and the program relies on that.
#include "platform/netif.h"
#include "platform/posix/libc_sockets.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
    std::string defaultIface = DefaultRouteInterface();
    for (const NET_INTERFACE& entry : GetNetInterfaces()) {
        if (!entry.bUp || entry.bLoopback)
            continue;
        in_addr addr{};
        addr.s_addr = entry.dwAddr;
        (entry.strName == defaultIface ? preferred : others).push_back(addr);
    }
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
