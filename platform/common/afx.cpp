// The framework classes over the Windows API: the same code on every back end.
#include "platform/afx.h"
#include "platform/backend.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>

// ---- CString -----------------------------------------------------------------------------

namespace {
bool IsTrailingSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
} // namespace

CString& CString::TrimRight() {
    while (!m_str.empty() && IsTrailingSpace(m_str.back()))
        m_str.pop_back();
    return *this;
}

CString& CString::TrimLeft() {
    std::size_t n = 0;
    while (n < m_str.size() && IsTrailingSpace(m_str[n]))
        ++n;
    m_str.erase(0, n);
    return *this;
}

int CString::Compare(const char* psz) const {
    return _mbscmp(reinterpret_cast<const unsigned char*>(m_str.c_str()),
                   reinterpret_cast<const unsigned char*>(psz ? psz : ""));
}

int CString::CompareNoCase(const char* psz) const {
    return _mbsicmp(reinterpret_cast<const unsigned char*>(m_str.c_str()),
                    reinterpret_cast<const unsigned char*>(psz ? psz : ""));
}

void CString::Format(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, pszFormat, copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(out.data(), out.size() + 1, pszFormat, args);
    va_end(args);
    m_str = std::move(out);
}

CString CString::Left(int nCount) const {
    if (nCount < 0)
        nCount = 0;
    return CString(m_str.substr(0, static_cast<std::size_t>(nCount)));
}

CString CString::Mid(int nFirst) const {
    return Mid(nFirst, GetLength());
}

CString CString::Mid(int nFirst, int nCount) const {
    if (nFirst < 0)
        nFirst = 0;
    if (nFirst >= GetLength() || nCount <= 0)
        return CString();
    return CString(
        m_str.substr(static_cast<std::size_t>(nFirst), static_cast<std::size_t>(nCount)));
}

// ---- CStringArray ------------------------------------------------------------------------

void CStringArray::SetSize(int nNewSize, int /*nGrowBy*/) {
    m_items.resize(nNewSize > 0 ? static_cast<std::size_t>(nNewSize) : 0);
}

void CStringArray::SetAtGrow(int nIndex, const char* psz) {
    if (nIndex < 0)
        return;
    if (static_cast<std::size_t>(nIndex) >= m_items.size())
        m_items.resize(static_cast<std::size_t>(nIndex) + 1);
    m_items[static_cast<std::size_t>(nIndex)] = psz;
}

int CStringArray::Add(const char* psz) {
    m_items.emplace_back(psz);
    return GetSize() - 1;
}

// ---- CWnd --------------------------------------------------------------------------------

namespace {
// Temporary wrappers for windows the program holds no object for. Handles are only ever
// wrapped, never owned, so a wrapper outliving its window is harmless.
std::map<HWND, std::unique_ptr<CWnd>>& TemporaryWindows() {
    static std::map<HWND, std::unique_ptr<CWnd>> map;
    return map;
}
} // namespace

CWnd::~CWnd() = default;

CWnd* CWnd::FromHandle(HWND hWnd) {
    if (!hWnd)
        return nullptr;
    auto& map = TemporaryWindows();
    auto it = map.find(hWnd);
    if (it == map.end()) {
        auto wnd = std::make_unique<CWnd>();
        wnd->m_hWnd = hWnd;
        it = map.emplace(hWnd, std::move(wnd)).first;
    }
    return it->second.get();
}

CWnd* CWnd::GetDlgItem(int nID) const {
    return FromHandle(::GetDlgItem(m_hWnd, nID));
}

void CWnd::GetWindowText(CString& str) const {
    int n = ::GetWindowTextLengthA(m_hWnd);
    std::string buf(static_cast<std::size_t>(n) + 1, '\0');
    int got = ::GetWindowTextA(m_hWnd, buf.data(), n + 1);
    buf.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    str = CString(buf);
}

CMenu* CWnd::GetSystemMenu(BOOL bRevert) {
    m_sysMenu.m_hMenu = ::GetSystemMenu(m_hWnd, bRevert);
    return m_sysMenu.m_hMenu ? &m_sysMenu : nullptr;
}

