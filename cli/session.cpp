// The program behind tavisol-cli's commands, and the list helpers they share.
#include "cli/session.h"

#include "app/TavisolApp.h"
#include "app/VellumcrestUIDlg.h"
#include "cli/progress.h"
#include "platform/netif.h"
#include "platform/posix_sockets.h"
#include "res/resource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace cli {

namespace {

// The interface that holds a local address, by its system name and the address: "eth1
// (10.198.0.1)", or the address alone when no interface holds it any more.
std::string InterfaceOf(const std::string& strLocal) {
    const DWORD dwAddr = inet_addr(strLocal.c_str());
    for (const NET_INTERFACE& entry : GetNetInterfaces())
        if (entry.dwAddr == dwAddr && !entry.strName.empty())
            return entry.strName + " (" + strLocal + ")";
    return strLocal;
}

// Why the in-use check's echo request could not be sent, until the check ends.
std::string g_echoRefused;

// The program's socket failures in words: a window user would see nothing for most of
// them, and a script needs to know why a list is empty.
void ReportSocketFailure(const tvposix::SocketFailure& f) {
    // A failed receive says nothing (see the end), so it leaves the progress line alone.
    if (f.call == "recvfrom")
        return;
    progress::Clear();
    const char* why = f.detail.empty() ? tvposix::WsaErrorName(f.error) : f.detail.c_str();
    // The probe leaves by each interface from a socket bound to its address (port 0).
    const bool probeByInterface =
        !f.local.empty() &&
        ((f.call == "bind" && f.port == 0) || (f.call == "sendto" && f.port == SERVER_PORT));
    if (probeByInterface) {
        std::fprintf(stderr,
                     "tavisol-cli: the discovery probe could not go out of %s: %s (%s); "
                     "appliances behind it will not be listed\n",
                     InterfaceOf(f.local).c_str(), why, tvposix::WsaErrorName(f.error));
    } else if (f.call == "bind" && f.port == 67) {
        std::fprintf(stderr,
                     "tavisol-cli: cannot listen on UDP port 67 for the requests of appliances "
                     "without an address: %s (%s)%s; they will not be listed\n",
                     why, tvposix::WsaErrorName(f.error),
                     f.error == WSAEACCES ? ", binding a port below 1024 needs privilege" : "");
    } else if (f.call == "bind") {
        std::fprintf(stderr, "tavisol-cli: cannot listen on UDP port %d: %s (%s)\n", f.port, why,
                     tvposix::WsaErrorName(f.error));
    } else if (f.call == "socket(raw ICMP)") {
        // The ARP probe, already under way, still decides; the failure that says it could
        // not go anywhere comes after this one.
        g_echoRefused = tvposix::WsaErrorName(f.error);
        std::fprintf(stderr,
                     "tavisol-cli: the in-use check's echo request could not be sent (no ICMP "
                     "socket: %s, %s)\n",
                     why, tvposix::WsaErrorName(f.error));
    } else if (f.call == "ARP probe" && !f.local.empty()) {
        std::fprintf(stderr,
                     "tavisol-cli: the in-use check's ARP probe could not go out of %s: %s\n",
                     InterfaceOf(f.local).c_str(), why);
    } else if (f.call == "ARP probe") {
        if (!g_echoRefused.empty())
            std::fprintf(stderr,
                         "tavisol-cli: the in-use check could not run (no ICMP socket, %s; no "
                         "ARP probe, %s); the address counts as free\n",
                         g_echoRefused.c_str(), why);
        else
            std::fprintf(stderr,
                         "tavisol-cli: the in-use check's ARP probe could not run (%s); only the "
                         "echo request decides\n",
                         why);
        g_echoRefused.clear();
    } else if (f.call == "socket") {
        std::fprintf(stderr, "tavisol-cli: cannot open a UDP socket: %s (%s)\n", why,
                     tvposix::WsaErrorName(f.error));
    } else if (f.call == "sendto" && f.port == SERVER_PORT) {
        std::fprintf(stderr, "tavisol-cli: cannot send the discovery probe: %s (%s)\n", why,
                     tvposix::WsaErrorName(f.error));
    } else if (f.call == "SO_RCVBUF") {
        std::fprintf(stderr,
                     "tavisol-cli: a listener got a %s; a burst of many appliances may lose "
                     "answers\n",
                     f.detail.c_str());
    } else if (f.call == "setsockopt" || f.call == "WSAAsyncSelect" || f.call == "WSAStartup") {
        std::fprintf(stderr, "tavisol-cli: %s failed: %s (%s)\n", f.call.c_str(), why,
                     tvposix::WsaErrorName(f.error));
    }
    // Failed receives are the LAN's doing (oversized datagrams, for one) and are not news.
}

void ReportBox(const headless::BoxRecord& box) {
    progress::Clear();
    std::fprintf(stderr, "[%s] %s\n", box.caption.c_str(), OneLine(box.text).c_str());
}

// The window program's own diagnostic lines go to a standard output that nobody sees; here
// they must not mix with the list, so they go to /dev/null and the list to the real stdout.
int DetachProgramStdout() {
    // Once per process: a later session would otherwise take /dev/null for the real stdout.
    static int listOut = -1;
    if (listOut >= 0)
        return listOut;
    std::fflush(stdout);
    listOut = ::dup(STDOUT_FILENO);
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (listOut < 0 || devNull < 0) {
        listOut = STDOUT_FILENO;
        return listOut;
    }
    ::dup2(devNull, STDOUT_FILENO);
    ::close(devNull);
    return listOut;
}

// The end of the search window: its last tick gives "Search" back. On the user-interface
// thread.
bool SearchGivenBack() {
    return IsWindowEnabled(Session::MainItem(IDC_SEARCH)) != FALSE;
}

} // namespace

