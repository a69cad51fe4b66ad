// The search cycle of the main window: "Search" empties the list, opens the port-67
// listener and the search timer, broadcasts the probe and opens the reply listener; the
// timer animates the status icon for 15 ticks and enables "Search" again at the 16th.
// Both listeners stay open after the search window, until the next search, a double-click
// on a "No IP" row or the closing of the window.
#include "app/Globals.h"
#include "app/VellumcrestUIDlg.h"

namespace {
// The animation sweeps left, middle, right, middle.
const UINT kSearchFrames[4] = {IDI_STATUS_LEFT, IDI_STATUS_MIDDLE, IDI_STATUS_RIGHT,
                               IDI_STATUS_MIDDLE};
} // namespace

void CVellumcrestUIDlg::OnSearch() {
    StopSearch();
    if (m_hClientSocket) {
        closesocket(m_hClientSocket);
        m_hClientSocket = 0;
    }
    m_nIconFrame = 0;
    ShowStatusIcon(IDI_STATUS_IDLE);
    m_listDevices.DeleteAllItems();
    m_setListedHosts.clear();
    GetDlgItem(IDC_WEB_BROWSER)->EnableWindow(FALSE);
    m_arrHostNames.RemoveAll();
    m_arrHwAddrs.RemoveAll();

    OpenBootpSearchSocket();
    // When the port-67 listener failed before it could start the timer, the search window
    // still runs on its own timer: the probe's replies are listed all the same, and the
    // 16th tick is what gives "Search" back to the user.
    if (!m_bSearchTimerRunning)
        StartSearchTimer();

    SendProbe();

    // Without a timer there is no search window to wait for, so "Search" stays usable.
    if (m_bSearchTimerRunning)
        GetDlgItem(IDC_SEARCH)->EnableWindow(FALSE);
    RedrawNow();
}

int CVellumcrestUIDlg::OpenBootpSearchSocket() {
    g_hBootpSearchSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (g_hBootpSearchSocket == INVALID_SOCKET) {
        WSAGetLastError();
        return 0;
    }

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(67);
    if (bind(g_hBootpSearchSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) ==
        SOCKET_ERROR) {
        WSAGetLastError();
        return 0;
    }
    // Appliances without an address repeat their requests until one is answered.
    SizeReceiveBuffer(g_hBootpSearchSocket);

    DWORD dwTimeout = 1000;
    if (setsockopt(g_hBootpSearchSocket, SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<const char*>(&dwTimeout), sizeof dwTimeout) == SOCKET_ERROR ||
        setsockopt(g_hBootpSearchSocket, SOL_SOCKET, SO_SNDTIMEO,
                   reinterpret_cast<const char*>(&dwTimeout), sizeof dwTimeout) == SOCKET_ERROR) {
        WSAGetLastError();
        return 0;
    }
    int nBroadcast = 1;
    if (setsockopt(g_hBootpSearchSocket, SOL_SOCKET, SO_BROADCAST,
                   reinterpret_cast<const char*>(&nBroadcast), sizeof nBroadcast) == SOCKET_ERROR) {
        WSAGetLastError();
        return 0;
    }

    StartSearchTimer();

    if (WSAAsyncSelect(g_hBootpSearchSocket, m_hWnd, WM_BOOTP_SEARCH_ASYNCH, FD_READ) ==
        SOCKET_ERROR) {
        WSAGetLastError();
        return 0;
    }
    return 1;
}

void CVellumcrestUIDlg::StartSearchTimer() {
    m_nTickCount = 0;
    m_nTickLimit = 15;
    m_nTimerID = static_cast<UINT>(SetTimer(SEARCH_TIMER_ID, 500, nullptr));
    m_bSearchTimerRunning = m_nTimerID != 0;
}

void CVellumcrestUIDlg::OnTimer(UINT nIDEvent) {
    if (static_cast<unsigned>(m_nTickCount) < static_cast<unsigned>(m_nTickLimit)) {
        AnimateSearchIcon();
        m_nTickCount += 1;
        return;
    }
    // The end of the search window. The timer keeps ticking and every later tick comes
    // here again; the listeners stay open.
    GetDlgItem(IDC_SEARCH)->EnableWindow(TRUE);
    ShowStatusIcon(IDI_STATUS_IDLE);
    CDialog::OnTimer(nIDEvent);
}

void CVellumcrestUIDlg::AnimateSearchIcon() {
    UINT nIconID = kSearchFrames[m_nIconFrame % 4];
    m_nIconFrame += 1;
    ShowStatusIcon(nIconID);
}

void CVellumcrestUIDlg::StopSearch() {
    if (m_bSearchTimerRunning) {
        KillTimer(m_nTimerID);
        m_bSearchTimerRunning = FALSE;
    }
    if (g_hBootpSearchSocket && g_hBootpSearchSocket != INVALID_SOCKET)
        closesocket(g_hBootpSearchSocket);
    g_hBootpSearchSocket = 0;
}

void CVellumcrestUIDlg::StopReplyListener() {
    if (m_hClientSocket && m_hClientSocket != INVALID_SOCKET)
        closesocket(m_hClientSocket);
    m_hClientSocket = 0;
}
