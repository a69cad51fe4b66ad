// Datagrams by a named interface on Windows: WSARecvMsg reports the arrival interface in its
// IN_PKTINFO, and WSASendMsg takes the interface to leave by in one.
//
// Wine hands WSASendMsg's control data to nobody (a send leaves by the routing table there),
// but it passes IP_UNICAST_IF on to the system, where that steers a limited broadcast too. The
// send therefore names the interface both ways; on Windows the two agree.
#include "platform/ifsocket.h"

#include <mswsock.h>

#include <cstring>

namespace {

LPFN_WSARECVMSG RecvMsgOf(SOCKET s) {
    // The provider's function, the same for every datagram socket of the process.
    static LPFN_WSARECVMSG s_pRecvMsg = nullptr;
    if (!s_pRecvMsg) {
        GUID guid = WSAID_WSARECVMSG;
        DWORD dwBytes = 0;
        LPFN_WSARECVMSG pFound = nullptr;
        if (::WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &pFound,
                       sizeof pFound, &dwBytes, nullptr, nullptr) == 0)
            s_pRecvMsg = pFound;
    }
    return s_pRecvMsg;
}

// IP_UNICAST_IF takes the index in network order; 0 lets the routing table choose again.
int SetUnicastInterface(SOCKET s, DWORD dwIfIndex) {
    DWORD dwValue = htonl(dwIfIndex);
    return ::setsockopt(s, IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char*>(&dwValue),
                        sizeof dwValue);
}

} // namespace

int RecvFromInterface(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen,
                      DWORD* pdwIfIndex) {
    if (pdwIfIndex)
        *pdwIfIndex = 0;
    LPFN_WSARECVMSG pRecvMsg = RecvMsgOf(s);
    if (!pRecvMsg)
        return ::recvfrom(s, buf, len, flags, from, fromlen);

    WSABUF data;
    data.len = static_cast<ULONG>(len);
    data.buf = buf;
    char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    WSAMSG msg{};
    msg.name = from;
    msg.namelen = fromlen ? *fromlen : 0;
    msg.lpBuffers = &data;
    msg.dwBufferCount = 1;
    msg.Control.len = sizeof control;
    msg.Control.buf = control;
    msg.dwFlags = static_cast<DWORD>(flags);
    DWORD dwReceived = 0;
    // A datagram longer than the buffer fails with WSAEMSGSIZE here as in recvfrom.
    if (pRecvMsg(s, &msg, &dwReceived, nullptr, nullptr) == SOCKET_ERROR)
        return SOCKET_ERROR;
    if (fromlen)
        *fromlen = msg.namelen;
    for (WSACMSGHDR* pHeader = WSA_CMSG_FIRSTHDR(&msg); pHeader;
         pHeader = WSA_CMSG_NXTHDR(&msg, pHeader)) {
        if (pHeader->cmsg_level == IPPROTO_IP && pHeader->cmsg_type == IP_PKTINFO && pdwIfIndex) {
            IN_PKTINFO info;
            std::memcpy(&info, WSA_CMSG_DATA(pHeader), sizeof info);
            *pdwIfIndex = info.ipi_ifindex;
        }
    }
    return static_cast<int>(dwReceived);
}

int SendToInterface(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to,
                    int tolen, DWORD dwIfIndex, DWORD dwSourceAddr) {
    if (dwIfIndex == 0) {
        ::WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    // A failure here leaves the IN_PKTINFO below to name the interface.
    SetUnicastInterface(s, dwIfIndex);

    WSABUF data;
    data.len = static_cast<ULONG>(len);
    data.buf = const_cast<char*>(buf);
    char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    WSAMSG msg{};
    msg.name = const_cast<struct sockaddr*>(to);
    msg.namelen = tolen;
    msg.lpBuffers = &data;
    msg.dwBufferCount = 1;
    msg.Control.len = sizeof control;
    msg.Control.buf = control;
    WSACMSGHDR* pHeader = WSA_CMSG_FIRSTHDR(&msg);
    pHeader->cmsg_level = IPPROTO_IP;
    pHeader->cmsg_type = IP_PKTINFO;
    pHeader->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
    IN_PKTINFO info{};
    info.ipi_addr.s_addr = dwSourceAddr;
    info.ipi_ifindex = dwIfIndex;
    std::memcpy(WSA_CMSG_DATA(pHeader), &info, sizeof info);

    DWORD dwSent = 0;
    int nResult = ::WSASendMsg(s, &msg, static_cast<DWORD>(flags), &dwSent, nullptr, nullptr);
    int nError = ::WSAGetLastError();
    SetUnicastInterface(s, 0);
    if (nResult == SOCKET_ERROR) {
        ::WSASetLastError(nError);
        return SOCKET_ERROR;
    }
    return static_cast<int>(dwSent);
}
