// The Windows user-interface calls on the headless engine.
#include "platform/backend.h"
#include "platform/headless/engine.h"
#include "platform/headless/faults.h"
#include "platform/posix_sockets.h"

#include <cstring>
#include <unistd.h>

using headless::Engine;
using headless::Window;

namespace {
Engine& E() {
    return Engine::Get();
}

HICON IconHandle(int id) {
    return reinterpret_cast<HICON>(static_cast<std::uintptr_t>(0x10000 + id));
}

HWND FirstTabStop(const Window& dlg) {
    for (HWND c : dlg.children) {
        Window* w = E().Find(c);
        if (w && (w->style & WS_TABSTOP) && w->enabled)
            return c;
    }
    return nullptr;
}
} // namespace

const char* TvDefaultAppTitle() {
    return "tavisol";
}

HINSTANCE GetModuleHandleA(LPCSTR) {
    return reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(0x400000));
}

INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                        LPARAM dwInitParam) {
    if (!IS_INTRESOURCE(lpTemplateName))
        return -1;
    const res::DialogTemplate* tmpl =
        res::FindDialog(static_cast<int>(reinterpret_cast<std::uintptr_t>(lpTemplateName)));
    if (!tmpl || !lpDialogFunc)
        return -1;
    HWND hwnd = E().CreateDialogWindow(*tmpl, hWndParent, lpDialogFunc);
    bool ownerWasEnabled = false;
    if (Window* owner = E().Find(hWndParent)) {
        ownerWasEnabled = owner->enabled;
        owner->enabled = false;
    }
    Window* dlg = E().Find(hwnd);
    HWND first = FirstTabStop(*dlg);
    if (E().Dispatch(hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), dwInitParam)) {
        if (Window* w = E().Find(hwnd); w && !w->focus)
            w->focus = FirstTabStop(*w);
    }
    // The dialog manager shows a modal dialog once WM_INITDIALOG has been handled.
    if (Window* w = E().Find(hwnd))
        w->visible = true;
    INT_PTR result = E().RunModal(hwnd);
    E().Dispatch(hwnd, WM_DESTROY, 0, 0);
    E().Rec().dialogRuns.push_back({tmpl->id, result});
    E().DestroyDialogWindow(hwnd);
    if (Window* owner = E().Find(hWndParent); owner && ownerWasEnabled)
        owner->enabled = true;
    return result;
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult) {
    Window* w = E().Find(hDlg);
    if (!w || !w->isDialog)
        return FALSE;
    w->ended = true;
    w->result = nResult;
    return TRUE;
}

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return E().Dispatch(hWnd, Msg, wParam, lParam);
}

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (!E().Find(hWnd))
        return FALSE;
    E().Post(hWnd, Msg, wParam, lParam);
    return TRUE;
}

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) {
    Window* dlg = E().Find(hDlg);
    if (!dlg)
        return nullptr;
    for (HWND c : dlg->children)
        if (Window* w = E().Find(c); w && w->id == nIDDlgItem)
            return c;
    return nullptr;
}

int GetDlgCtrlID(HWND hWnd) {
    Window* w = E().Find(hWnd);
    return w && !w->isDialog ? w->id : 0;
}

HWND GetParent(HWND hWnd) {
    Window* w = E().Find(hWnd);
    return w ? w->parent : nullptr;
}

BOOL IsWindow(HWND hWnd) {
    return E().Find(hWnd) != nullptr;
}

BOOL EnableWindow(HWND hWnd, BOOL bEnable) {
    Window* w = E().Find(hWnd);
    if (!w)
        return FALSE;
    BOOL wasDisabled = !w->enabled;
    w->enabled = bEnable != FALSE;
    return wasDisabled;
}

BOOL IsWindowEnabled(HWND hWnd) {
    Window* w = E().Find(hWnd);
    return w && w->enabled;
}

HWND SetFocus(HWND hWnd) {
    Window* w = E().Find(hWnd);
    if (!w)
        return nullptr;
    Window* dlg = w->isDialog ? w : E().Find(w->parent);
    if (!dlg)
        return nullptr;
    HWND old = dlg->focus;
    dlg->focus = w->isDialog ? nullptr : hWnd;
    return old;
}

HWND GetFocus() {
    Window* top = E().TopDialog();
    return top ? top->focus : nullptr;
}

BOOL SetWindowTextA(HWND hWnd, LPCSTR lpString) {
    Window* w = E().Find(hWnd);
    if (!w)
        return FALSE;
    w->text = lpString ? lpString : "";
    return TRUE;
}

int GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    Window* w = E().Find(hWnd);
    if (!w || !lpString || nMaxCount <= 0)
        return 0;
    int n = static_cast<int>(w->text.size());
    if (n > nMaxCount - 1)
        n = nMaxCount - 1;
    std::memcpy(lpString, w->text.data(), static_cast<std::size_t>(n));
    lpString[n] = '\0';
    return n;
}

