// A stand-in for netsh.exe in the installer test's Wine prefix (Wine's own netsh accepts any
// firewall command and does nothing). It appends its command line to the file that
// TAVISOL_NETSH_LOG names and exits with TAVISOL_NETSH_EXIT (default 1: the firewall could not
// be configured), so that the test sees which rules the installer asks for and that it goes on
// when it cannot have them.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
    const wchar_t* line = GetCommandLineW();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? static_cast<std::size_t>(bytes) : 1, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), bytes, nullptr, nullptr);
    text.resize(std::char_traits<char>::length(text.c_str()));

    if (const char* log = std::getenv("TAVISOL_NETSH_LOG")) {
        if (std::FILE* f = std::fopen(log, "ab")) {
            std::fprintf(f, "%s\n", text.c_str());
            std::fclose(f);
        }
    }
    const char* code = std::getenv("TAVISOL_NETSH_EXIT");
    return code ? std::atoi(code) : 1;
}
