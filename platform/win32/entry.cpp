// The program's entry point on Windows and the application title the framework falls back
// on. Everything else the framework needs is the system's own API.
#include "platform/afx.h"
#include "platform/backend.h"

#include <string>

const char* TvDefaultAppTitle() {
    static const std::string title = [] {
        char path[MAX_PATH] = {};
        DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string name(path, n < MAX_PATH ? n : 0);
        std::size_t slash = name.find_last_of("\\/");
        if (slash != std::string::npos)
            name.erase(0, slash + 1);
        std::size_t dot = name.find_last_of('.');
        if (dot != std::string::npos && dot != 0)
            name.erase(dot);
        return name;
    }();
    return title.c_str();
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The list view lives in the common-controls DLL, whose window classes exist only once
    // they have been asked for; without this the main window's template fails to build.
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES;
    ::InitCommonControlsEx(&icc);
    return AfxWinMain();
}
