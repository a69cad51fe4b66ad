// The assign dialog's one-shot BOOTP/DHCP responder (RFC 951, RFC 2131, RFC 2132).
//
// It listens on UDP 67 from the moment the dialog opens, keeps only the requests of the
// chosen appliance (its hardware address and the host name of its row, then the host name of
// its first request), and answers nothing until "Assign IP" has armed it. Armed, it
// broadcasts a 300-byte reply to port 68 for every accepted request: DHCPOFFER for
// DHCPDISCOVER, DHCPACK for DHCPREQUEST, a plain BOOTP reply for a request without a message
// type. The DHCPACK ends the dialog with IDOK.
//
// On a workstation with several interfaces each reply leaves by the interface the request
// came in by, and by no other, with that interface's address as the server identifier
// (option 54) and siaddr: the appliance's segment is the only one it concerns, and a reply on
// another would reach strangers and name an address the appliance cannot answer.
#include "assign/AddressAssignDlg.h"

#include "app/Globals.h"
#include "platform/ifsocket.h"
#include "platform/netif.h"
#include "proto/address.h"
#include "proto/bootp_reply.h"
#include "proto/hwaddr.h"

#include <algorithm>
#include <cstring>

namespace {
std::array<std::uint8_t, 4> AddressBytes(DWORD dwNetworkOrder) {
    std::array<std::uint8_t, 4> bytes;
    std::memcpy(bytes.data(), &dwNetworkOrder, 4);
    return bytes;
}

std::span<const std::uint8_t> Request(const BYTE* pRequest) {
    return std::span<const std::uint8_t>(pRequest, BOOTP_RECV_SIZE);
}

// A host name as a row of the list shows it: the 19 characters the row holds, up to a NUL,
// and as the list's duplicate check reads it, without trailing white space.
CString ListedName(std::span<const std::uint8_t> value) {
    char szName[20] = {};
    std::memcpy(szName, value.data(), std::min(value.size(), sizeof szName - 1));
    CString strName = szName;
    strName.TrimRight();
    return strName;
}

// Whether a request of the chosen hardware address may be the first one remembered. Anyone
// can send with any hardware address, so the name it would be remembered under (its first
// option 12, the one HandleBootRequest keeps) must be the chosen row's, the two compared as
// the list compares names: as rows hold them, trimmed, in any letter case. A row whose name
// is empty is matched only by a request whose name is empty too; a request without a name
// was never listed, so it never names a row.
bool NamesTheChosenAppliance(const BYTE* pRequest) {
    auto hostName = ReadBootRequest(Request(pRequest)).hostName;
    if (!hostName)
        return false;
    CString strChosen = g_strDeviceName.Left(19);
    strChosen.TrimRight();
    return ListedName(*hostName).CompareNoCase(strChosen) == 0;
}

// Whether a request carries a server identifier (option 54) other than ours. An appliance
// that heard offers from several servers names the one it takes (RFC 2131, 4.3.2).
bool NamesAnotherServer(const BYTE* pRequest, DWORD dwOwnAddress) {
    bool bOther = false;
    WalkBootpOptions(Request(pRequest), [&](const BootpOption& option) {
        if (option.code != OPTION_SERVER_ID)
            return BootpWalkStep::Continue;
        bOther = option.length() != 4 || std::memcmp(option.value.data(), &dwOwnAddress, 4) != 0;
        return BootpWalkStep::Stop;
    });
    return bOther;
}
} // namespace

