// The Win32 driver: real windows, real messages, the real clock.
#include "platform/win32/driver.h"

#include <cstdio>

namespace win32 {

Driver::~Driver() {
    if (m_thread)
        ::CloseHandle(m_thread);
}

DWORD WINAPI Driver::ThreadMain(void* self) {
    auto* driver = static_cast<Driver*>(self);
    driver->m_result = driver->m_uiMain();
    return 0;
}

void Driver::Start(std::function<int()> uiMain) {
    m_uiMain = std::move(uiMain);
    m_thread = ::CreateThread(nullptr, 0, &Driver::ThreadMain, this, 0, &m_threadId);
}

int Driver::Join(int timeoutMs) {
    if (!m_thread || ::WaitForSingleObject(m_thread, timeoutMs) != WAIT_OBJECT_0)
        return -1;
    return m_result;
}

bool Driver::WaitUntil(const std::function<bool()>& predicate, int timeoutMs) {
    DWORD start = ::GetTickCount();
    for (;;) {
        if (predicate())
            return true;
        if (static_cast<int>(::GetTickCount() - start) > timeoutMs)
            return false;
        ::Sleep(20);
    }
}

std::vector<HWND> Driver::DialogWindows() {
    std::vector<HWND> found;
    // Top-level windows come in z-order, so the newest box or dialog is first.
    ::EnumThreadWindows(
        m_threadId,
        [](HWND hwnd, LPARAM lParam) -> BOOL {
            char cls[16] = {};
            ::GetClassNameA(hwnd, cls, sizeof cls);
            if (lstrcmpA(cls, "#32770") == 0 && ::IsWindowVisible(hwnd))
                reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hwnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND Driver::FindWindowTitled(const std::wstring& title) {
    for (HWND hwnd : DialogWindows())
        if (Title(hwnd) == title)
            return hwnd;
    return nullptr;
}

HWND Driver::WaitForWindow(const std::wstring& title, int timeoutMs) {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindWindowTitled(title)) != nullptr; }, timeoutMs);
    return found;
}

bool Driver::Click(HWND dialog, int controlId) {
    HWND button = ::GetDlgItem(dialog, controlId);
    if (!button || !::IsWindowEnabled(button))
        return false;
    return ::PostMessageA(button, BM_CLICK, 0, 0) != 0;
}

bool Driver::TypeText(HWND dialog, int controlId, const std::string& text) {
    HWND edit = ::GetDlgItem(dialog, controlId);
    if (!edit || !::IsWindowEnabled(edit) || (::GetWindowLongA(edit, GWL_STYLE) & ES_READONLY))
        return false;
    ::SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    return true;
}

void Driver::SysCommand(HWND dialog, UINT id) {
    ::PostMessageA(dialog, WM_SYSCOMMAND, id, 0);
}

bool Driver::DoubleClickRow(HWND dialog, int listId, int row) {
    HWND list = ::GetDlgItem(dialog, listId);
    if (!list || !::IsWindowEnabled(list))
        return false;
    LVITEMA clear{};
    clear.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                   reinterpret_cast<LPARAM>(&clear));
    LVITEMA select{};
    select.state = select.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageA(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&select));
    RECT rc{};
    rc.left = LVIR_LABEL;
    if (!::SendMessageA(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&rc)))
        return false;
    LPARAM at = MAKELPARAM((rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2);
    // Posted: the double-click's handler runs a modal dialog.
    ::PostMessageA(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    ::PostMessageA(list, WM_LBUTTONUP, 0, at);
    return true;
}

bool Driver::ClickColumn(HWND dialog, int listId, int column) {
    HWND list = ::GetDlgItem(dialog, listId);
    HWND header =
        list ? reinterpret_cast<HWND>(::SendMessageA(list, LVM_GETHEADER, 0, 0)) : nullptr;
    RECT rc{};
    if (!header || !::IsWindowEnabled(list) ||
        !::SendMessageA(header, HDM_GETITEMRECT, column, reinterpret_cast<LPARAM>(&rc)))
        return false;
    LPARAM at = MAKELPARAM((rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2);
    // The header reports the click (HDN_ITEMCLICK) on the button's release; the list turns
    // it into LVN_COLUMNCLICK for its parent.
    ::PostMessageA(header, WM_LBUTTONDOWN, MK_LBUTTON, at);
    ::PostMessageA(header, WM_LBUTTONUP, 0, at);
    return true;
}

namespace {
HWND FocusOfThread(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    DWORD thread = ::GetWindowThreadProcessId(window, nullptr);
    return ::GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}
} // namespace

void Driver::PressKey(HWND window, UINT virtualKey) {
    HWND focus = FocusOfThread(window);
    HWND target = focus ? focus : window;
    ::PostMessageA(target, WM_KEYDOWN, virtualKey, 1);
    ::PostMessageA(target, WM_KEYUP, virtualKey, 0xC0000001);
}

bool Driver::SetFocus(HWND dialog, int controlId) {
    HWND control = ::GetDlgItem(dialog, controlId);
    if (!control || !::IsWindowEnabled(control))
        return false;
    ::SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    return FocusOfThread(dialog) == control;
}

bool Driver::SelectRows(HWND dialog, int listId, const std::vector<int>& rows) {
    HWND list = ::GetDlgItem(dialog, listId);
    if (!list)
        return false;
    LVITEMA clear{};
    clear.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                   reinterpret_cast<LPARAM>(&clear));
    for (int row : rows) {
        LVITEMA select{};
        select.state = select.stateMask = LVIS_SELECTED;
        if (!::SendMessageA(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&select)))
            return false;
    }
    return true;
}

