// The assign dialog: its start, the checks of "Assign IP", the in-use probe, the title and
// the time limit.
#include "assign/AddressAssignDlg.h"

#include "app/Globals.h"
#include "app/SocketLibrary.h"
#include "platform/netif.h"
#include "proto/address.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

char g_szAssignIP[16];
int g_bAssigned = 0;
DWORD g_dwAssignedInterface = 0;
BYTE g_bootpRecvBuf[BOOTP_RECV_SIZE];

namespace {
constexpr int kTitleBuffer = 80; // 79 characters and the terminator
constexpr int kEchoDataSize = 64;
constexpr int kProbeTimeout = 500;
} // namespace

CAddressAssignDlg::CAddressAssignDlg(CWnd* pParent)
    : CDialog(IDD, pParent), m_szMask{}, m_szGateway{}, m_assignInfo{}, m_bootpReply{},
      m_addrBootpDest{}, m_dwServerAddr(0), m_szLocalHostName{}, m_dwRequestInterface(0),
      m_hBootpSocket(INVALID_SOCKET), m_nTickCount(0), m_nTickLimit(50), m_nTimerID(0),
      m_bTimerRunning(FALSE), m_packetBuf{}, m_pPacket(nullptr), m_nDataSize(kEchoDataSize) {}

CAddressAssignDlg::~CAddressAssignDlg() = default;

void CAddressAssignDlg::SetHardwareAddress(CString strHardwareAddress) {
    m_strHardwareAddress = strHardwareAddress;
}

void CAddressAssignDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_SUBNET_MASK, m_editMask);
    DDX_Control(pDX, IDC_IP_ADDRESS, m_editIP);
    DDX_Control(pDX, IDC_HARDWARE_ADDRESS, m_editHardwareAddress);
    DDX_Control(pDX, IDC_GATEWAY, m_editGateway);
}

BOOL CAddressAssignDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    StartSocketLibrary(this);

    std::memset(&m_assignInfo, 0, sizeof m_assignInfo);
    m_pPacket = m_packetBuf;
    OpenResponderSocket();
    UpdateTitle(m_hWnd, FALSE);
    m_editHardwareAddress.SetWindowText(m_strHardwareAddress);
    return TRUE;
}

void CAddressAssignDlg::ReadAddressText(CEdit& edit, char* pszText) {
    pszText[0] = '\0';
    ::GetWindowTextA(edit.m_hWnd, pszText, 16);
}

void CAddressAssignDlg::OnOK() {
    UpdateTitle(m_hWnd, TRUE);

    ReadAddressText(m_editIP, g_szAssignIP);
    ReadAddressText(m_editMask, m_szMask);
    ReadAddressText(m_editGateway, m_szGateway);

    const char* pszText = nullptr;
    const char* pszCaption = nullptr;
    char szInUse[128];
    if (!NormalizeAddress(g_szAssignIP) || !IsHostAddress(g_szAssignIP)) {
        pszText = "The IP address is invalid!";
        pszCaption = "IP ERROR";
    } else if (m_szMask[0] != '\0' && !NormalizeAddress(m_szMask)) {
        pszText = "The mask address is invalid!";
        pszCaption = "MASK ERROR";
    } else if (m_szGateway[0] != '\0' && !NormalizeAddress(m_szGateway)) {
        pszText = "The Gateway address is invalid!";
        pszCaption = "GATEWAY ERROR";
    } else if (IsAddressInUse(g_szAssignIP)) {
        wsprintfA(szInUse, "The IP address\n%s\n maybe is in used!\n or Subnet error!",
                  g_szAssignIP);
        pszText = szInUse;
        pszCaption = "IP ERROR";
    } else {
        std::memcpy(m_assignInfo.szIP, g_szAssignIP, sizeof m_assignInfo.szIP);
        std::memcpy(m_assignInfo.szMask, m_szMask, sizeof m_assignInfo.szMask);
        std::memcpy(m_assignInfo.szGateway, m_szGateway, sizeof m_assignInfo.szGateway);
        GetDlgItem(IDOK)->EnableWindow(FALSE);
        StartAssignTimer();
        return;
    }
    MessageBoxA(nullptr, pszText, pszCaption, MB_OK);
    UpdateTitle(m_hWnd, FALSE);
}

