// The framework classes the program is written with: strings, string arrays, windows,
// dialogs, the list control, image lists, the application object.
//
// They are thin and the same on every back end: each member is a Windows API call
// (winapi.h) or a message sent to the control, as in the classic dialog frameworks. What
// differs between platforms lives under the API, in the back end.
//
// Ownership: a CWnd never owns its window. Temporary CWnd objects handed out by
// GetDlgItem and FromHandle live until their window is destroyed. One user-interface
// thread calls all of this; nothing is locked.
#pragma once

#include "platform/msgmap.h"
#include "platform/winapi.h"

#include <string>
#include <vector>

// ---- CString -----------------------------------------------------------------------------

class CString {
public:
    CString() = default;
    CString(const char* psz) : m_str(psz ? psz : "") {}
    CString(const char* pch, int nLength) : m_str(pch, pch + (nLength > 0 ? nLength : 0)) {}
    CString(const std::string& str) : m_str(str) {}

    int GetLength() const { return static_cast<int>(m_str.size()); }
    BOOL IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    operator const char*() const { return m_str.c_str(); }
    const std::string& str() const { return m_str; }
    char GetAt(int i) const { return m_str[static_cast<std::size_t>(i)]; }

    CString& operator=(const char* psz) {
        m_str = psz ? psz : "";
        return *this;
    }
    CString& operator+=(const CString& s) {
        m_str += s.m_str;
        return *this;
    }
    CString& operator+=(const char* psz) {
        m_str += psz ? psz : "";
        return *this;
    }
    friend CString operator+(const CString& a, const CString& b) {
        return CString(a.m_str + b.m_str);
    }
    friend CString operator+(const CString& a, const char* b) { return a + CString(b); }
    friend CString operator+(const char* a, const CString& b) { return CString(a) + b; }
    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CString& a, const char* b) { return a.m_str == (b ? b : ""); }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }

    // Removes trailing blanks, tabs, CR, LF, VT and FF.
    CString& TrimRight();
    CString& TrimLeft();
    int Compare(const char* psz) const;       // _mbscmp
    int CompareNoCase(const char* psz) const; // _mbsicmp
    void Format(const char* pszFormat, ...);
    CString Left(int nCount) const;
    CString Mid(int nFirst) const;
    CString Mid(int nFirst, int nCount) const;

private:
    std::string m_str;
};

// ---- CStringArray ------------------------------------------------------------------------

class CStringArray {
public:
    int GetSize() const { return static_cast<int>(m_items.size()); }
    int GetUpperBound() const { return GetSize() - 1; }
    // nGrowBy is a growth hint only.
    void SetSize(int nNewSize, int nGrowBy = -1);
    void RemoveAll() { m_items.clear(); }
    CString GetAt(int nIndex) const { return m_items.at(static_cast<std::size_t>(nIndex)); }
    void SetAt(int nIndex, const char* psz) { m_items.at(static_cast<std::size_t>(nIndex)) = psz; }
    void SetAtGrow(int nIndex, const char* psz);
    int Add(const char* psz);
    CString& operator[](int nIndex) { return m_items.at(static_cast<std::size_t>(nIndex)); }
    const CString& operator[](int nIndex) const {
        return m_items.at(static_cast<std::size_t>(nIndex));
    }

private:
    std::vector<CString> m_items;
};

// ---- windows -----------------------------------------------------------------------------

class CMenu {
public:
    HMENU m_hMenu = nullptr;
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, const char* lpszNewItem = nullptr) {
        return AppendMenuA(m_hMenu, nFlags, nIDNewItem, lpszNewItem);
    }
};

class CWnd {
public:
    HWND m_hWnd = nullptr;

    CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    virtual ~CWnd();

    // A CWnd for any window, kept until the window is destroyed.
    static CWnd* FromHandle(HWND hWnd);
    HWND GetSafeHwnd() const { return m_hWnd; }

    CWnd* GetDlgItem(int nID) const;
    BOOL EnableWindow(BOOL bEnable = TRUE) { return ::EnableWindow(m_hWnd, bEnable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    void SetWindowText(const char* psz) { ::SetWindowTextA(m_hWnd, psz); }
    void GetWindowText(CString& str) const;
    int GetWindowTextLength() const { return ::GetWindowTextLengthA(m_hWnd); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void Invalidate(BOOL bErase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, bErase); }
    void UpdateWindow() { ::UpdateWindow(m_hWnd); }
    void GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::PostMessageA(m_hWnd, message, wParam, lParam);
    }
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer) {
        return ::SetTimer(m_hWnd, nIDEvent, nElapse, lpfnTimer);
    }
    BOOL KillTimer(UINT_PTR nIDEvent) { return ::KillTimer(m_hWnd, nIDEvent); }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon) {
        return reinterpret_cast<HICON>(
            SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, (LPARAM)hIcon));
    }
    CMenu* GetSystemMenu(BOOL bRevert);
    // Centres the window over its owner, or on the work area of the main window's monitor
    // when it has none (or one that is hidden or minimised); kept inside the work area.
    void CenterWindow(CWnd* pAlternateOwner = nullptr);
    // With no caption the box shows the application's title.
    int MessageBox(const char* lpszText, const char* lpszCaption = nullptr, UINT nType = MB_OK);

    // The message map: a class's BEGIN_MSG_MAP expands to its override. Returns TRUE when a
    // handler took the message; the result goes to lResult.
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                      LRESULT& lResult);

    // Inside a handler: FALSE hands the message on to the default processing.
    void SetMsgHandled(BOOL bHandled) { m_bMsgHandled = bHandled; }
    BOOL IsMsgHandled() const { return m_bMsgHandled; }