void CWnd::CenterWindow(CWnd* pAlternateOwner) {
    HWND hWndCenter = pAlternateOwner ? pAlternateOwner->m_hWnd : ::GetWindow(m_hWnd, GW_OWNER);
    // Not over a window the user cannot see.
    if (hWndCenter) {
        LONG_PTR ownerStyle = ::GetWindowLongPtrA(hWndCenter, GWL_STYLE);
        if (!(ownerStyle & WS_VISIBLE) || (ownerStyle & WS_MINIMIZE))
            hWndCenter = nullptr;
    }
    RECT rcDlg{}, rcCenter{}, rcArea{};
    ::GetWindowRect(m_hWnd, &rcDlg);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    if (hWndCenter) {
        ::GetWindowRect(hWndCenter, &rcCenter);
        ::GetMonitorInfoA(::MonitorFromWindow(hWndCenter, MONITOR_DEFAULTTONEAREST), &mi);
        rcArea = mi.rcWork;
    } else {
        CWinApp* pApp = AfxGetApp();
        HWND hWndMain = pApp && pApp->m_pMainWnd ? pApp->m_pMainWnd->m_hWnd : m_hWnd;
        ::GetMonitorInfoA(::MonitorFromWindow(hWndMain, MONITOR_DEFAULTTOPRIMARY), &mi);
        rcCenter = mi.rcWork;
        rcArea = mi.rcWork;
    }
    const LONG width = rcDlg.right - rcDlg.left;
    const LONG height = rcDlg.bottom - rcDlg.top;
    LONG xLeft = (rcCenter.left + rcCenter.right) / 2 - width / 2;
    LONG yTop = (rcCenter.top + rcCenter.bottom) / 2 - height / 2;
    // Over an owner near an edge the window still lies wholly on the work area, its top-left
    // corner first.
    if (xLeft + width > rcArea.right)
        xLeft = rcArea.right - width;
    if (xLeft < rcArea.left)
        xLeft = rcArea.left;
    if (yTop + height > rcArea.bottom)
        yTop = rcArea.bottom - height;
    if (yTop < rcArea.top)
        yTop = rcArea.top;
    ::SetWindowPos(m_hWnd, nullptr, xLeft, yTop, -1, -1,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int CWnd::MessageBox(const char* lpszText, const char* lpszCaption, UINT nType) {
    if (!lpszCaption && AfxGetApp())
        lpszCaption = AfxGetApp()->m_pszAppName;
    return ::MessageBoxA(m_hWnd, lpszText, lpszCaption, nType);
}

BOOL CWnd::ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&) {
    return FALSE;
}

void CWnd::OnSysCommand(UINT, LPARAM) {
    SetMsgHandled(FALSE);
}
void CWnd::OnPaint() {
    SetMsgHandled(FALSE);
}
void CWnd::OnTimer(UINT) {
    SetMsgHandled(FALSE);
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (!rControl.m_hWnd)
        rControl.m_hWnd = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
}

// ---- CDialog -----------------------------------------------------------------------------

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDHelp(nIDTemplate), m_pParentWnd(pParentWnd), m_nIDTemplate(nIDTemplate) {}

INT_PTR CDialog::DoModal() {
    // A dialog given no parent is owned by the application's main window, as in the classic
    // frameworks: the main window is disabled while it runs (and still gets its messages).
    HWND hParent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    CWinApp* pApp = AfxGetApp();
    if (!hParent && pApp && pApp->m_pMainWnd && pApp->m_pMainWnd != this)
        hParent = pApp->m_pMainWnd->m_hWnd;
    INT_PTR result =
        ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), hParent,
                          &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return result;
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                   LRESULT& lResult) {
    if (uMsg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            return TRUE;
        }
    }
    return CWnd::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult);
}

namespace {
// The framework's rule for a modal dialog that has no position of its own: one that is still
// hidden after WM_INITDIALOG, was not moved by it, has no template style that places it, and
// is unowned or owned by a window its modal loop disabled, opens centred.
bool OpensCentred(HWND hDlg, const RECT& rcBeforeInit) {
    LONG_PTR style = ::GetWindowLongPtrA(hDlg, GWL_STYLE);
    if (style & (WS_VISIBLE | WS_CHILD | DS_CENTER | DS_CENTERMOUSE | DS_ABSALIGN))
        return false;
    RECT rc{};
    ::GetWindowRect(hDlg, &rc);
    if (rc.left != rcBeforeInit.left || rc.top != rcBeforeInit.top)
        return false;
    HWND hOwner = ::GetWindow(hDlg, GW_OWNER);
    return !hOwner || !::IsWindowEnabled(hOwner);
}
} // namespace