void CAddressAssignDlg::OnCancel() {
    WSACleanup();
    closesocket(m_hBootpSocket);
    CDialog::OnCancel();
}

BOOL CAddressAssignDlg::NormalizeAddress(char* pszAddress) {
    return NormalizeAddressText(std::span<char, 16>(pszAddress, 16));
}

BOOL CAddressAssignDlg::IsHostAddress(const char* pszAddress) {
    auto address = ParseDottedAddress(pszAddress);
    if (!address)
        return FALSE;
    BYTE first = (*address)[0];
    return first != 0 && first != 127 && first < 224;
}

BOOL CAddressAssignDlg::IsAddressInUse(const char* pszAddress) {
    m_nDataSize = kEchoDataSize;

    if (!IsInOwnSubnet(pszAddress)) {
        int nAnswer = MessageBoxA(
            nullptr,
            "Assign IP Address maybe in different subnet section!\n Do you want to continue? ",
            "Subnet Warning!", MB_OKCANCEL);
        if (nAnswer == IDCANCEL)
            return TRUE;
    }

    // The ARP probe goes out first and is read after the echo's wait: a host whose firewall
    // drops echo requests still answers ARP, and both share the one time-out.
    DWORD dwAddress = ClassicInetAddr(pszAddress);
    StartArpProbe(dwAddress);

    m_icmp.Close(); // a socket left open by an earlier probe
    if (!m_icmp.Open(kProbeTimeout, kProbeTimeout) && m_icmp.m_nLastError == WSAEACCES) {
        // No raw socket for this user: the system's own echo service, where there is one.
        if (EchoWithoutRawSocket(dwAddress, kProbeTimeout) == 1) {
            m_arpProbe.Close();
            return TRUE;
        }
    } else {
        m_icmp.SetTarget(pszAddress);
        if (m_icmp.SendEcho(m_pPacket, m_nDataSize) != SOCKET_ERROR && ReceiveEchoAnswer()) {
            m_icmp.Close();
            m_arpProbe.Close();
            return TRUE;
        }
    }

    // What is left of the same time-out for the ARP answers (nothing after a full echo wait;
    // the answers that came meanwhile are kept).
    BOOL bAnswered = m_arpProbe.Answered(kProbeTimeout);
    m_arpProbe.Close();
    return bAnswered;
}

BOOL CAddressAssignDlg::ReceiveEchoAnswer() {
    // A raw socket gets every ICMP message that reaches the workstation: another program's
    // echo replies, or the "host unreachable" that an earlier check's request to the same
    // free address brings seconds later. Only a message from the address itself answers; the
    // others are read past for the rest of the time-out.
    DWORD dwStart = GetTickCount();
    for (;;) {
        if (m_icmp.Receive(m_pPacket, sizeof m_packetBuf) == SOCKET_ERROR)
            return FALSE;
        if (m_icmp.m_addrFrom.sin_addr.s_addr == m_icmp.m_addrDest.sin_addr.s_addr)
            return TRUE;
        DWORD dwSpent = GetTickCount() - dwStart;
        if (dwSpent >= static_cast<DWORD>(kProbeTimeout))
            return FALSE;
        int nLeft = kProbeTimeout - static_cast<int>(dwSpent);
        setsockopt(m_icmp.m_hRawSocket, SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<const char*>(&nLeft), sizeof nLeft);
    }
}

BOOL CAddressAssignDlg::StartArpProbe(DWORD dwAddress) {
    // The interfaces whose subnet holds the address; when none does, every one a broadcast
    // of ours may leave by, since the appliance may sit behind any of them and a holder of
    // the address on its segment is what must be found. One probe per interface, whatever
    // number of addresses it has.
    std::vector<NET_INTERFACE> facing, broadcasting;
    for (const NET_INTERFACE& entry : GetNetInterfaces()) {
        if (!entry.CarriesBroadcast() || entry.dwAddr == 0)
            continue;
        auto sameIndex = [&entry](const NET_INTERFACE& other) {
            return other.dwIndex == entry.dwIndex;
        };
        if (entry.SubnetHolds(dwAddress) && std::none_of(facing.begin(), facing.end(), sameIndex))
            facing.push_back(entry);
        if (std::none_of(broadcasting.begin(), broadcasting.end(), sameIndex))
            broadcasting.push_back(entry);
    }
    m_arpProbe.Close();
    BOOL bSent = FALSE;
    for (const NET_INTERFACE& entry : facing.empty() ? broadcasting : facing)
        bSent = m_arpProbe.Send(entry, dwAddress) || bSent;
    return bSent;
}