int CAddressAssignDlg::OpenResponderSocket() {
    m_hBootpSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_hBootpSocket == INVALID_SOCKET) {
        WSAGetLastError();
        return 0;
    }
    DWORD dwTimeout = 500;
    int nBroadcast = 1;
    if (setsockopt(m_hBootpSocket, SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<const char*>(&dwTimeout), sizeof dwTimeout) == SOCKET_ERROR ||
        setsockopt(m_hBootpSocket, SOL_SOCKET, SO_SNDTIMEO,
                   reinterpret_cast<const char*>(&dwTimeout), sizeof dwTimeout) == SOCKET_ERROR ||
        setsockopt(m_hBootpSocket, SOL_SOCKET, SO_BROADCAST,
                   reinterpret_cast<const char*>(&nBroadcast), sizeof nBroadcast) == SOCKET_ERROR) {
        WSAGetLastError();
        return 0;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(67);
    if (bind(m_hBootpSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
        WSAGetLastError();
        return 0;
    }
    // Each request then tells the interface it came in by. Without it the replies go where
    // the system sends a broadcast, as they did before there was a choice.
    int nPacketInfo = 1;
    if (setsockopt(m_hBootpSocket, IPPROTO_IP, IP_PKTINFO,
                   reinterpret_cast<const char*>(&nPacketInfo), sizeof nPacketInfo) == SOCKET_ERROR)
        WSAGetLastError();
    if (WSAAsyncSelect(m_hBootpSocket, m_hWnd, WM_BOOTP_ASYNCH, FD_READ) == SOCKET_ERROR) {
        WSAGetLastError();
        return 0;
    }
    return 0;
}

LRESULT CAddressAssignDlg::OnBootpAsynch(WPARAM, LPARAM lParam) {
    if (WSAGETSELECTERROR(lParam) != 0) {
        char szText[100];
        wsprintfA(szText, "WSAAsynch Event # %u, Error: %u",
                  static_cast<unsigned>(WSAGETSELECTEVENT(lParam)),
                  static_cast<unsigned>(WSAGETSELECTERROR(lParam)));
        MessageBox(szText, "CVellumcrestUIDlg::OnPINGAsynch", MB_OK | MB_SYSTEMMODAL);
    }

    if (WSAGETSELECTEVENT(lParam) == FD_READ) {
        std::memset(g_bootpRecvBuf, 0, sizeof g_bootpRecvBuf);
        sockaddr_in from{};
        int nFromLen = sizeof from;
        if (RecvFromInterface(m_hBootpSocket, reinterpret_cast<char*>(g_bootpRecvBuf),
                              BOOTP_RECV_SIZE, 0, reinterpret_cast<sockaddr*>(&from), &nFromLen,
                              &m_dwRequestInterface) == SOCKET_ERROR) {
            WSAGetLastError();
        } else {
            char szHwAddr[18] = {};
            FormatHardwareAddress(
                std::span<const std::uint8_t, 6>(g_bootpRecvBuf + BOOTP_PACKET::CHADDR, 6),
                std::span<char, 18>(szHwAddr, 18));
            if (m_strHardwareAddress.CompareNoCase(szHwAddr) == 0) {
                if (m_assignInfo.byState == 0 ? NamesTheChosenAppliance(g_bootpRecvBuf)
                                              : MatchHostName(g_bootpRecvBuf))
                    HandleBootRequest(g_bootpRecvBuf);
            }
        }
    }

    if (::IsWindow(m_hWnd)) {
        InvalidateRect(m_hWnd, nullptr, FALSE);
        ::UpdateWindow(m_hWnd);
    }
    return 0;
}

BOOL CAddressAssignDlg::MatchHostName(const BYTE* pRequest) {
    if (!IsBootRequest(Request(pRequest)))
        return FALSE;
    // The remembered name holds 32 bytes; a longer option is compared over those 32, the
    // part that could be remembered of it.
    auto remembered = std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(m_assignInfo.szHostName),
        sizeof m_assignInfo.szHostName);
    return HostNameOptionMatches(Request(pRequest), remembered) ? TRUE : FALSE;
}

BOOL CAddressAssignDlg::FindServerAddress() {
    // The interface the request came in by, and its primary address (the first listed).
    if (m_dwRequestInterface != 0) {
        for (const NET_INTERFACE& entry : GetNetInterfaces()) {
            if (entry.dwIndex != m_dwRequestInterface)
                continue;
            if (entry.CarriesBroadcast() && entry.dwAddr != 0) {
                m_dwServerAddr = entry.dwAddr;
                return TRUE;
            }
            break;
        }
    }
    // Not one a reply can go out of (loopback, or gone meanwhile), or not known: the host's
    // own address as the system gives it, and the reply where the system sends a broadcast.
    m_dwRequestInterface = 0;
    if (gethostname(m_szLocalHostName, sizeof m_szLocalHostName) != 0) {
        WSAGetLastError();
        return FALSE;
    }
    hostent* pHost = gethostbyname(m_szLocalHostName);
    if (!pHost || !pHost->h_addr_list[0]) {
        WSAGetLastError();
        return FALSE;
    }
    std::memcpy(&m_dwServerAddr, pHost->h_addr_list[0], sizeof m_dwServerAddr);
    return TRUE;
}

