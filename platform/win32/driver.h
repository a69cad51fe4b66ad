// The driver of the Win32 back end: runs a program's user-interface thread inside the
// calling process and acts on its real windows the way a user would, from another thread
// (a test under Wine or on Windows).
//
// Actions are posted (PostMessage), never sent: a handler that runs a message box or a
// modal dialog would otherwise hold the driver until the user answers it. Readers send
// messages to the user-interface thread and return once it has answered them, which it
// does from any of its loops, nested ones included. Time is the real clock.
#pragma once

#include "platform/winapi.h"

#include <functional>
#include <string>
#include <vector>

namespace win32 {

// What a window shows of one of its controls.
struct ControlText {
    int id;
    std::string className;
    std::wstring text;
};

class Driver {
public:
    Driver() = default;
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Runs uiMain (for example TavisolMain) on a new user-interface thread.
    void Start(std::function<int()> uiMain);
    // Waits until the program has returned: its result, or -1 after the time-out.
    int Join(int timeoutMs = 10000);

    // ---- waiting (real time; the predicate is polled on the calling thread)
    static bool WaitUntil(const std::function<bool()>& predicate, int timeoutMs = 5000);
    // A visible dialog-class window of the user-interface thread with this exact title.
    HWND WaitForWindow(const std::wstring& title, int timeoutMs = 5000);
    HWND FindWindowTitled(const std::wstring& title);
    // Message boxes and dialogs shown now, topmost first.
    std::vector<HWND> DialogWindows();

    // ---- actions; false when the control is missing or disabled
    static bool Click(HWND dialog, int controlId);
    static bool TypeText(HWND dialog, int controlId, const std::string& text);
    static void SysCommand(HWND dialog, UINT id);
    // Selects the row alone and double-clicks it, as the mouse would.
    static bool DoubleClickRow(HWND dialog, int listId, int row);
    // Presses and releases the mouse on a column's heading, as a click on it would.
    static bool ClickColumn(HWND dialog, int listId, int column);
    // Presses and releases a key in the window that has the keyboard focus on the window's
    // thread (the window itself when none has): Enter and Escape then take the dialog
    // manager's way, as typed ones do.
    static void PressKey(HWND window, UINT virtualKey);
    // Moves the focus to a control the way the dialog manager does (WM_NEXTDLGCTL).
    static bool SetFocus(HWND dialog, int controlId);
    // Selects exactly these rows, without clicking.
    static bool SelectRows(HWND dialog, int listId, const std::vector<int>& rows);

    // ---- readers
    static std::wstring Title(HWND window);
    static std::wstring Text(HWND dialog, int controlId);
    static bool IsEnabled(HWND dialog, int controlId);
    static std::vector<ControlText> Controls(HWND dialog); // in z-order, the template's order
    static std::vector<std::wstring> ColumnNames(HWND dialog, int listId);
    static std::vector<int> ColumnWidths(HWND dialog, int listId);
    static DWORD ListExtendedStyle(HWND dialog, int listId);
    static std::vector<std::vector<std::string>> Rows(HWND dialog, int listId);
    // The message box's text (its static control), empty if the window is no message box.
    static std::wstring BoxText(HWND box);
    // The icon a message box shows, null for none.
    static HICON BoxIcon(HWND box);
    // The icon a static icon control shows.
    static HICON ShownIcon(HWND dialog, int controlId);
    // The control that has the keyboard focus on the dialog's thread, 0 for none.
    static int FocusedControl(HWND dialog);
    static std::vector<int> SelectedRows(HWND dialog, int listId);

    // The window as it is on the screen, frame included, as a 24-bit BMP file (the desktop
    // window: the whole screen).
    static bool Screenshot(HWND window, const std::wstring& path);

private:
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    std::function<int()> m_uiMain;
    int m_result = -1;
    static DWORD WINAPI ThreadMain(void* self);
};

} // namespace win32
