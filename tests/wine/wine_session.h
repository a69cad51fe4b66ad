// What the Wine behaviour suite shares: the program run on a user-interface thread of the
// test process for each test suite, the simulated LAN described by the runner
// (tests/wine/wine_suite.py), a UDP peer on Windows Sockets, the interception of the shell's
// open call, and the helpers that read and answer the system's message boxes.
//
// Each test suite (one fixture class, one file per unit) starts the program anew and closes
// it at its end, so the suites do not depend on each other's rows; the cases of one suite
// act on its one program in order, as a user would. Time is real: a case that must wait for
// the search window or the assign dialog's time limit checks as much as it can while it
// waits.
#pragma once

#include "app/TavisolApp.h"
#include "platform/win32/driver.h"
#include "res/resource.h"
#include "tests/support/appliance_packets.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace winetest {

using Rows = std::vector<std::vector<std::string>>;
using testlab::Bytes;

inline const std::wstring kMainTitle = L"KESTOVA Tavisol UI  V3.0.0.1";
// The system's warning icon (IDI_WARNING), which a box with MB_ICONWARNING shows.
constexpr int kWarningIcon = 32515;

// One segment of the lab as the runner describes it in the environment; `ok` is false
// without one.
struct Segment {
    bool ok = false;
    std::string workstation;                       // the test's own address on it
    std::string configuredAddress, configuredName; // answers the probe
    std::string unconfiguredName, unconfiguredHw;  // asks for an address ("00-0A-...")
    std::string newAddress, newMask, newGateway;   // to give it
    std::string status;                            // its status file (a Windows path)
};
// The workstation's first segment (eth0, the default route), and its second one (eth1), when
// the runner gave it one.
struct Lab : Segment {
    Segment second;
};
const Lab& TheLab();
// The lab's segments that the runner described: the first, and the second if it has one.
std::vector<const Segment*> Segments();
// Whether the segment's two appliances are listed (the one without an address "No IP", or
// under its new address once the assign suite has given it that).
bool ListsSegment(const Rows& rows, const Segment& segment);

std::string Env(const char* name);
std::vector<std::string> Words(const std::string& text);
std::string Narrow(const std::wstring& text); // the texts checked here are ASCII
std::wstring Wide(const std::string& text);
bool HasRow(const Rows& rows, const std::vector<std::string>& wanted);
int FindRow(const Rows& rows, const std::vector<std::string>& wanted); // -1: none
std::string RowsText(const Rows& rows);
// Photographs the whole screen into $TAVISOL_SHOTS as NAME.bmp, when the runner asks for
// it: where the windows are shows as much as what they show.
void Shoot(const wchar_t* name);
// Whether a window's centre is that of a rectangle (its owner's, the work area), to the
// pixel that halving an odd size loses.
::testing::AssertionResult CentredOn(HWND window, const RECT& on);
RECT WindowRect(HWND window);
// The work area of the monitor the window is on.
RECT WorkAreaOf(HWND window);

// A datagram socket of the test's own, bound to address:port (port 0: any), with
// SO_BROADCAST; SO_REUSEADDR only when asked, so that by default it holds its port the way
// another program would.
class Peer {
public:
    explicit Peer(const std::string& address, int port = 0, bool reuse = false);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    bool ok() const { return m_socket != INVALID_SOCKET; }
    bool SendTo(const std::string& address, int port, const Bytes& payload);
    // One datagram within timeoutMs; false on time-out.
    bool Receive(Bytes& payload, std::string& from, int& fromPort, int timeoutMs);

private:
    SOCKET m_socket = INVALID_SOCKET;
};

// The program's calls of ShellExecuteA are answered here (the import is patched before any
// test runs): nothing is opened, the file argument is remembered, and the answer is `result`.
void SetShellResult(int result);
std::vector<std::string> ShellCalls(); // every file argument so far, in order
void ClearShellCalls();

// The program on its own user-interface thread, started once per test suite.
class ProgramSuite : public ::testing::Test {
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    static win32::Driver& Driver() { return *s_driver; }
    static HWND Main() { return s_main; }

protected:
    void SetUp() override;

    static Rows MainRows() { return win32::Driver::Rows(s_main, IDC_DEVICE_LIST); }
    // The texts of every box and dialog shown besides the main window: a case that does not
    // expect one reports them, since they carry the program's own explanation.
    static std::string OtherWindows();
    // Waits for a box with this caption and checks its text, its buttons in order, its
    // owner and its icon (one of the system's, by id, or 0 for none); then presses `press`.
    static void AnswerBox(const std::wstring& caption, const std::wstring& text,
                          const std::vector<std::wstring>& buttons, HWND owner, int icon, int press,
                          int timeoutMs = 5000);
    // Clicks "Search" and waits until it has been taken (the button disabled).
    static ::testing::AssertionResult StartSearch();
    // Polls the rows until the predicate holds.
    static bool WaitForRows(const std::function<bool(const Rows&)>& predicate, int timeoutMs);
    static bool WaitForRow(const std::vector<std::string>& row, int timeoutMs = 5000) {
        return WaitForRows([&](const Rows& rows) { return HasRow(rows, row); }, timeoutMs);
    }

private:
    static win32::Driver* s_driver;
    static HWND s_main;
};

// Cases that need the simulated LAN skip visibly without one.
#define REQUIRE_LAB()                                                                              \
    if (!TheLab().ok)                                                                              \
    GTEST_SKIP() << "no simulated LAN described in the environment"
#define REQUIRE_SECOND_SEGMENT()                                                                   \
    if (!TheLab().second.ok)                                                                       \
    GTEST_SKIP() << "the simulated LAN has no second segment"

} // namespace winetest
