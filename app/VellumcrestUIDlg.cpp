// The main window: construction, initialisation, the system menu's About box, painting
// when minimised, closing, and the column sorting of the device list.
#include "app/VellumcrestUIDlg.h"
#include "app/SocketLibrary.h"

#include "app/AboutDlg.h"
#include "app/ListSorter.h"

CVellumcrestUIDlg::CVellumcrestUIDlg(CWnd* pParent)
    : CDialog(IDD, pParent), m_hIcon(nullptr), m_nTimerID(0), m_nTickCount(0), m_nTickLimit(15),
      m_nIconFrame(0), m_nSortColumn(-1), m_bSortAscending(TRUE),
      m_hClientSocket(0), m_bootpRecvBuf{}, m_bSearchTimerRunning(FALSE) {
    m_hIcon = LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

void CVellumcrestUIDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_DEVICE_LIST, m_listDevices);
}

BOOL CVellumcrestUIDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    // Rows use image 0, the first icon added.
    m_imageList.Create(20, 20, ILC_COLOR, 0, 3);
    const UINT deviceIcons[] = {IDI_DEVICE_0, IDI_DEVICE_1, IDI_DEVICE_2};
    for (UINT id : deviceIcons)
        m_imageList.Add(LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(id)));
    m_listDevices.SetImageList(&m_imageList, LVSIL_SMALL);
    m_listDevices.SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT,
                              LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    m_listDevices.InsertColumn(0, "IP Address", LVCFMT_LEFT, 160);
    m_listDevices.InsertColumn(1, "Host name", LVCFMT_LEFT, 160);

    StartSocketLibrary(this);

    GetDlgItem(IDC_WEB_BROWSER)->EnableWindow(FALSE);
    m_hClientSocket = 0;
    m_arrHostNames.SetSize(0, -1);
    m_arrHwAddrs.SetSize(0, -1);

    if (CMenu* pSysMenu = GetSystemMenu(FALSE)) {
        char szAbout[256] = "";
        LoadStringA(AfxGetResourceHandle(), IDS_ABOUTBOX, szAbout, sizeof szAbout);
        if (szAbout[0] != '\0') {
            pSysMenu->AppendMenu(MF_SEPARATOR);
            pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, szAbout);
        }
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    return TRUE;
}

void CVellumcrestUIDlg::OnSysCommand(UINT nID, LPARAM lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else {
        CDialog::OnSysCommand(nID, lParam);
    }
}

void CVellumcrestUIDlg::OnPaint() {
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);

    int cxIcon = GetSystemMetrics(SM_CXICON);
    int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CVellumcrestUIDlg::OnQueryDragIcon() {
    return static_cast<HCURSOR>(m_hIcon);
}

void CVellumcrestUIDlg::OnCancel() {
    StopReplyListener();
    StopSearch();
    WSACleanup();
    InvalidateRect(m_hWnd, nullptr, FALSE);
    ::UpdateWindow(m_hWnd);
    CDialog::OnCancel();
}

void CVellumcrestUIDlg::OnColumnclickDeviceList(NMHDR* pNMHDR, LRESULT* pResult) {
    auto* pNMListView = reinterpret_cast<NMLISTVIEW*>(pNMHDR);
    if (pNMListView->iSubItem == m_nSortColumn) {
        m_bSortAscending = !m_bSortAscending;
    } else {
        m_nSortColumn = pNMListView->iSubItem;
        m_bSortAscending = TRUE;
    }
    CListSorter sorter(&m_listDevices, m_nSortColumn);
    sorter.Sort(m_bSortAscending, SORT_TEXT);
    *pResult = 0;
}

// ---- helpers shared by the search handlers -----------------------------------------------

void CVellumcrestUIDlg::ShowStatusIcon(UINT nIconID) {
    m_hIcon = LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(nIconID));
    GetDlgItem(IDC_STATUS_ICON)->SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(m_hIcon), 0);
    if (IsIconic())
        InvalidateRect(m_hWnd, nullptr, TRUE);
}

void CVellumcrestUIDlg::RedrawNow() {
    InvalidateRect(m_hWnd, nullptr, FALSE);
    ::UpdateWindow(m_hWnd);
}
