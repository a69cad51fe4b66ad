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
#include <iprtrmib.h>

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

// The IPv4 interface table. The executable imports only the core system DLLs, not IP
// Helper's, so the Win32 back end answers this from Windows Sockets
// (platform/win32/ipaddrtable.cpp). The declaration is IP Helper's own, so a translation unit
// that includes its header as well sees no conflict.
extern "C" DWORD WINAPI GetIpAddrTable(PMIB_IPADDRTABLE pIpAddrTable, PULONG pdwSize,
                                       WINBOOL bOrder);
