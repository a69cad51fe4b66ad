// The "No IP" listing: an appliance without an address keeps broadcasting BOOTP/DHCP
// requests to UDP 67. A request of exactly 548 bytes that carries the family's marker
// text is listed once per host name, with "No IP" as its address, and its host name and
// hardware-address text are remembered side by side for the assign dialog.
#include "app/Globals.h"
#include "app/VellumcrestUIDlg.h"
#include "proto/hwaddr.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {
// The host-name field: 19 characters and a NUL. A longer option 12 is cut to 19
// characters; the appliance is still listed, under the name it would show.
constexpr std::size_t kHostNameField = 20;
} // namespace

LRESULT CVellumcrestUIDlg::OnBootpSearchAsynch(WPARAM, LPARAM lParam) {
    if (WSAGETSELECTERROR(lParam) != 0)
        ShowAsyncError(lParam);

    if (WSAGETSELECTEVENT(lParam) == FD_READ) {
        std::memset(m_bootpRecvBuf, 0, sizeof m_bootpRecvBuf);
        sockaddr_in from{};
        int nFromLen = sizeof from;
        int nReceived = recvfrom(g_hBootpSearchSocket, reinterpret_cast<char*>(m_bootpRecvBuf),
                                 BOOTP_RECV_SIZE, 0, reinterpret_cast<sockaddr*>(&from), &nFromLen);
        if (nReceived == SOCKET_ERROR) {
            WSAGetLastError();
        } else {
            std::span<const std::uint8_t> packet(m_bootpRecvBuf, BOOTP_RECV_SIZE);
            bool bMarker = HasBootpMarker(packet);

            std::printf("BOOTP options\n");
            std::fflush(stdout);

            char szHostName[kHostNameField] = {};
            auto hostName = FindDiscoveryHostName(packet);
            if (hostName) {
                std::size_t n = std::min(hostName->size(), kHostNameField - 1);
                std::memcpy(szHostName, hostName->data(), n);
            }

            // A request with no host-name option is passed over: the responder recognises
            // an appliance by that option, so such a row could never be given an address.
            if (nReceived == static_cast<int>(BOOTP_RECV_SIZE) && bMarker && hostName) {
                if (IsHostListed(szHostName)) {
                    ShowStatusIcon(IDI_STATUS_IDLE);
                    return 0;
                }
                InsertDeviceRow("No IP", szHostName);

                char szHwAddr[18] = {};
                FormatHardwareAddress(
                    std::span<const std::uint8_t, 6>(m_bootpRecvBuf + BOOTP_PACKET::CHADDR, 6),
                    std::span<char, 18>(szHwAddr, 18));
                m_arrHostNames.SetAtGrow(m_arrHostNames.GetSize(), szHostName);
                m_arrHwAddrs.SetAtGrow(m_arrHwAddrs.GetSize(), szHwAddr);

                if (m_listDevices.GetItemCount() > 0)
                    GetDlgItem(IDC_WEB_BROWSER)->EnableWindow(TRUE);
            }
        }
    }

    ShowStatusIcon(IDI_STATUS_IDLE);
    RedrawNow();
    return 0;
}
