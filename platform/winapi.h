// The Windows API subset the program is written against.
//
// The program's classes read like ordinary Windows dialog code. On Windows this header is
// the system's own headers; elsewhere it declares the same names with the same meanings,
// and a back end (headless, Qt) implements them. Only what the program calls is here.
#pragma once

#if defined(_WIN32)
#include "platform/winapi_win32.h"
#else
#include "platform/winapi_posix.h"
#endif
