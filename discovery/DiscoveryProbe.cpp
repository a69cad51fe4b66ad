// The discovery exchange: the 3-byte probe "VX2" broadcast to UDP 1212 out of every interface,
// and the replies on UDP 1211, whichever interface they come in by, each listed with its
// source address and the host name it carries.
//
// Reply layout (as the appliances send it):
//
//   0                                      40        46
//   +--------------------------------------+---------+
//   | host name, NUL-terminated (40 bytes) | hw addr |
//   +--------------------------------------+---------+
//
// Only the host name is read. Any datagram on the port counts as a reply.
#include "app/Globals.h"
#include "app/VellumcrestUIDlg.h"
#include "platform/netif.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

namespace {
const char kProbe[] = "VX2";
constexpr int kReplyBufferSize = 100;
constexpr std::size_t kHostNameField = 40;
} // namespace

namespace {
// The reply listener's set-up, step by step, and the box each step's failure shows.
enum ClientPortStep { READY, CREATE, RECV_TIMEOUT, SEND_TIMEOUT, BROADCAST, BIND, SELECT };

struct ClientPortFailure {
    const char* pszText;
    const char* pszCaption;
};

const ClientPortFailure kClientPortFailures[] = {
    {nullptr, nullptr},
    {"Failed to createsock!", "createsock error"},
    {"Failed to Setsockopt!\nrecvtime", "recvtime error"},
    {"Failed to Setsockopt!\nsendtime", "sendtime error"},
    {"Failed to Setsockopt!\nbroadcast", "broadcast error"},
    {"Failed to bind CLIENT_PORT!\nError Code", "bind error"},
    {"Fail to select", "select error"},
};
} // namespace

// The probe leaves by every interface that can carry a broadcast, each from a socket bound to
// that interface's address. From an unbound socket Windows and Linux alike send a limited
// broadcast out of one interface only, the one their routing table prefers, and the
// appliances behind the others would never be found: an appliance with a factory address from
// another subnet as much as one on a second card's segment.
int CVellumcrestUIDlg::SendProbe() {
    std::vector<SOCKET> probes;
    std::set<DWORD> setInterfaces;
    for (const NET_INTERFACE& entry : GetNetInterfaces()) {
        // Once per interface, from its primary address (the first the system lists).
        if (!entry.CarriesBroadcast() || !setInterfaces.insert(entry.dwIndex).second)
            continue;
        SOCKET hProbe = OpenProbeSocket(entry.dwAddr);
        if (hProbe != INVALID_SOCKET)
            probes.push_back(hProbe);
    }
    // No interface to choose (or none that took a socket): the one probe the system sends
    // where it likes.
    if (probes.empty()) {
        SOCKET hProbe = OpenProbeSocket(htonl(INADDR_ANY));
        if (hProbe == INVALID_SOCKET)
            return 0;
        probes.push_back(hProbe);
    }

    // The reply listener is bound before the probe leaves: an appliance on a fast LAN
    // answers within microseconds, and a reply that reaches an unbound port is lost. What the
    // user sees stays as if it were opened after the send: its failure box comes once the
    // probe has left, and not at all when the probe could not be sent.
    int nFailedStep = SetUpClientPort();

    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(SERVER_PORT);
    dest.sin_addr.s_addr = htonl(INADDR_BROADCAST);

    char szBuffer[200];
    std::memcpy(szBuffer, kProbe, sizeof kProbe);
    int nSent = 0;
    for (SOCKET hProbe : probes) {
        if (sendto(hProbe, szBuffer, static_cast<int>(std::strlen(szBuffer)), 0,
                   reinterpret_cast<sockaddr*>(&dest), sizeof dest) == SOCKET_ERROR)
            WSAGetLastError();
        else
            ++nSent;
        closesocket(hProbe);
    }
    if (nSent == 0) {
        // No probe, no replies to wait for: the search goes on without a reply listener.
        StopReplyListener();
        return 0;
    }
    return ReportClientPort(nFailedStep);
}

SOCKET CVellumcrestUIDlg::OpenProbeSocket(DWORD dwLocalAddr) {
    SOCKET hProbe = socket(AF_INET, SOCK_DGRAM, 0);
    if (hProbe == INVALID_SOCKET)
        return INVALID_SOCKET;

    // Failures of the options are not reported: the send tells.
    DWORD dwTimeout = 500;
    setsockopt(hProbe, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwTimeout),
               sizeof dwTimeout);
    setsockopt(hProbe, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&dwTimeout),
               sizeof dwTimeout);
    int nBroadcast = 1;
    setsockopt(hProbe, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&nBroadcast),
               sizeof nBroadcast);

    // Bound to an interface's address, a limited broadcast leaves by that interface.
    if (dwLocalAddr != htonl(INADDR_ANY)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = dwLocalAddr;
        if (bind(hProbe, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
            WSAGetLastError();
            closesocket(hProbe);
            return INVALID_SOCKET;
        }
    }
    return hProbe;
}

int CVellumcrestUIDlg::OpenClientPort() {
    return ReportClientPort(SetUpClientPort());
}