std::vector<int> Driver::SelectedRows(HWND dialog, int listId) {
    std::vector<int> rows;
    HWND list = ::GetDlgItem(dialog, listId);
    for (int row = -1; list;) {
        row = static_cast<int>(::SendMessageA(list, LVM_GETNEXTITEM, row, LVNI_SELECTED));
        if (row < 0)
            break;
        rows.push_back(row);
    }
    return rows;
}

HICON Driver::BoxIcon(HWND box) {
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        char cls[16] = {};
        ::GetClassNameA(child, cls, sizeof cls);
        if (lstrcmpiA(cls, "Static") == 0 &&
            (::GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            return reinterpret_cast<HICON>(::SendMessageA(child, STM_GETICON, 0, 0));
    }
    return nullptr;
}

HICON Driver::ShownIcon(HWND dialog, int controlId) {
    HWND control = ::GetDlgItem(dialog, controlId);
    return control ? reinterpret_cast<HICON>(::SendMessageA(control, STM_GETICON, 0, 0)) : nullptr;
}

int Driver::FocusedControl(HWND dialog) {
    HWND focus = FocusOfThread(dialog);
    return focus && ::IsChild(dialog, focus) ? ::GetDlgCtrlID(focus) : 0;
}

std::wstring Driver::Title(HWND window) {
    wchar_t text[512] = {};
    ::GetWindowTextW(window, text, 512);
    return text;
}

std::wstring Driver::Text(HWND dialog, int controlId) {
    HWND control = ::GetDlgItem(dialog, controlId);
    return control ? Title(control) : std::wstring();
}

bool Driver::IsEnabled(HWND dialog, int controlId) {
    HWND control = ::GetDlgItem(dialog, controlId);
    return control && ::IsWindowEnabled(control);
}

std::vector<ControlText> Driver::Controls(HWND dialog) {
    std::vector<ControlText> controls;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        char cls[64] = {};
        ::GetClassNameA(child, cls, sizeof cls);
        controls.push_back({::GetDlgCtrlID(child), cls, Title(child)});
    }
    return controls;
}

std::vector<std::wstring> Driver::ColumnNames(HWND dialog, int listId) {
    std::vector<std::wstring> names;
    HWND list = ::GetDlgItem(dialog, listId);
    for (int i = 0; list; ++i) {
        wchar_t text[128] = {};
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT;
        column.pszText = text;
        column.cchTextMax = 128;
        if (!::SendMessageW(list, LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&column)))
            break;
        names.push_back(text);
    }
    return names;
}

std::vector<int> Driver::ColumnWidths(HWND dialog, int listId) {
    std::vector<int> widths;
    HWND list = ::GetDlgItem(dialog, listId);
    HWND header =
        list ? reinterpret_cast<HWND>(::SendMessageA(list, LVM_GETHEADER, 0, 0)) : nullptr;
    int count = header ? static_cast<int>(::SendMessageA(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
    for (int i = 0; i < count; ++i)
        widths.push_back(static_cast<int>(::SendMessageA(list, LVM_GETCOLUMNWIDTH, i, 0)));
    return widths;
}

DWORD Driver::ListExtendedStyle(HWND dialog, int listId) {
    HWND list = ::GetDlgItem(dialog, listId);
    return list ? static_cast<DWORD>(::SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0)) : 0;
}

std::vector<std::vector<std::string>> Driver::Rows(HWND dialog, int listId) {
    std::vector<std::vector<std::string>> rows;
    HWND list = ::GetDlgItem(dialog, listId);
    if (!list)
        return rows;
    int columns = static_cast<int>(ColumnNames(dialog, listId).size());
    int count = static_cast<int>(::SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < count; ++row) {
        std::vector<std::string> texts;
        for (int column = 0; column < columns; ++column) {
            char text[256] = {};
            LVITEMA item{};
            item.iSubItem = column;
            item.pszText = text;
            item.cchTextMax = sizeof text;
            ::SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
            texts.push_back(text);
        }
        rows.push_back(texts);
    }
    return rows;
}

std::wstring Driver::BoxText(HWND box) {
    // The system's message box keeps its text in the static control 0xFFFF.
    return Text(box, 0xFFFF);
}

bool Driver::Screenshot(HWND window, const std::wstring& path) {
    RECT rc{};
    if (!::GetWindowRect(window, &rc))
        return false;
    int width = rc.right - rc.left, height = rc.bottom - rc.top;
    int stride = (width * 3 + 3) & ~3;
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height; // bottom-up, as BMP files store rows
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = stride * height;

    // From the screen rather than PrintWindow: what the user sees, frame and all.
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&info),
                                        DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bitmap) {
        HGDIOBJ old = ::SelectObject(memory, bitmap);
        ok = ::BitBlt(memory, 0, 0, width, height, screen, rc.left, rc.top, SRCCOPY) != 0;
        ::GdiFlush();
        ::SelectObject(memory, old);
    }
    if (ok) {
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42; // "BM"
        file.bfOffBits = sizeof file + sizeof info;
        file.bfSize = file.bfOffBits + info.biSizeImage;
        FILE* out = _wfopen(path.c_str(), L"wb");
        ok = out && fwrite(&file, sizeof file, 1, out) == 1 &&
             fwrite(&info, sizeof info, 1, out) == 1 && fwrite(bits, info.biSizeImage, 1, out) == 1;
        if (out)
            fclose(out);
    }
    if (bitmap)
        ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return ok;
}

} // namespace win32