void CAddressAssignDlg::HandleBootRequest(const BYTE* pRequest) {
    if (!FindServerAddress())
        return;

    if (!IsBootRequest(Request(pRequest)))
        return;

    m_assignInfo.byKind = HasBootpMarker(Request(pRequest)) ? 2 : 1;

    BootRequestOptions options = ReadBootRequest(Request(pRequest));
    if (options.hostName) {
        // Exactly the option's bytes, no terminator; what lies beyond keeps its contents.
        std::size_t n = std::min(options.hostName->size(), sizeof m_assignInfo.szHostName);
        std::memcpy(m_assignInfo.szHostName, options.hostName->data(), n);
    }
    int nMessageType = options.messageType == BOOTP_NO_MESSAGE_TYPE ? 0 : options.messageType;

    if (m_assignInfo.byState != 3) {
        std::memcpy(m_assignInfo.byHwAddr, pRequest + BOOTP_PACKET::CHADDR,
                    sizeof m_assignInfo.byHwAddr);
        m_assignInfo.byState = 3;
    }

    if (m_assignInfo.szIP[0] == '\0')
        return; // not armed: watch only

    // The appliance takes another server's offer: that server acknowledges it, and an
    // acknowledgement of ours besides would leave the appliance with whichever came first
    // while the list showed our address. Unanswered, the dialog ends by its time limit.
    if (nMessageType == DHCPREQUEST && NamesAnotherServer(pRequest, m_dwServerAddr))
        return;

    m_assignInfo.byMsgType = static_cast<BYTE>(nMessageType);
    std::memset(m_bootpReply, 0, sizeof m_bootpReply);
    std::memcpy(m_bootpReply, pRequest, BOOTP_PACKET::OPTIONS);

    if (SendBootReply()) {
        StopAssignTimer();
        WSACleanup();
        // The framework's OnOK, not the override (which is "Assign IP").
        CDialog::OnOK();
    }
}

BOOL CAddressAssignDlg::SendBootReply() {
    BootReplyValues values;
    values.yourAddress = AddressBytes(ClassicInetAddr(g_szAssignIP));
    values.serverAddress = AddressBytes(m_dwServerAddr);
    values.subnetMask = AddressBytes(ClassicInetAddr(m_szMask));
    values.router = AddressBytes(ClassicInetAddr(m_szGateway));
    values.requestType =
        m_assignInfo.byMsgType == 0 ? BOOTP_NO_MESSAGE_TYPE : m_assignInfo.byMsgType;
    // A release, decline or inform gets no answer: there is no reply type that fits it.
    std::array<std::uint8_t, BOOTP_PACKET::OPTIONS> request;
    std::memcpy(request.data(), m_bootpReply, request.size());
    if (!BuildBootReply(request, values, std::span<std::uint8_t, BOOTP_REPLY_SIZE>(m_bootpReply)))
        return FALSE;

    std::memset(&m_addrBootpDest, 0, sizeof m_addrBootpDest);
    m_addrBootpDest.sin_family = AF_INET;
    m_addrBootpDest.sin_port = htons(68);
    m_addrBootpDest.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    const char* pReply = reinterpret_cast<const char*>(m_bootpReply);
    const sockaddr* pDest = reinterpret_cast<const sockaddr*>(&m_addrBootpDest);
    int nSent =
        m_dwRequestInterface != 0
            ? SendToInterface(m_hBootpSocket, pReply, static_cast<int>(BOOTP_REPLY_SIZE), 0, pDest,
                              sizeof m_addrBootpDest, m_dwRequestInterface, m_dwServerAddr)
            : sendto(m_hBootpSocket, pReply, static_cast<int>(BOOTP_REPLY_SIZE), 0, pDest,
                     sizeof m_addrBootpDest);
    if (nSent == SOCKET_ERROR) {
        WSAGetLastError();
        return FALSE;
    }
    if (m_assignInfo.byMsgType != DHCPREQUEST)
        return FALSE;
    if (m_assignInfo.byKind == 2) {
        m_assignInfo.byState = 3;
        UpdateTitle(m_hWnd, FALSE);
    }
    g_dwAssignedInterface = m_dwRequestInterface;
    g_bAssigned = 1;
    return TRUE;
}
