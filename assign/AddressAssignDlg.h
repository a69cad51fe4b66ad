// The assign dialog (dialog 138): the user types address, mask and gateway for a "No IP"
// appliance; the texts are checked and normalised, the address is probed with one echo
// request, and the dialog's own BOOTP/DHCP responder then answers that one appliance's
// requests until it has sent the DHCPACK or the time limit ends the dialog.
//
// The class is cut in two files: AddressAssignDlg.cpp (the dialog, its checks, title and
// timer) and BootpResponder.cpp (the responder's socket, requests and replies).
#pragma once

#include "assign/Icmp.h"
#include "platform/afx.h"
#include "platform/inuse.h"
#include "proto/bootp.h"
#include "res/resource.h"

#define WM_BOOTP_ASYNCH 1234 // readiness of the responder's socket
#define ASSIGN_TIMER_ID 1235 // 500 ms ticks of the time limit

// Room for any host name the system can have: a shorter buffer makes the name lookup fail,
// and with it every answer of the responder.
#define HOST_NAME_BUFFER 256

// What the dialog hands the responder, and what the responder remembers. Char data only.
struct ASSIGN_INFO {
    char szHostName[32]; // option 12 of the appliance's requests, without a terminator
    char szIP[16];       // the accepted address text; non-empty arms the responder
    char szMask[16];
    char szGateway[16];
    BYTE byHwAddr[6]; // chaddr of the first request handled
    BYTE byState;     // 0, then 3 once a request of the appliance has been handled
    BYTE byMsgType;   // DHCP message type of the request being answered, 0 for none
    BYTE byKind;      // 1: the last request had no marker, 2: it had; 0 before the first
};

// The address text of the last accepted assignment, normalised; and whether the DHCPACK for
// it has been sent (never cleared).
extern char g_szAssignIP[16];
extern int g_bAssigned;
// The interface the DHCPACK left by (0: where the system sends a broadcast), set with
// g_bAssigned: the appliance's segment, for whoever looks for the appliance there afterwards.
extern DWORD g_dwAssignedInterface;
// The responder's receive buffer.
extern BYTE g_bootpRecvBuf[BOOTP_RECV_SIZE];

class CAddressAssignDlg : public CDialog {
public:
    explicit CAddressAssignDlg(CWnd* pParent = nullptr);
    ~CAddressAssignDlg() override;

    enum { IDD = IDD_ADDRESS_ASSIGN };

    void SetHardwareAddress(CString strHardwareAddress);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void OnTimer(UINT nIDEvent);
    LRESULT OnBootpAsynch(WPARAM wParam, LPARAM lParam);

    // clang-format off
    BEGIN_MSG_MAP(CAddressAssignDlg, CDialog)
        MSG_WM_TIMER(OnTimer)
        MESSAGE_HANDLER_EX(WM_BOOTP_ASYNCH, OnBootpAsynch)
    END_MSG_MAP()
    // clang-format on

    // Checks and the title (AddressAssignDlg.cpp).
    BOOL NormalizeAddress(char* pszAddress);
    BOOL IsAddressInUse(const char* pszAddress);
    // Starts the ARP probe for dwAddress on the interfaces that face it; FALSE when it could
    // go out of none.
    BOOL StartArpProbe(DWORD dwAddress);
    // Receives until a datagram from the probed address comes, within the echo's time-out.
    BOOL ReceiveEchoAnswer();
    // Whether the address lies in a subnet of one of the workstation's interfaces (under the
    // typed mask where one was typed); only an address in none of them is warned about.
    BOOL IsInOwnSubnet(const char* pszCandidate);
    BOOL IsSameSubnetPrefix(const char* pszOwnAddress, const char* pszCandidate);
    // The address's own use: nothing in 0.0.0.0/8, 127.0.0.0/8 or from 224.0.0.0 up can be
    // given to an appliance.
    BOOL IsHostAddress(const char* pszAddress);
    void StartAssignTimer();
    void StopAssignTimer();
    void UpdateTitle(HWND hWnd, BOOL bAssigning);
    // Text of an edit control, at most 15 characters.
    void ReadAddressText(CEdit& edit, char* pszText);

    // The responder (BootpResponder.cpp).
    int OpenResponderSocket();
    BOOL MatchHostName(const BYTE* pRequest);
    void HandleBootRequest(const BYTE* pRequest);
    // m_dwServerAddr for the request being handled; FALSE when no address can be had.
    BOOL FindServerAddress();
    BOOL SendBootReply();

    char m_szMask[16];
    char m_szGateway[16];
    ASSIGN_INFO m_assignInfo;
    BYTE m_bootpReply[BOOTP_REPLY_SIZE];
    sockaddr_in m_addrBootpDest;
    DWORD m_dwServerAddr;
    char m_szLocalHostName[HOST_NAME_BUFFER];
    // The interface the last request came in by, 0 when unknown: the replies leave by it.
    DWORD m_dwRequestInterface;
    SOCKET m_hBootpSocket;
    DWORD m_nTickCount;
    DWORD m_nTickLimit;
    UINT_PTR m_nTimerID;
    BOOL m_bTimerRunning;
    CString m_strHardwareAddress;
    CIcmp m_icmp;
    CArpProbe m_arpProbe;
    BYTE m_packetBuf[2012];
    BYTE* m_pPacket;
    int m_nDataSize;
    CEdit m_editMask;
    CEdit m_editIP;
    CEdit m_editHardwareAddress;
    CEdit m_editGateway;
};