BOOL CAddressAssignDlg::IsInOwnSubnet(const char* pszCandidate) {
    // Every interface that is up, by its own address: on a workstation with an office LAN and
    // an appliance switch, an address right for either is right.
    BOOL bCompared = FALSE;
    for (const NET_INTERFACE& entry : GetNetInterfaces()) {
        if (!entry.bUp || entry.bLoopback || entry.dwAddr == 0)
            continue;
        bCompared = TRUE;
        in_addr own{};
        own.s_addr = entry.dwAddr;
        if (IsSameSubnetPrefix(inet_ntoa(own), pszCandidate))
            return TRUE;
    }
    if (bCompared)
        return FALSE;

    // No interface listed: the workstation's own address as the system gives it. When that
    // cannot be found there is nothing to compare the subnet with, and the probe alone
    // decides.
    char szHostName[HOST_NAME_BUFFER] = "";
    if (gethostname(szHostName, sizeof szHostName) != 0)
        return TRUE;
    hostent* pHost = gethostbyname(szHostName);
    if (!pHost || !pHost->h_addr_list[0])
        return TRUE;
    in_addr own;
    std::memcpy(&own, pHost->h_addr_list[0], sizeof own);
    return IsSameSubnetPrefix(inet_ntoa(own), pszCandidate);
}

BOOL CAddressAssignDlg::IsSameSubnetPrefix(const char* pszOwnAddress, const char* pszCandidate) {
    // The numeric addresses under a mask: the one typed, else that of the workstation's
    // interface that holds the own address, else 255.255.255.0. (Comparing the texts would
    // tell 192.168.0.10 and 192.168.0.5 apart.)
    DWORD dwOwn = ClassicInetAddr(pszOwnAddress);
    DWORD dwCandidate = ClassicInetAddr(pszCandidate);
    DWORD dwMask = ClassicInetAddr("255.255.255.0");
    if (m_szMask[0] != '\0') {
        dwMask = ClassicInetAddr(m_szMask);
    } else {
        for (const NET_INTERFACE& entry : GetNetInterfaces()) {
            if (entry.dwAddr == dwOwn && entry.dwMask != 0) {
                dwMask = entry.dwMask;
                break;
            }
        }
    }
    return (dwOwn & dwMask) == (dwCandidate & dwMask);
}

void CAddressAssignDlg::StartAssignTimer() {
    m_nTickCount = 0;
    m_nTickLimit = 50;
    m_nTimerID = SetTimer(ASSIGN_TIMER_ID, 500, nullptr);
    if (m_nTimerID != 0)
        m_bTimerRunning = TRUE;
}

void CAddressAssignDlg::StopAssignTimer() {
    if (m_bTimerRunning)
        KillTimer(m_nTimerID);
    m_bTimerRunning = FALSE;
    closesocket(m_hBootpSocket);
}

void CAddressAssignDlg::OnTimer(UINT nIDEvent) {
    if (m_nTickCount < m_nTickLimit) {
        ++m_nTickCount;
        return;
    }
    StopAssignTimer();
    MessageBoxA(nullptr, "Setting IP ERROR", "Setting ERROR", MB_OK);
    // The framework's cancel, not the override: the socket library stays started.
    CDialog::OnCancel();
    CDialog::OnTimer(nIDEvent);
}

void CAddressAssignDlg::UpdateTitle(HWND hWnd, BOOL bAssigning) {
    std::string strTitle = static_cast<const char*>(g_strDeviceName);
    if (bAssigning) {
        strTitle += " - ";
        if (m_assignInfo.byState == 3)
            strTitle += "[assigning...]";
    } else {
        strTitle += "[Setting]";
    }
    if (strTitle.size() > kTitleBuffer - 1)
        strTitle.resize(kTitleBuffer - 1);
    ::SetWindowTextA(hWnd, strTitle.c_str());
}
