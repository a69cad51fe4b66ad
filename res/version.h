// The program's version: the one place it is written. The window captions, the About box,
// the Windows version resource and manifest, tavisol-cli --version and the packages take it
// from here (CMake reads the numbers below as well).
#pragma once

#define TAVISOL_VERSION_MAJOR 3
#define TAVISOL_VERSION_MINOR 0
#define TAVISOL_VERSION_PATCH 0
#define TAVISOL_VERSION_TWEAK 1

// The maker the version resource and the Windows installer name (CMake reads it as well).
#define TAVISOL_PUBLISHER "KESTOVA"

#define TAVISOL_VERSION_STRINGIFY(x) #x
#define TAVISOL_VERSION_JOIN(a, b, c, d)                                                           \
    TAVISOL_VERSION_STRINGIFY(a)                                                                   \
    "." TAVISOL_VERSION_STRINGIFY(b) "." TAVISOL_VERSION_STRINGIFY(                                \
        c) "." TAVISOL_VERSION_STRINGIFY(d)
// "3.0.0.1"
#define TAVISOL_VERSION_TEXT                                                                       \
    TAVISOL_VERSION_JOIN(TAVISOL_VERSION_MAJOR, TAVISOL_VERSION_MINOR, TAVISOL_VERSION_PATCH,      \
                         TAVISOL_VERSION_TWEAK)
