// Windows: the real system headers. The Win32 back end builds against these.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <mbstring.h>