int GetWindowTextLengthA(HWND hWnd) {
    Window* w = E().Find(hWnd);
    return w ? static_cast<int>(w->text.size()) : 0;
}

LONG_PTR SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    Window* w = E().Find(hWnd);
    if (!w)
        return 0;
    LONG_PTR* slot = nIndex == DWLP_USER        ? &w->user
                     : nIndex == DWLP_MSGRESULT ? &w->msgResult
                     : nIndex == GWLP_USERDATA  ? &w->userData
                                                : nullptr;
    if (!slot)
        return 0;
    LONG_PTR old = *slot;
    *slot = dwNewLong;
    return old;
}

LONG_PTR GetWindowLongPtrA(HWND hWnd, int nIndex) {
    Window* w = E().Find(hWnd);
    if (!w)
        return 0;
    if (nIndex == GWL_STYLE) {
        DWORD style = w->style & ~(WS_VISIBLE | WS_MINIMIZE | WS_DISABLED);
        Window* dlg = w->isDialog ? w : E().Find(w->parent);
        if (dlg && dlg->visible)
            style |= WS_VISIBLE;
        if (w->iconic)
            style |= WS_MINIMIZE;
        if (!w->enabled)
            style |= WS_DISABLED;
        return static_cast<LONG_PTR>(style);
    }
    return nIndex == DWLP_USER        ? w->user
           : nIndex == DWLP_MSGRESULT ? w->msgResult
           : nIndex == GWLP_USERDATA  ? w->userData
                                      : 0;
}

BOOL IsIconic(HWND hWnd) {
    Window* w = E().Find(hWnd);
    return w && w->iconic;
}

BOOL InvalidateRect(HWND hWnd, const RECT*, BOOL bErase) {
    Window* w = E().Find(hWnd);
    if (!w)
        return FALSE;
    Window* dlg = w->isDialog ? w : E().Find(w->parent);
    if (dlg)
        dlg->invalid = true;
    ++E().Rec().invalidateCalls;
    if (bErase)
        ++E().Rec().invalidateEraseCalls;
    return TRUE;
}

BOOL UpdateWindow(HWND hWnd) {
    Window* w = E().Find(hWnd);
    if (!w)
        return FALSE;
    ++E().Rec().updateCalls;
    if (w->isDialog && w->invalid)
        E().PaintNow(*w);
    return TRUE;
}

BOOL GetClientRect(HWND hWnd, LPRECT lpRect) {
    Window* w = E().Find(hWnd);
    if (!w || !lpRect)
        return FALSE;
    *lpRect = w->client;
    return TRUE;
}

// Only dialogs have a place of their own here; their controls move with them.
BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) {
    Window* w = E().Find(hWnd);
    if (!w || !w->isDialog || !lpRect)
        return FALSE;
    *lpRect = w->rect;
    return TRUE;
}

BOOL SetWindowPos(HWND hWnd, HWND, int X, int Y, int cx, int cy, UINT uFlags) {
    Window* w = E().Find(hWnd);
    if (!w || !w->isDialog)
        return FALSE;
    RECT rect = w->rect;
    if (!(uFlags & SWP_NOMOVE)) {
        rect.right += X - rect.left;
        rect.bottom += Y - rect.top;
        rect.left = X;
        rect.top = Y;
    }
    if (!(uFlags & SWP_NOSIZE)) {
        rect.right = rect.left + cx;
        rect.bottom = rect.top + cy;
    }
    E().MoveDialog(*w, rect);
    return TRUE;
}

HWND GetWindow(HWND hWnd, UINT uCmd) {
    Window* w = E().Find(hWnd);
    // A dialog's owner; controls are children, which have none.
    return w && w->isDialog && uCmd == GW_OWNER ? w->parent : nullptr;
}

