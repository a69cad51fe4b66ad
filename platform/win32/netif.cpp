// The interface list on Windows: IP Helper's adapter addresses, which name each adapter and
// give its index, operational state, type and every unicast address with its prefix length.
#include "platform/netif.h"

#include <iphlpapi.h>

#include <vector>

namespace {

std::string NarrowName(const wchar_t* pszWide) {
    if (!pszWide)
        return {};
    int n = ::WideCharToMultiByte(CP_ACP, 0, pszWide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string strName(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, pszWide, -1, strName.data(), n, nullptr, nullptr);
    strName.resize(static_cast<std::size_t>(n - 1));
    return strName;
}

DWORD MaskOfPrefix(unsigned nPrefix) {
    if (nPrefix == 0)
        return 0;
    if (nPrefix >= 32)
        return 0xFFFFFFFFu;
    return htonl(0xFFFFFFFFu << (32 - nPrefix));
}

// Point-to-point links and tunnels have no broadcast; everything else that Windows lists
// (Ethernet, Wi-Fi, virtual switches) has.
bool CanBroadcast(IFTYPE type) {
    return type != IF_TYPE_PPP && type != IF_TYPE_TUNNEL && type != IF_TYPE_SOFTWARE_LOOPBACK;
}

} // namespace

std::vector<NET_INTERFACE> GetNetInterfaces() {
    std::vector<NET_INTERFACE> interfaces;
    const ULONG ulFlags =
        GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // The list can grow between the size query and the call: a few tries.
    std::vector<BYTE> buffer(16 * 1024);
    ULONG ulSize = static_cast<ULONG>(buffer.size());
    ULONG ulResult = ERROR_BUFFER_OVERFLOW;
    for (int nTry = 0; nTry < 4 && ulResult == ERROR_BUFFER_OVERFLOW; ++nTry) {
        ulResult =
            ::GetAdaptersAddresses(AF_INET, ulFlags, nullptr,
                                   reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &ulSize);
        if (ulResult == ERROR_BUFFER_OVERFLOW)
            buffer.resize(ulSize);
    }
    if (ulResult != NO_ERROR) {
        ::WSASetLastError(ulResult == ERROR_NOT_ENOUGH_MEMORY ? WSAENOBUFS : WSAEINVAL);
        return interfaces;
    }
    for (auto* pAdapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); pAdapter;
         pAdapter = pAdapter->Next) {
        for (auto* pUnicast = pAdapter->FirstUnicastAddress; pUnicast; pUnicast = pUnicast->Next) {
            const SOCKADDR* pAddr = pUnicast->Address.lpSockaddr;
            if (!pAddr || pAddr->sa_family != AF_INET)
                continue;
            NET_INTERFACE entry{};
            entry.strName = NarrowName(pAdapter->FriendlyName);
            entry.dwIndex = pAdapter->IfIndex;
            entry.dwAddr = reinterpret_cast<const sockaddr_in*>(pAddr)->sin_addr.s_addr;
            entry.dwMask = MaskOfPrefix(pUnicast->OnLinkPrefixLength);
            entry.bUp = pAdapter->OperStatus == IfOperStatusUp;
            entry.bLoopback = pAdapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
            entry.bBroadcast = CanBroadcast(pAdapter->IfType);
            interfaces.push_back(entry);
        }
    }
    return interfaces;
}
