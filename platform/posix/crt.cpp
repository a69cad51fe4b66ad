// C runtime pieces of the Windows API on Linux: multibyte comparisons and wsprintfA.
#include "platform/winapi.h"

#include <cstdarg>
#include <cstdio>

namespace {
// Windows folds letters to lower case, so that [ \ ] ^ _ and ` rank before the letters in
// either case. The texts here are UTF-8, whose multibyte characters hold no byte below 128:
// folding ASCII letters byte by byte never touches part of another character, which a
// double-byte code page's trail bytes would need minding for.
unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
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
