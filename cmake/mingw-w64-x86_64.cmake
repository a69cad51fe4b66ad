# Cross-compiling for 64-bit Windows with MinGW-w64 from Debian. The -posix variant of the
# compiler, because GoogleTest needs std::thread and friends. Everything is linked
# statically so that tavisol.exe needs nothing beside the system's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVISOL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVISOL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVISOL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVISOL_MINGW_PREFIX}-windres)
set(CMAKE_AR ${TAVISOL_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TAVISOL_MINGW_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${TAVISOL_MINGW_PREFIX}-strip CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TAVISOL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test executables run under Wine.
find_program(TAVISOL_WINE NAMES wine64 wine)
if(TAVISOL_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVISOL_WINE})
endif()

set(TAVISOL_PLATFORM "win32" CACHE STRING "User-interface back end")