int CVellumcrestUIDlg::ReportClientPort(int nFailedStep) {
    if (nFailedStep == READY)
        return 1;
    const ClientPortFailure& failure = kClientPortFailures[nFailedStep];
    MessageBoxA(m_hWnd, failure.pszText, failure.pszCaption, MB_OK);
    return 0;
}

int CVellumcrestUIDlg::SetUpClientPort() {
    m_hClientSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_hClientSocket == INVALID_SOCKET) {
        WSAGetLastError();
        return CREATE;
    }

    DWORD dwTimeout = 5000;
    if (setsockopt(m_hClientSocket, SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<const char*>(&dwTimeout), sizeof dwTimeout) == SOCKET_ERROR) {
        WSAGetLastError();
        return RECV_TIMEOUT;
    }
    if (setsockopt(m_hClientSocket, SOL_SOCKET, SO_SNDTIMEO,
                   reinterpret_cast<const char*>(&dwTimeout), sizeof dwTimeout) == SOCKET_ERROR) {
        WSAGetLastError();
        return SEND_TIMEOUT;
    }
    int nBroadcast = 1;
    if (setsockopt(m_hClientSocket, SOL_SOCKET, SO_BROADCAST,
                   reinterpret_cast<const char*>(&nBroadcast), sizeof nBroadcast) == SOCKET_ERROR) {
        WSAGetLastError();
        return BROADCAST;
    }

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(CLIENT_PORT);
    if (bind(m_hClientSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
        WSAGetLastError();
        return BIND;
    }
    // Every appliance on the segment answers the probe at once.
    SizeReceiveBuffer(m_hClientSocket);

    if (WSAAsyncSelect(m_hClientSocket, m_hWnd, WM_PING_ASYNCH, FD_READ) == SOCKET_ERROR) {
        WSAGetLastError();
        return SELECT;
    }
    return READY;
}

LRESULT CVellumcrestUIDlg::OnPINGAsynch(WPARAM, LPARAM lParam) {
    if (WSAGETSELECTERROR(lParam) != 0)
        ShowAsyncError(lParam);

    if (WSAGETSELECTEVENT(lParam) == FD_READ) {
        char szReply[kReplyBufferSize];
        sockaddr_in from{};
        int nFromLen = sizeof from;
        int nReceived = recvfrom(m_hClientSocket, szReply, sizeof szReply, 0,
                                 reinterpret_cast<sockaddr*>(&from), &nFromLen);
        if (nReceived == SOCKET_ERROR) {
            WSAGetLastError();
        } else {
            // The host name ends at its NUL, and never runs past its 40-byte field: a reply
            // without a NUL there ends its name at the field's end (or its own last byte).
            std::size_t nField =
                std::min<std::size_t>(static_cast<std::size_t>(nReceived), kHostNameField);
            CString strHostName(szReply, static_cast<int>(strnlen(szReply, nField)));
            CString strAddress = inet_ntoa(from.sin_addr);
            if (IsHostListed(strHostName))
                return 0;
            InsertDeviceRow(strAddress, strHostName);
            if (m_listDevices.GetItemCount() > 0)
                GetDlgItem(IDC_WEB_BROWSER)->EnableWindow(TRUE);
        }
    }
    RedrawNow();
    return 0;
}

// ---- helpers shared with the "No IP" listing ---------------------------------------------

void CVellumcrestUIDlg::ShowAsyncError(LPARAM lParam) {
    char szText[100];
    wsprintfA(szText, "WSAAsynch Event # %u, Error: %u",
              static_cast<unsigned>(WSAGETSELECTEVENT(lParam)),
              static_cast<unsigned>(WSAGETSELECTERROR(lParam)));
    MessageBox(szText, "CVellumcrestUIDlg::OnPINGAsynch", MB_SYSTEMMODAL);
}

// The rows' own texts decide: a row whose trimmed host name equals the received one in any
// letter case. m_setListedHosts holds exactly those trimmed names, so looking the name up
// there answers the same as walking the rows, without a walk per datagram.
BOOL CVellumcrestUIDlg::IsHostListed(const char* pszHostName) {
    return m_setListedHosts.find(pszHostName) != m_setListedHosts.end() ? TRUE : FALSE;
}

void CVellumcrestUIDlg::InsertDeviceRow(const char* pszAddress, const char* pszHostName) {
    m_listDevices.InsertItem(LVIF_TEXT | LVIF_IMAGE, 0, pszAddress, 0, 0, 0, 0);
    m_listDevices.SetItem(0, 1, LVIF_TEXT, pszHostName, 0, 0, 0, 0);
    CString strListed = m_listDevices.GetItemText(0, 1);
    strListed.TrimRight();
    m_setListedHosts.insert(strListed);
}

void CVellumcrestUIDlg::SizeReceiveBuffer(SOCKET hSocket) {
    int nSize = SEARCH_RECV_BUFFER;
    if (setsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&nSize),
                   sizeof nSize) == SOCKET_ERROR)
        WSAGetLastError();
}
