// Message maps: a small macro set in the shape of WTL's. A class lists its handlers between
// BEGIN_MSG_MAP(theClass, baseClass) and END_MSG_MAP(); the list expands to one override of
// ProcessWindowMessage that tries the entries in order and hands anything unclaimed to the
// base class. Each macro's comment gives the handler's signature.
//
// A handler that wants the default processing as well calls SetMsgHandled(FALSE), which is
// what the framework's own OnSysCommand, OnPaint and OnTimer do.
#pragma once

#define BEGIN_MSG_MAP(theClass, baseClass)                                                         \
public:                                                                                            \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,                  \
                              LRESULT& lResult) override {                                         \
        typedef baseClass MsgMapBase;                                                              \
        (void)wParam;                                                                              \
        (void)lParam;

// void OnSysCommand(UINT nID, LPARAM lParam)
#define MSG_WM_SYSCOMMAND(func)                                                                    \
    if (uMsg == WM_SYSCOMMAND) {                                                                   \
        SetMsgHandled(TRUE);                                                                       \
        lResult = 0;                                                                               \
        func(static_cast<UINT>(wParam), lParam);                                                   \
        if (IsMsgHandled())                                                                        \
            return TRUE;                                                                           \
        return FALSE;                                                                              \
    }

// void OnPaint()
#define MSG_WM_PAINT(func)                                                                         \
    if (uMsg == WM_PAINT) {                                                                        \
        SetMsgHandled(TRUE);                                                                       \
        lResult = 0;                                                                               \
        func();                                                                                    \
        return IsMsgHandled();                                                                     \
    }

// HCURSOR OnQueryDragIcon()
#define MSG_WM_QUERYDRAGICON(func)                                                                 \
    if (uMsg == WM_QUERYDRAGICON) {                                                                \
        lResult = reinterpret_cast<LRESULT>(func());                                               \
        return TRUE;                                                                               \
    }

// void OnTimer(UINT nIDEvent)
#define MSG_WM_TIMER(func)                                                                         \
    if (uMsg == WM_TIMER) {                                                                        \
        SetMsgHandled(TRUE);                                                                       \
        lResult = 0;                                                                               \
        func(static_cast<UINT>(wParam));                                                           \
        return IsMsgHandled();                                                                     \
    }

// void OnClicked(): BN_CLICKED of the button with the given id
#define COMMAND_BN_CLICKED(id, func)                                                               \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id) && HIWORD(wParam) == BN_CLICKED) {            \
        lResult = 0;                                                                               \
        func();                                                                                    \
        return TRUE;                                                                               \
    }

// void OnNotify(NMHDR* pNMHDR, LRESULT* pResult): WM_NOTIFY with the given code from the
// control with the given id
#define NOTIFY_HANDLER_EX(id, cd, func)                                                            \
    if (uMsg == WM_NOTIFY && reinterpret_cast<NMHDR*>(lParam)->idFrom == (UINT_PTR)(id) &&         \
        reinterpret_cast<NMHDR*>(lParam)->code == (UINT)(cd)) {                                    \
        lResult = 0;                                                                               \
        func(reinterpret_cast<NMHDR*>(lParam), &lResult);                                          \
        return TRUE;                                                                               \
    }

// LRESULT OnMessage(WPARAM wParam, LPARAM lParam): a message of the program's own
#define MESSAGE_HANDLER_EX(msg, func)                                                              \
    if (uMsg == (UINT)(msg)) {                                                                     \
        lResult = func(wParam, lParam);                                                            \
        return TRUE;                                                                               \
    }

#define END_MSG_MAP()                                                                              \
    return MsgMapBase::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult);                  \
    }