Session::Session() : m_listOut(DetachProgramStdout()), m_driver(false) {
    tvposix::SetFailureObserver(ReportSocketFailure);
    m_driver.SetBoxObserver(ReportBox);
}

bool Session::Open() {
    m_driver.Start(TavisolMain);
    if (m_driver.WaitForDialog(IDD_VELLUMCRESTUI_DIALOG, 10000))
        return true;
    std::fprintf(stderr, "tavisol-cli: the main window did not open\n");
    return false;
}

void Session::Search(double seconds, const std::function<void(double)>& tick) {
    m_driver.Click(IDC_SEARCH);
    if (!tick) {
        if (seconds >= 0)
            m_driver.StepTime(static_cast<int>(seconds * 1000));
        else
            m_driver.WaitUntil(SearchGivenBack, 30000);
        return;
    }
    // The same waits, cut into slices so that the caller can say how far it is.
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    auto elapsed = [started] {
        return std::chrono::duration<double>(Clock::now() - started).count();
    };
    const double limit = seconds >= 0 ? seconds : 30.0;
    for (;;) {
        tick(elapsed());
        const double left = limit - elapsed();
        if (left <= 0)
            return;
        const int sliceMs = static_cast<int>(std::min(left, 0.25) * 1000) + 1;
        if (seconds >= 0)
            m_driver.StepTime(sliceMs);
        else if (m_driver.WaitUntil(SearchGivenBack, sliceMs))
            return;
    }
}

bool Session::SearchWindowOver() {
    bool over = false;
    m_driver.OnUi([&over] { over = SearchGivenBack(); });
    return over;
}

bool Session::WaitForRow(const std::function<bool()>& isListed, double seconds) {
    if (seconds >= 0)
        return m_driver.WaitUntil(isListed, static_cast<int>(seconds * 1000));
    m_driver.WaitUntil([&] { return isListed() || SearchGivenBack(); }, 30000);
    return m_driver.WaitUntil(isListed, 0);
}

void Session::Close() {
    if (m_driver.TopDialog() == IDD_VELLUMCRESTUI_DIALOG)
        m_driver.Click(IDCANCEL);
    m_driver.Join(5000);
}

HWND Session::MainItem(int id) {
    CWnd* pMain = AfxGetApp()->m_pMainWnd;
    return GetDlgItem(pMain ? pMain->m_hWnd : nullptr, id);
}

std::vector<Device> ReadDevices(headless::Driver& driver) {
    std::vector<Device> devices;
    for (const auto& row : driver.Rows(IDC_DEVICE_LIST))
        devices.push_back({row.at(0), row.at(1), ""});
    driver.OnUi([&] {
        auto* pDlg = dynamic_cast<CVellumcrestUIDlg*>(AfxGetApp()->m_pMainWnd);
        if (!pDlg)
            return;
        // One pass over the window's arrays, not one per row: a list can hold thousands.
        auto addresses = pDlg->HardwareAddresses();
        for (Device& d : devices) {
            CString strAddress(d.address);
            strAddress.TrimRight();
            if (strAddress.CompareNoCase("No IP") != 0)
                continue;
            auto found = addresses.find(d.host.c_str());
            if (found != addresses.end())
                d.hw = found->second.str();
        }
    });
    return devices;
}

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    return text;
}

int ListOutput() {
    return DetachProgramStdout();
}

int FindRow(const ListRows& rows, int column, const std::string& text) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        CString cell(rows[i].at(static_cast<std::size_t>(column)));
        cell.TrimRight();
        if (cell.CompareNoCase(CString(text).TrimRight()) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

// Replies keep arriving at the top of the list while a command acts, so an index read a
// moment ago can name another row by the time the selection lands. Selects the row that
// `pick` finds and checks that the selection holds it, trying again when a row slipped in
// between; from then on the selection travels with its row.
bool SelectListedRow(headless::Driver& driver, const std::function<int(const ListRows&)>& pick) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const ListRows rows = driver.Rows(IDC_DEVICE_LIST);
        const int row = pick(rows);
        if (row < 0)
            return false;
        const std::vector<std::string> wanted = rows[static_cast<std::size_t>(row)];
        driver.SelectRows(IDC_DEVICE_LIST, {row});
        const headless::ListState list = driver.List(IDC_DEVICE_LIST);
        for (std::size_t i = 0; i < list.rows.size() && i < list.selected.size(); ++i) {
            if (list.selected[i] && list.rows[i] == wanted)
                return true;
        }
    }
    return false;
}

ListRows RowsNow() {
    ListRows rows;
    CListCtrl list; // a view of the main window's list; a CWnd never owns its window
    list.m_hWnd = Session::MainItem(IDC_DEVICE_LIST);
    for (int i = 0; i < list.GetItemCount(); ++i)
        rows.push_back({list.GetItemText(i, 0).str(), list.GetItemText(i, 1).str()});
    return rows;
}

bool IsNoIp(const std::string& cell) {
    return CString(cell).TrimRight().CompareNoCase("No IP") == 0;
}

int Fail(const std::string& reason) {
    progress::Clear();
    std::fprintf(stderr, "tavisol-cli: %s\n", reason.c_str());
    return 1;
}

} // namespace cli