BOOL IsWindowVisible(HWND hWnd) {
    return (GetWindowLongPtrA(hWnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

// One monitor.
HMONITOR MonitorFromWindow(HWND, DWORD) {
    return reinterpret_cast<HMONITOR>(static_cast<std::uintptr_t>(1));
}

BOOL GetMonitorInfoA(HMONITOR hMonitor, LPMONITORINFO lpmi) {
    if (hMonitor != MonitorFromWindow(nullptr, 0) || !lpmi)
        return FALSE;
    E().Screen(&lpmi->rcMonitor, &lpmi->rcWork);
    lpmi->dwFlags = 1; // MONITORINFOF_PRIMARY
    return TRUE;
}

HDC BeginPaint(HWND hWnd, PAINTSTRUCT* lpPaint) {
    Window* w = E().Find(hWnd);
    if (!w)
        return nullptr;
    w->invalid = false;
    HDC hdc = reinterpret_cast<HDC>(hWnd);
    if (lpPaint) {
        lpPaint->hdc = hdc;
        lpPaint->fErase = FALSE;
        lpPaint->rcPaint = w->client;
    }
    return hdc;
}

BOOL EndPaint(HWND, const PAINTSTRUCT*) {
    return TRUE;
}

BOOL DrawIcon(HDC, int, int, HICON hIcon) {
    E().Rec().drawnIcons.push_back(headless::IconId(hIcon));
    return hIcon != nullptr;
}

int GetSystemMetrics(int nIndex) {
    switch (nIndex) {
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    default:
        return 0;
    }
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC) {
    if (headless::TakeInjectedUiFailure("SetTimer"))
        return 0;
    if (hWnd && !E().Find(hWnd))
        return 0;
    return E().SetTimer(hWnd, nIDEvent, uElapse);
}

BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    return E().KillTimer(hWnd, uIDEvent);
}

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    return E().ShowMessageBox(hWnd, lpText, lpCaption, uType);
}

HICON LoadIconA(HINSTANCE, LPCSTR lpIconName) {
    if (!IS_INTRESOURCE(lpIconName))
        return nullptr;
    int id = static_cast<int>(reinterpret_cast<std::uintptr_t>(lpIconName));
    return res::FindIcon(id) ? IconHandle(id) : nullptr;
}

int LoadStringA(HINSTANCE, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    const char* text = res::FindString(static_cast<int>(uID));
    if (!text || !lpBuffer || cchBufferMax <= 0)
        return 0;
    int n = static_cast<int>(std::strlen(text));
    if (n > cchBufferMax - 1)
        n = cchBufferMax - 1;
    std::memcpy(lpBuffer, text, static_cast<std::size_t>(n));
    lpBuffer[n] = '\0';
    return n;
}

HMENU GetSystemMenu(HWND hWnd, BOOL) {
    Window* w = E().Find(hWnd);
    if (!w || !w->isDialog || !(w->style & WS_SYSMENU))
        return nullptr;
    return reinterpret_cast<HMENU>(hWnd);
}

BOOL AppendMenuA(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCSTR lpNewItem) {
    Window* w = E().Find(reinterpret_cast<HWND>(hMenu));
    if (!w)
        return FALSE;
    w->sysMenu.push_back(
        {uFlags, uIDNewItem, (uFlags & MF_SEPARATOR) || !lpNewItem ? "" : lpNewItem});
    return TRUE;
}

HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int, int) {
    return E().CreateImageList(cx, cy, flags);
}

BOOL ImageList_Destroy(HIMAGELIST himl) {
    E().DestroyImageList(himl);
    return TRUE;
}

int ImageList_ReplaceIcon(HIMAGELIST himl, int i, HICON hicon) {
    headless::ImageList* list = E().FindImageList(himl);
    if (!list)
        return -1;
    if (i == -1) {
        list->icons.push_back(hicon);
        return static_cast<int>(list->icons.size()) - 1;
    }
    if (i < 0 || static_cast<std::size_t>(i) >= list->icons.size())
        return -1;
    list->icons[static_cast<std::size_t>(i)] = hicon;
    return i;
}

int ImageList_GetImageCount(HIMAGELIST himl) {
    headless::ImageList* list = E().FindImageList(himl);
    return list ? static_cast<int>(list->icons.size()) : 0;
}

HINSTANCE ShellExecuteA(HWND, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR, LPCSTR, int) {
    // No desktop here: the document is remembered, as if the default handler had taken it.
    if (!lpOperation || std::strcmp(lpOperation, "open") != 0 || !lpFile)
        return reinterpret_cast<HINSTANCE>(static_cast<std::intptr_t>(31)); // no association
    int result = E().ShellResult();
    if (result > 32 && E().GetHost() && E().GetHost()->Live() && !E().GetHost()->OpenUrl(lpFile))
        result = 31; // the desktop has no handler for it
    if (result > 32)
        E().Rec().urlsOpened.push_back(lpFile);
    return reinterpret_cast<HINSTANCE>(static_cast<std::intptr_t>(result));
}

DWORD GetTickCount() {
    return static_cast<DWORD>(E().Now());
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(::getpid());
}

// ---- the socket seam ---------------------------------------------------------------------

namespace tvposix {
void WatchSocket(SOCKET s, int fd, HWND hWnd, UINT wMsg, long lEvent) {
    E().WatchSocket(s, fd, hWnd, wMsg, lEvent);
}
void UnwatchSocket(SOCKET s) {
    E().UnwatchSocket(s);
}
void SocketReceived(SOCKET s) {
    E().SocketReceived(s);
}
} // namespace tvposix
