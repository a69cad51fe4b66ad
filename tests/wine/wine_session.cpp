// The Wine suite's shared fixture, its UDP peer, the shell interception and main().
#include "tests/wine/wine_session.h"

#include "app/Globals.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

namespace winetest {

// ---- the lab ---------------------------------------------------------------------------------

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

namespace {
// TAVISOL_LAB_<prefix>WORKSTATION, ..._CONFIGURED "address name", ..._UNCONFIGURED "name hw",
// ..._NEW_ADDRESS "address mask gateway", ..._STATUS.
Segment ReadSegment(const std::string& prefix) {
    auto env = [&](const char* name) { return Env(("TAVISOL_LAB_" + prefix + name).c_str()); };
    Segment s;
    std::vector<std::string> configured = Words(env("CONFIGURED"));
    std::vector<std::string> unconfigured = Words(env("UNCONFIGURED"));
    std::vector<std::string> address = Words(env("NEW_ADDRESS"));
    s.workstation = env("WORKSTATION");
    s.status = env("STATUS");
    if (configured.size() != 2 || unconfigured.size() != 2 || address.size() != 3 ||
        s.workstation.empty() || s.status.empty())
        return s;
    s.configuredAddress = configured[0];
    s.configuredName = configured[1];
    s.unconfiguredName = unconfigured[0];
    s.unconfiguredHw = unconfigured[1];
    s.newAddress = address[0];
    s.newMask = address[1];
    s.newGateway = address[2];
    s.ok = true;
    return s;
}
} // namespace

const Lab& TheLab() {
    static const Lab lab = [] {
        Lab l;
        static_cast<Segment&>(l) = ReadSegment("");
        l.second = ReadSegment("SEGMENT2_");
        return l;
    }();
    return lab;
}

std::vector<const Segment*> Segments() {
    std::vector<const Segment*> segments;
    if (TheLab().ok)
        segments.push_back(&TheLab());
    if (TheLab().second.ok)
        segments.push_back(&TheLab().second);
    return segments;
}

bool ListsSegment(const Rows& rows, const Segment& segment) {
    return HasRow(rows, {segment.configuredAddress, segment.configuredName}) &&
           (HasRow(rows, {"No IP", segment.unconfiguredName}) ||
            HasRow(rows, {segment.newAddress, segment.unconfiguredName}));
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

int FindRow(const Rows& rows, const std::vector<std::string>& wanted) {
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i] == wanted)
            return static_cast<int>(i);
    return -1;
}

bool HasRow(const Rows& rows, const std::vector<std::string>& wanted) {
    return FindRow(rows, wanted) >= 0;
}

std::string RowsText(const Rows& rows) {
    std::string text;
    for (const auto& row : rows) {
        text += "{";
        for (const auto& cell : row)
            text += "\"" + cell + "\" ";
        text += "} ";
    }
    return text;
}

void Shoot(const wchar_t* name) {
    std::string dir = Env("TAVISOL_SHOTS");
    if (dir.empty())
        return;
    ::Sleep(500); // let the last paint reach the screen
    std::wstring path = Wide(dir) + L"\\" + name + L".bmp";
    EXPECT_TRUE(win32::Driver::Screenshot(::GetDesktopWindow(), path)) << Narrow(path);
}

RECT WindowRect(HWND window) {
    RECT rect{};
    ::GetWindowRect(window, &rect);
    return rect;
}

RECT WorkAreaOf(HWND window) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    ::GetMonitorInfoA(::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info);
    return info.rcWork;
}

::testing::AssertionResult CentredOn(HWND window, const RECT& on) {
    RECT r = WindowRect(window);
    // Centres doubled, so that they compare without halving.
    LONG dx = (r.left + r.right) - (on.left + on.right);
    LONG dy = (r.top + r.bottom) - (on.top + on.bottom);
    if (dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "(" << r.left << "," << r.top << ")-(" << r.right << ","
                                         << r.bottom << ") is not centred on (" << on.left << ","
                                         << on.top << ")-(" << on.right << "," << on.bottom << ")";
}

// ---- the peer --------------------------------------------------------------------------------

Peer::Peer(const std::string& address, int port, bool reuse) {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return;
    BOOL on = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
    if (reuse)
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<u_short>(port));
    local.sin_addr.s_addr = ::inet_addr(address.c_str());
    if (::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
        std::fprintf(stderr, "peer: bind %s:%d failed, error %d\n", address.c_str(), port,
                     ::WSAGetLastError());
        ::closesocket(s);
        return;
    }
    m_socket = s;
}