protected:
    // The default processing of messages that the program's handlers pass on.
    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    void OnTimer(UINT nIDEvent);

private:
    CMenu m_sysMenu;
    BOOL m_bMsgHandled = TRUE;
};

// ---- dialog data exchange ----------------------------------------------------------------

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
        : m_pDlgWnd(pDlgWnd), m_bSaveAndValidate(bSaveAndValidate) {}
    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

// Binds a control member to the dialog's control nIDC.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

// ---- dialogs -----------------------------------------------------------------------------

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);

    // Creates the dialog from its template and runs it modally. Returns the value given to
    // EndDialog, or -1 when the dialog could not be created.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void DoDataExchange(CDataExchange* pDX);

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                              LRESULT& lResult) override;

    UINT m_nIDHelp;

protected:
    CWnd* m_pParentWnd;

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
    UINT m_nIDTemplate;
};

// ---- controls ----------------------------------------------------------------------------

class CImageList {
public:
    HIMAGELIST m_hImageList = nullptr;
    ~CImageList();
    BOOL Create(int cx, int cy, UINT nFlags, int nInitial, int nGrow);
    int Add(HICON hIcon) { return ImageList_ReplaceIcon(m_hImageList, -1, hIcon); }
    int GetImageCount() const { return ImageList_GetImageCount(m_hImageList); }
    HIMAGELIST GetSafeHandle() const { return m_hImageList; }
};

class CListCtrl : public CWnd {
public:
    int GetItemCount() const;
    CImageList* SetImageList(CImageList* pImageList, int nImageListType);
    DWORD SetExtendedStyle(DWORD dwNewStyle);
    int InsertColumn(int nCol, const char* lpszColumnHeading, int nFormat = LVCFMT_LEFT,
                     int nWidth = -1, int nSubItem = -1);
    int InsertItem(const LVITEMA* pItem);
    int InsertItem(int nItem, const char* lpszItem);
    int InsertItem(UINT nMask, int nItem, const char* lpszItem, UINT nState, UINT nStateMask,
                   int nImage, LPARAM lParam);
    BOOL SetItem(const LVITEMA* pItem);
    BOOL SetItem(int nItem, int nSubItem, UINT nMask, const char* lpszItem, int nImage, UINT nState,
                 UINT nStateMask, LPARAM lParam);
    BOOL SetItemText(int nItem, int nSubItem, const char* lpszText);
    CString GetItemText(int nItem, int nSubItem) const;
    DWORD_PTR GetItemData(int nItem) const;
    BOOL SetItemData(int nItem, DWORD_PTR dwData);
    BOOL SetItemState(int nItem, UINT nState, UINT nMask);
    UINT GetItemState(int nItem, UINT nMask) const;
    int GetNextItem(int nItem, int nFlags) const;
    BOOL DeleteAllItems();
    BOOL SortItems(PFNLVCOMPARE pfnCompare, DWORD_PTR dwData);
};

class CEdit : public CWnd {};

// The framework's socket class; the program derives from it without using its operations.
class CSocket {
public:
    CSocket() = default;
    virtual ~CSocket() = default;
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
};

class CPaintDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }

    HDC m_hDC;

private:
    HWND m_hWnd;
    PAINTSTRUCT m_ps;
};

// ---- the application ---------------------------------------------------------------------

class CWinApp {
public:
    explicit CWinApp(const char* lpszAppName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual BOOL InitInstance();
    // The framework's help command: there is no help file to show.
    void OnHelp() {}

    CWnd* m_pMainWnd = nullptr;
    // The application's title: the given name, else the executable's base name.
    const char* m_pszAppName;

private:
    std::string m_strAppName;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
// The framework's start-up: runs the application object's InitInstance; returns the exit code.
int AfxWinMain();
// Framework initialisations that change nothing the program relies on.
inline void AfxEnableControlContainer() {}
inline BOOL Enable3dControlsStatic() {
    return TRUE;
}

#define ID_HELP 0xE146

// ---- dates and times ---------------------------------------------------------------------

#ifndef LANG_USER_DEFAULT
#define LANG_USER_DEFAULT 0x0400
#endif

// A point in time as the platform's locale-aware date parser reads it.
class COleDateTime {
public:
    // False when the text is not a date and time this platform's parser accepts.
    bool ParseDateTime(const char* lpszDate, DWORD dwFlags = 0, DWORD lcid = LANG_USER_DEFAULT);
    bool operator==(const COleDateTime& other) const { return m_dt == other.m_dt; }
    bool operator<(const COleDateTime& other) const { return m_dt < other.m_dt; }

    // Days since 30 December 1899, the fraction the time of day.
    double m_dt = 0;
    bool m_valid = false;
};
