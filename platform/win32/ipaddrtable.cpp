// GetIpAddrTable over Windows Sockets. The program asks the table only for the mask of its
// own address; the interface list of Windows Sockets carries address and mask of every IPv4
// interface, and so the executable needs no IP Helper DLL.
#include "platform/winapi.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

// The interface list, or false when Windows Sockets cannot give it.
bool InterfaceList(std::vector<INTERFACE_INFO>& out) {
    // The socket library is reference counted: this start and cleanup leave the program's
    // own start untouched, and the call also works before the program has started it.
    WSADATA wsaData;
    if (::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0)
        return false;
    bool ok = false;
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s != INVALID_SOCKET) {
        for (std::size_t capacity = 16; capacity <= 4096; capacity *= 4) {
            out.assign(capacity, INTERFACE_INFO{});
            DWORD bytes = 0;
            if (::WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, out.data(),
                           static_cast<DWORD>(out.size() * sizeof(INTERFACE_INFO)), &bytes, nullptr,
                           nullptr) == 0) {
                out.resize(bytes / sizeof(INTERFACE_INFO));
                ok = true;
                break;
            }
            if (::WSAGetLastError() != WSAEFAULT)
                break;
        }
        ::closesocket(s);
    }
    ::WSACleanup();
    return ok;
}

} // namespace

extern "C" DWORD WINAPI GetIpAddrTable(PMIB_IPADDRTABLE pIpAddrTable, PULONG pdwSize,
                                       WINBOOL bOrder) {
    if (!pdwSize)
        return ERROR_INVALID_PARAMETER;
    std::vector<INTERFACE_INFO> interfaces;
    if (!InterfaceList(interfaces))
        return ERROR_NOT_SUPPORTED;

    std::vector<MIB_IPADDRROW> rows;
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        const INTERFACE_INFO& info = interfaces[i];
        if (info.iiAddress.Address.sa_family != AF_INET)
            continue;
        MIB_IPADDRROW row{};
        row.dwAddr = info.iiAddress.AddressIn.sin_addr.s_addr;
        row.dwMask = info.iiNetmask.AddressIn.sin_addr.s_addr;
        // The list names no interface index; its position stands in for one.
        row.dwIndex = static_cast<DWORD>(i + 1);
        // IP Helper gives the low bit of the broadcast address, always 1 for IPv4.
        row.dwBCastAddr = 1;
        row.dwReasmSize = 0xFFFF;
        row.wType = MIB_IPADDR_PRIMARY;
        rows.push_back(row);
    }
    if (bOrder)
        std::sort(rows.begin(), rows.end(), [](const MIB_IPADDRROW& a, const MIB_IPADDRROW& b) {
            return ntohl(a.dwAddr) < ntohl(b.dwAddr);
        });

    const ULONG needed =
        static_cast<ULONG>(offsetof(MIB_IPADDRTABLE, table) +
                           std::max<std::size_t>(rows.size(), 1) * sizeof(MIB_IPADDRROW));
    if (!pIpAddrTable || *pdwSize < needed) {
        *pdwSize = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    pIpAddrTable->dwNumEntries = static_cast<DWORD>(rows.size());
    if (!rows.empty())
        std::memcpy(pIpAddrTable->table, rows.data(), rows.size() * sizeof(MIB_IPADDRROW));
    return NO_ERROR;
}