Peer::~Peer() {
    if (m_socket != INVALID_SOCKET)
        ::closesocket(m_socket);
}

bool Peer::SendTo(const std::string& address, int port, const Bytes& payload) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    to.sin_addr.s_addr = ::inet_addr(address.c_str());
    int sent =
        ::sendto(m_socket, reinterpret_cast<const char*>(payload.data()),
                 static_cast<int>(payload.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return sent == static_cast<int>(payload.size());
}

bool Peer::Receive(Bytes& payload, std::string& from, int& fromPort, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(m_socket, &readable);
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (::select(0, &readable, nullptr, nullptr, &wait) != 1)
        return false;
    char buffer[2048];
    sockaddr_in source{};
    int length = sizeof source;
    int got = ::recvfrom(m_socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&source),
                         &length);
    if (got == SOCKET_ERROR)
        return false;
    payload.assign(buffer, buffer + got);
    from = ::inet_ntoa(source.sin_addr);
    fromPort = ntohs(source.sin_port);
    return true;
}

// ---- the shell -------------------------------------------------------------------------------

namespace {

std::mutex g_shellMutex;
std::vector<std::string> g_shellCalls;
int g_shellResult = 42;

HINSTANCE WINAPI RecordShellExecute(HWND, LPCSTR, LPCSTR file, LPCSTR, LPCSTR, INT) {
    std::lock_guard<std::mutex> lock(g_shellMutex);
    g_shellCalls.push_back(file ? file : "");
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(g_shellResult));
}

// Points this executable's import of dll!function at `replacement`. The program calls the
// system through the import table, so this catches every call, and nothing of the system
// runs: no browser can start, whatever the prefix knows about URLs.
bool PatchImport(const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleA(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress)
        return false;
    bool patched = false;
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         entry->Name; ++entry) {
        if (::lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0)
            continue;
        DWORD namesAt = entry->OriginalFirstThunk ? entry->OriginalFirstThunk : entry->FirstThunk;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + namesAt);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                continue;
            DWORD old = 0;
            if (!::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                                  &old))
                return false;
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            ::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            patched = true;
        }
    }
    return patched;
}

// The port-67 listener's successful receives, counted beside the program: it prints one
// "BOOTP options" line for every datagram that listener examines, and the runner holds the
// lines it finds against this count.
using RecvFromCall = int(WSAAPI*)(SOCKET, char*, int, int, sockaddr*, int*);
RecvFromCall g_systemRecvFrom = nullptr;
std::atomic<int> g_listenerReceives{0};

int WSAAPI CountingRecvFrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromLen) {
    int n = g_systemRecvFrom(s, buf, len, flags, from, fromLen);
    // The program's user-interface thread is the one that makes and receives on the
    // listener, so the handle read here is the one it receives on.
    if (n != SOCKET_ERROR && s == g_hBootpSearchSocket)
        ++g_listenerReceives;
    return n;
}

} // namespace

void SetShellResult(int result) {
    std::lock_guard<std::mutex> lock(g_shellMutex);
    g_shellResult = result;
}

std::vector<std::string> ShellCalls() {
    std::lock_guard<std::mutex> lock(g_shellMutex);
    return g_shellCalls;
}

void ClearShellCalls() {
    std::lock_guard<std::mutex> lock(g_shellMutex);
    g_shellCalls.clear();
}

// ---- the program -----------------------------------------------------------------------------

win32::Driver* ProgramSuite::s_driver = nullptr;
HWND ProgramSuite::s_main = nullptr;

void ProgramSuite::SetUpTestSuite() {
    s_driver = new win32::Driver;
    s_driver->Start(TavisolMain);
    // Wine's first window of a fresh session can take a while to map.
    s_main = s_driver->WaitForWindow(kMainTitle, 30000);
}

