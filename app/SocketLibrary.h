// Starting the socket library the way both of the program's windows do.
#pragma once

#include "platform/afx.h"

// Asks for Windows Sockets 2.1, then 1.1; when both fail, warns in a box owned by pWnd with
// the second request's error code. The window goes on either way.
void StartSocketLibrary(CWnd* pWnd);