INT_PTR CALLBACK CDialog::DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_INITDIALOG) {
        auto* pDlg = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
        pDlg->m_hWnd = hDlg;
        RECT rcBeforeInit{};
        ::GetWindowRect(hDlg, &rcBeforeInit);
        BOOL bResult = pDlg->OnInitDialog();
        if (::IsWindow(hDlg) && OpensCentred(hDlg, rcBeforeInit))
            pDlg->CenterWindow();
        return bResult;
    }
    auto* pDlg = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hDlg, DWLP_USER));
    if (!pDlg)
        return FALSE;
    LRESULT lResult = 0;
    if (!pDlg->ProcessWindowMessage(hDlg, uMsg, wParam, lParam, lResult))
        return FALSE;
    // A few messages return their value straight from the dialog procedure; the rest
    // through the dialog's message result.
    if (uMsg == WM_QUERYDRAGICON)
        return lResult;
    ::SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, lResult);
    return TRUE;
}

// ---- CImageList --------------------------------------------------------------------------

CImageList::~CImageList() {
    if (m_hImageList)
        ImageList_Destroy(m_hImageList);
}

BOOL CImageList::Create(int cx, int cy, UINT nFlags, int nInitial, int nGrow) {
    m_hImageList = ImageList_Create(cx, cy, nFlags, nInitial, nGrow);
    return m_hImageList != nullptr;
}

// ---- CListCtrl ---------------------------------------------------------------------------

int CListCtrl::GetItemCount() const {
    return static_cast<int>(::SendMessageA(m_hWnd, LVM_GETITEMCOUNT, 0, 0));
}

CImageList* CListCtrl::SetImageList(CImageList* pImageList, int nImageListType) {
    ::SendMessageA(m_hWnd, LVM_SETIMAGELIST, static_cast<WPARAM>(nImageListType),
                   reinterpret_cast<LPARAM>(pImageList ? pImageList->m_hImageList : nullptr));
    return nullptr;
}

DWORD CListCtrl::SetExtendedStyle(DWORD dwNewStyle) {
    return static_cast<DWORD>(
        ::SendMessageA(m_hWnd, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, static_cast<LPARAM>(dwNewStyle)));
}

int CListCtrl::InsertColumn(int nCol, const char* lpszColumnHeading, int nFormat, int nWidth,
                            int nSubItem) {
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_FMT;
    column.fmt = nFormat;
    column.pszText = const_cast<LPSTR>(lpszColumnHeading);
    if (nWidth != -1) {
        column.mask |= LVCF_WIDTH;
        column.cx = nWidth;
    }
    if (nSubItem != -1) {
        column.mask |= LVCF_SUBITEM;
        column.iSubItem = nSubItem;
    }
    return static_cast<int>(::SendMessageA(m_hWnd, LVM_INSERTCOLUMNA, static_cast<WPARAM>(nCol),
                                           reinterpret_cast<LPARAM>(&column)));
}

int CListCtrl::InsertItem(const LVITEMA* pItem) {
    return static_cast<int>(
        ::SendMessageA(m_hWnd, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(pItem)));
}

int CListCtrl::InsertItem(int nItem, const char* lpszItem) {
    return InsertItem(LVIF_TEXT, nItem, lpszItem, 0, 0, 0, 0);
}

int CListCtrl::InsertItem(UINT nMask, int nItem, const char* lpszItem, UINT nState, UINT nStateMask,
                          int nImage, LPARAM lParam) {
    LVITEMA item{};
    item.mask = nMask;
    item.iItem = nItem;
    item.state = nState;
    item.stateMask = nStateMask;
    item.pszText = const_cast<LPSTR>(lpszItem);
    item.iImage = nImage;
    item.lParam = lParam;
    return InsertItem(&item);
}

BOOL CListCtrl::SetItem(const LVITEMA* pItem) {
    return static_cast<BOOL>(
        ::SendMessageA(m_hWnd, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(pItem)));
}

BOOL CListCtrl::SetItem(int nItem, int nSubItem, UINT nMask, const char* lpszItem, int nImage,
                        UINT nState, UINT nStateMask, LPARAM lParam) {
    LVITEMA item{};
    item.mask = nMask;
    item.iItem = nItem;
    item.iSubItem = nSubItem;
    item.state = nState;
    item.stateMask = nStateMask;
    item.pszText = const_cast<LPSTR>(lpszItem);
    item.iImage = nImage;
    item.lParam = lParam;
    return SetItem(&item);
}

