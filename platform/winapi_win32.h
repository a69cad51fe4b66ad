// Windows: the real system headers. The Win32 back end builds against these.
//
// The program calls the ANSI functions by their A names. NOMINMAX keeps std::min and
// std::max usable.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <mbstring.h>

// The headers map these generic names to the A or W function. Here they are the framework's
// member names (CWnd::MessageBox, CMenu::AppendMenu ...), as on every other back end: mapped,
// they would become members named MessageBoxA and hide the system's MessageBoxA from the
// program's unqualified calls inside its window classes.
#undef AppendMenu
#undef GetWindowText
#undef GetWindowTextLength
#undef MessageBox
#undef PostMessage
#undef SendMessage
#undef SetWindowText