void ProgramSuite::TearDownTestSuite() {
    if (s_main) {
        for (HWND hwnd : s_driver->DialogWindows())
            if (hwnd != s_main)
                ::PostMessageA(hwnd, WM_CLOSE, 0, 0);
        win32::Driver::Click(s_main, IDCANCEL);
        EXPECT_EQ(s_driver->Join(10000), 0) << "the program did not end with Close";
    }
    delete s_driver;
    s_driver = nullptr;
    s_main = nullptr;
    ClearShellCalls();
    SetShellResult(42);
}

void ProgramSuite::SetUp() {
    ASSERT_NE(s_main, nullptr) << "the main window never appeared";
}

std::string ProgramSuite::OtherWindows() {
    std::string shown;
    for (HWND hwnd : s_driver->DialogWindows()) {
        if (hwnd == s_main)
            continue;
        shown.append("[").append(Narrow(win32::Driver::Title(hwnd)));
        shown.append(": ").append(Narrow(win32::Driver::BoxText(hwnd))).append("] ");
    }
    return shown;
}

void ProgramSuite::AnswerBox(const std::wstring& caption, const std::wstring& text,
                             const std::vector<std::wstring>& buttons, HWND owner, int icon,
                             int press, int timeoutMs) {
    HWND box = s_driver->WaitForWindow(caption, timeoutMs);
    ASSERT_NE(box, nullptr) << "no \"" << Narrow(caption) << "\" box; " << OtherWindows();
    EXPECT_EQ(win32::Driver::BoxText(box), text);
    std::vector<std::wstring> shown;
    for (const auto& control : win32::Driver::Controls(box))
        if (control.className == "Button" && ::IsWindowVisible(::GetDlgItem(box, control.id)))
            shown.push_back(control.text);
    EXPECT_EQ(shown, buttons);
    EXPECT_EQ(::GetWindow(box, GW_OWNER), owner);
    // A box with an owner disables it while it waits; one without disables nothing.
    if (owner) {
        EXPECT_FALSE(::IsWindowEnabled(owner));
    }
    HICON expectedIcon = icon ? ::LoadIconW(nullptr, MAKEINTRESOURCEW(icon)) : nullptr;
    EXPECT_EQ(win32::Driver::BoxIcon(box), expectedIcon) << Narrow(caption);
    ASSERT_TRUE(win32::Driver::Click(box, press));
    ASSERT_TRUE(win32::Driver::WaitUntil([&] { return !::IsWindow(box); }));
}

::testing::AssertionResult ProgramSuite::StartSearch() {
    if (!win32::Driver::Click(s_main, IDC_SEARCH))
        return ::testing::AssertionFailure() << "Search is not enabled";
    if (!win32::Driver::WaitUntil([] { return !win32::Driver::IsEnabled(s_main, IDC_SEARCH); },
                                  2000))
        return ::testing::AssertionFailure() << "Search stayed enabled; " << OtherWindows();
    return ::testing::AssertionSuccess();
}

bool ProgramSuite::WaitForRows(const std::function<bool(const Rows&)>& predicate, int timeoutMs) {
    return win32::Driver::WaitUntil([&] { return predicate(MainRows()); }, timeoutMs);
}

} // namespace winetest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Never let the program reach the real shell: a test build that could open a browser
    // does not run at all.
    if (!winetest::PatchImport("shell32.dll", "ShellExecuteA",
                               reinterpret_cast<void*>(&winetest::RecordShellExecute))) {
        std::fprintf(stderr, "cannot intercept ShellExecuteA: not running the suite\n");
        return 1;
    }
    winetest::g_systemRecvFrom = reinterpret_cast<winetest::RecvFromCall>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ws2_32.dll"), "recvfrom")));
    if (!winetest::g_systemRecvFrom ||
        !winetest::PatchImport("ws2_32.dll", "recvfrom",
                               reinterpret_cast<void*>(&winetest::CountingRecvFrom))) {
        std::fprintf(stderr, "cannot count the port-67 listener's receives\n");
        return 1;
    }
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::fprintf(stderr, "the test's own socket library did not start\n");
        return 1;
    }
    // The list view lives in the common-controls DLL, whose classes exist once asked for.
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES;
    ::InitCommonControlsEx(&icc);
    int result = RUN_ALL_TESTS();
    ::WSACleanup();
    // For the runner (wine_suite.py), after the last "BOOTP options" line.
    std::fflush(stdout);
    std::printf("port-67 listener received %d datagrams\n", winetest::g_listenerReceives.load());
    std::fflush(stdout);
    return result;
}