BOOL CListCtrl::SetItemText(int nItem, int nSubItem, const char* lpszText) {
    LVITEMA item{};
    item.iSubItem = nSubItem;
    item.pszText = const_cast<LPSTR>(lpszText);
    return static_cast<BOOL>(::SendMessageA(m_hWnd, LVM_SETITEMTEXTA, static_cast<WPARAM>(nItem),
                                            reinterpret_cast<LPARAM>(&item)));
}

CString CListCtrl::GetItemText(int nItem, int nSubItem) const {
    // Grow the buffer until the text fits: the control returns the characters copied.
    std::string buf;
    int size = 64;
    for (;;) {
        buf.assign(static_cast<std::size_t>(size), '\0');
        LVITEMA item{};
        item.iSubItem = nSubItem;
        item.pszText = buf.data();
        item.cchTextMax = size;
        int n = static_cast<int>(::SendMessageA(
            m_hWnd, LVM_GETITEMTEXTA, static_cast<WPARAM>(nItem), reinterpret_cast<LPARAM>(&item)));
        if (n < size - 1) {
            buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            return CString(buf);
        }
        size *= 2;
    }
}

DWORD_PTR CListCtrl::GetItemData(int nItem) const {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = nItem;
    ::SendMessageA(m_hWnd, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return static_cast<DWORD_PTR>(item.lParam);
}

BOOL CListCtrl::SetItemData(int nItem, DWORD_PTR dwData) {
    return SetItem(nItem, 0, LVIF_PARAM, nullptr, 0, 0, 0, static_cast<LPARAM>(dwData));
}

BOOL CListCtrl::SetItemState(int nItem, UINT nState, UINT nMask) {
    LVITEMA item{};
    item.state = nState;
    item.stateMask = nMask;
    return static_cast<BOOL>(::SendMessageA(m_hWnd, LVM_SETITEMSTATE, static_cast<WPARAM>(nItem),
                                            reinterpret_cast<LPARAM>(&item)));
}

UINT CListCtrl::GetItemState(int nItem, UINT nMask) const {
    return static_cast<UINT>(::SendMessageA(m_hWnd, LVM_GETITEMSTATE, static_cast<WPARAM>(nItem),
                                            static_cast<LPARAM>(nMask)));
}

int CListCtrl::GetNextItem(int nItem, int nFlags) const {
    return static_cast<int>(
        ::SendMessageA(m_hWnd, LVM_GETNEXTITEM, static_cast<WPARAM>(nItem), MAKELPARAM(nFlags, 0)));
}

BOOL CListCtrl::DeleteAllItems() {
    return static_cast<BOOL>(::SendMessageA(m_hWnd, LVM_DELETEALLITEMS, 0, 0));
}

BOOL CListCtrl::SortItems(PFNLVCOMPARE pfnCompare, DWORD_PTR dwData) {
    return static_cast<BOOL>(::SendMessageA(m_hWnd, LVM_SORTITEMS, static_cast<WPARAM>(dwData),
                                            reinterpret_cast<LPARAM>(pfnCompare)));
}

// ---- CPaintDC ----------------------------------------------------------------------------

CPaintDC::CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd), m_ps{} {
    m_hDC = ::BeginPaint(m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC() {
    ::EndPaint(m_hWnd, &m_ps);
}

// ---- CWinApp -----------------------------------------------------------------------------

namespace {
CWinApp* g_pApp = nullptr;
} // namespace

CWinApp::CWinApp(const char* lpszAppName)
    : m_pszAppName(nullptr), m_strAppName(lpszAppName ? lpszAppName : "") {
    if (lpszAppName)
        m_pszAppName = m_strAppName.c_str();
    g_pApp = this;
}

CWinApp::~CWinApp() {
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

CWinApp* AfxGetApp() {
    return g_pApp;
}

HINSTANCE AfxGetResourceHandle() {
    return ::GetModuleHandleA(nullptr);
}

int AfxWinMain() {
    CWinApp* pApp = AfxGetApp();
    if (!pApp)
        return -1;
    if (!pApp->m_pszAppName)
        pApp->m_pszAppName = TvDefaultAppTitle();
    pApp->InitInstance();
    // The program runs its window modally inside InitInstance and returns FALSE: there is
    // no message loop of the application's own.
    return 0;
}
