// C runtime pieces of the Windows API on Linux: multibyte comparisons and wsprintfA.
#include "platform/winapi.h"

#include <cstdarg>
#include <cstdio>

namespace {
unsigned char FoldAscii(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}
} // namespace

int _mbscmp(const unsigned char* a, const unsigned char* b) {
    for (;; ++a, ++b) {
        if (*a != *b)
            return *a < *b ? -1 : 1;
        if (*a == 0)
            return 0;
    }
}

int _mbsicmp(const unsigned char* a, const unsigned char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = FoldAscii(*a), cb = FoldAscii(*b);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}

// Windows caps the output at 1024 characters including the terminator.
int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
    va_list args;
    va_start(args, lpFmt);
    int n = std::vsnprintf(lpOut, 1024, lpFmt, args);
    va_end(args);
    if (n < 0)
        return 0;
    return n > 1023 ? 1023 : n;
}
