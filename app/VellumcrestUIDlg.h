// The main window (dialog 102): the device list, the status icon, "Search",
// "Web Browser.." and "Close", and the About entry of the system menu.
//
// The class is cut across rooms: app/ holds the window itself and the column sorting,
// discovery/ the search cycle, the probe and reply listener and the "No IP" listing.
// Everything runs on the user-interface thread; socket readiness arrives as the window
// messages below and time as WM_TIMER, so no two handlers ever overlap.
#pragma once

#include "platform/afx.h"
#include "proto/bootp.h"
#include "res/resource.h"

#include <map>
#include <set>

// Window messages and the timer of the search.
#define WM_PING_ASYNCH 1224         // reply listener (CLIENT_PORT)
#define WM_BOOTP_SEARCH_ASYNCH 1226 // port-67 listener of a search
#define SEARCH_TIMER_ID 1227        // 500 ms ticks of the search window

// Receive buffer of the two search listeners, in bytes. A large segment answers the probe
// all at once and its appliances without an address keep repeating their requests: room for
// a few thousand of either, so that none is lost while the window lists the ones before it.
#define SEARCH_RECV_BUFFER (4 * 1024 * 1024)

// UDP ports of the discovery exchange.
#define SERVER_PORT 1212 // the appliances listen for the probe here
#define CLIENT_PORT 1211 // and answer here

// Orders host names as the duplicate check compares them (_mbsicmp): names that check equal
// are one key. Transparent, so a received name is looked up without a copy.
struct CHostNameLess {
    using is_transparent = void;
    bool operator()(const char* a, const char* b) const {
        return _mbsicmp(reinterpret_cast<const unsigned char*>(a),
                        reinterpret_cast<const unsigned char*>(b)) < 0;
    }
};

class CVellumcrestUIDlg : public CDialog {
public:
    explicit CVellumcrestUIDlg(CWnd* pParent = nullptr);

    enum { IDD = IDD_VELLUMCRESTUI_DIALOG };

    // The hardware-address text remembered for a "No IP" host name: that of the last entry
    // whose host name equals it in any letter case; empty when there is none.
    CString FindHardwareAddress(const CString& strHostName) const;
    // Every remembered "No IP" host name with the text FindHardwareAddress gives for it, in
    // one pass over the arrays, for a caller that wants them all.
    std::map<CString, CString, CHostNameLess> HardwareAddresses() const;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;

    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnWebBrowser();
    void OnSearch();
    void OnColumnclickDeviceList(NMHDR* pNMHDR, LRESULT* pResult);
    void OnTimer(UINT nIDEvent);
    void OnDblclkDeviceList(NMHDR* pNMHDR, LRESULT* pResult);
    LRESULT OnBootpSearchAsynch(WPARAM wParam, LPARAM lParam);
    LRESULT OnPINGAsynch(WPARAM wParam, LPARAM lParam);

    // clang-format off
    BEGIN_MSG_MAP(CVellumcrestUIDlg, CDialog)
        MSG_WM_SYSCOMMAND(OnSysCommand)
        MSG_WM_PAINT(OnPaint)
        MSG_WM_QUERYDRAGICON(OnQueryDragIcon)
        COMMAND_BN_CLICKED(IDC_WEB_BROWSER, OnWebBrowser)
        COMMAND_BN_CLICKED(IDC_SEARCH, OnSearch)
        NOTIFY_HANDLER_EX(IDC_DEVICE_LIST, LVN_COLUMNCLICK, OnColumnclickDeviceList)
        MSG_WM_TIMER(OnTimer)
        NOTIFY_HANDLER_EX(IDC_DEVICE_LIST, NM_DBLCLK, OnDblclkDeviceList)
        MESSAGE_HANDLER_EX(WM_BOOTP_SEARCH_ASYNCH, OnBootpSearchAsynch)
        MESSAGE_HANDLER_EX(WM_PING_ASYNCH, OnPINGAsynch)
    END_MSG_MAP()
    // clang-format on

    // "http://" + address + "/admin/" in the user's browser; a box when that fails.
    void OpenAdminPage(const CString& strAddress);

    // The search cycle (discovery/).
    int OpenBootpSearchSocket();
    void StartSearchTimer();
    void AnimateSearchIcon();
    void StopSearch();
    void StopReplyListener();
    int SendProbe();
    // A probe socket with its options, bound to the interface address dwLocalAddr (network
    // order; INADDR_ANY: not bound); INVALID_SOCKET when it cannot be had.
    SOCKET OpenProbeSocket(DWORD dwLocalAddr);
    int OpenClientPort();
    // OpenClientPort in two halves: the set-up, which returns the step that failed (0 for
    // none) and shows nothing, and the box of that step.
    int SetUpClientPort();
    int ReportClientPort(int nFailedStep);

    // Puts an icon into the status control and m_hIcon, and repaints the minimised window,
    // which shows m_hIcon.
    void ShowStatusIcon(UINT nIconID);
    // Repaints the whole window at once.
    void RedrawNow();
    // The box for a socket event that carries an error code.
    void ShowAsyncError(LPARAM lParam);
    // True when a row's host name, trimmed, equals strHostName in any letter case.
    BOOL IsHostListed(const char* pszHostName);
    // A new row at the top: the address text and the host name.
    void InsertDeviceRow(const char* pszAddress, const char* pszHostName);
    // Asks for SEARCH_RECV_BUFFER on a listener; the default buffer still serves a small
    // segment, so a refusal changes nothing else.
    void SizeReceiveBuffer(SOCKET hSocket);

    CListCtrl m_listDevices;
    HICON m_hIcon;
    CImageList m_imageList;
    UINT m_nTimerID;
    int m_nTickCount;
    int m_nTickLimit;
    int m_nIconFrame;
    CStringArray m_arrHostNames;
    CStringArray m_arrHwAddrs;
    int m_nSortColumn;
    BOOL m_bSortAscending;
    SOCKET m_hClientSocket;
    BYTE m_bootpRecvBuf[BOOTP_RECV_SIZE];
    // Whether the search timer runs; KillTimer is called only for a running timer.
    BOOL m_bSearchTimerRunning;
    // The host names of the rows, trimmed as the duplicate check trims them: the check is
    // one lookup, however long the list. Rows are added only by InsertDeviceRow and removed
    // only all together by OnSearch; sorting and assignment leave host names as they are.
    std::set<CString, CHostNameLess> m_setListedHosts;
};
