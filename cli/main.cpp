// tavisol-cli: the program's main window driven from the command line, on the headless back
// end with the real clock. `search` opens the window, presses "Search", waits for the end of
// the search window and prints what the list shows.
#include "app/TavisolApp.h"
#include "app/VellumcrestUIDlg.h"
#include "assign/AddressAssignDlg.h"
#include "cli/confirm.h"
#include "cli/output.h"
#include "platform/headless/driver.h"
#include "platform/netif.h"
#include "platform/posix_sockets.h"
#include "res/resource.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: tavisol-cli search [--seconds S] [--json] [--timing]\n"
    "       tavisol-cli assign HOST --ip A [--mask M] [--gateway G] [--yes] [--wait S]\n"
    "                          [--confirm S]\n"
    "       tavisol-cli open HOST-OR-ADDRESS [--wait S]\n"
    "assign waits up to --confirm seconds (60; 0: not at all) for the appliance to answer\n"
    "from its new address. Exit codes: 0 done, 1 refused or failed, 2 bad usage,\n"
    "3 the appliance took the address but did not answer from it in time.\n";

struct Options {
    bool json = false;
    bool timing = false; // when the rows went in, on stderr, for the benchmarks
    double seconds = -1; // < 0: until the end of the search window
};

bool ParseSeconds(const char* text, double& seconds) {
    char* end = nullptr;
    seconds = std::strtod(text, &end);
    return end != text && *end == '\0' && seconds >= 0 && seconds <= 24 * 3600;
}

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
    std::string text = box.text;
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    std::fprintf(stderr, "[%s] %s\n", box.caption.c_str(), text.c_str());
}

std::vector<cli::Device> ReadDevices(headless::Driver& driver) {
    std::vector<cli::Device> devices;
    for (const auto& row : driver.Rows(IDC_DEVICE_LIST))
        devices.push_back({row.at(0), row.at(1), ""});
    driver.OnUi([&] {
        auto* pDlg = dynamic_cast<CVellumcrestUIDlg*>(AfxGetApp()->m_pMainWnd);
        if (!pDlg)
            return;
        // One pass over the window's arrays, not one per row: a list can hold thousands.
        auto addresses = pDlg->HardwareAddresses();
        for (cli::Device& d : devices) {
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

// The window program's own diagnostic lines go to a standard output that nobody sees; here
// they must not mix with the list, so they go to /dev/null and the list to the real stdout.
int DetachProgramStdout() {
    std::fflush(stdout);
    int listOut = ::dup(STDOUT_FILENO);
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (listOut < 0 || devNull < 0)
        return STDOUT_FILENO;
    ::dup2(devNull, STDOUT_FILENO);
    ::close(devNull);
    return listOut;
}

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// A running program: the main window open on the headless back end with the real clock,
// boxes on stderr, socket failures explained.
class Session {
public:
    Session() : m_listOut(DetachProgramStdout()), m_driver(false) {
        tvposix::SetFailureObserver(ReportSocketFailure);
        m_driver.SetBoxObserver(ReportBox);
    }

    headless::Driver& driver() { return m_driver; }
    int listOut() const { return m_listOut; }

    bool Open() {
        m_driver.Start(TavisolMain);
        if (m_driver.WaitForDialog(IDD_VELLUMCRESTUI_DIALOG, 10000))
            return true;
        std::fprintf(stderr, "tavisol-cli: the main window did not open\n");
        return false;
    }

    // Presses "Search" and waits for the end of the search window (its 16th tick gives
    // "Search" back), or for the given number of seconds.
    void Search(double seconds) {
        m_driver.Click(IDC_SEARCH);
        if (seconds >= 0)
            m_driver.StepTime(static_cast<int>(seconds * 1000));
        else
            m_driver.WaitUntil([] { return IsWindowEnabled(MainItem(IDC_SEARCH)) != FALSE; },
                               30000);
    }

    // After "Search": waits until the row is listed, for the given seconds or else until the
    // end of the search window. Runs isListed on the user-interface thread.
    bool WaitForRow(const std::function<bool()>& isListed, double seconds) {
        if (seconds >= 0)
            return m_driver.WaitUntil(isListed, static_cast<int>(seconds * 1000));
        m_driver.WaitUntil(
            [&] { return isListed() || IsWindowEnabled(MainItem(IDC_SEARCH)) != FALSE; }, 30000);
        return m_driver.WaitUntil(isListed, 0);
    }

    void Close() {
        if (m_driver.TopDialog() == IDD_VELLUMCRESTUI_DIALOG)
            m_driver.Click(IDCANCEL);
        m_driver.Join(5000);
    }

    static HWND MainItem(int id) {
        CWnd* pMain = AfxGetApp()->m_pMainWnd;
        return GetDlgItem(pMain ? pMain->m_hWnd : nullptr, id);
    }

private:
    int m_listOut;
    headless::Driver m_driver;
};

// The index of the first row whose column text, trimmed, equals the text in any letter case.
int FindRow(const std::vector<std::vector<std::string>>& rows, int column,
            const std::string& text) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        CString cell(rows[i].at(static_cast<std::size_t>(column)));
        cell.TrimRight();
        if (cell.CompareNoCase(CString(text).TrimRight()) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

using ListRows = std::vector<std::vector<std::string>>;

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

// Reads the list on the user-interface thread (for WaitUntil predicates).
std::vector<std::vector<std::string>> RowsNow() {
    std::vector<std::vector<std::string>> rows;
    CListCtrl list; // a view of the main window's list; a CWnd never owns its window
    list.m_hWnd = Session::MainItem(IDC_DEVICE_LIST);
    for (int i = 0; i < list.GetItemCount(); ++i)
        rows.push_back({list.GetItemText(i, 0).str(), list.GetItemText(i, 1).str()});
    return rows;
}

int RunSearch(const Options& options) {
    Session session;
    if (!session.Open())
        return 1;
    session.Search(options.seconds);
    std::vector<cli::Device> devices = ReadDevices(session.driver());
    session.Close();
    if (options.timing) {
        headless::Record record = session.driver().Snapshot();
        std::fprintf(stderr, "tavisol-cli: timing rows=%d first_row_ns=%llu last_row_ns=%llu\n",
                     record.rowsInserted, static_cast<unsigned long long>(record.firstRowNs),
                     static_cast<unsigned long long>(record.lastRowNs));
    }
    WriteAll(session.listOut(), options.json ? cli::ToJson(devices) : cli::ToTable(devices));
    return 0;
}

struct AssignOptions {
    std::string host;
    std::string ip, mask, gateway;
    bool yes = false;
    double wait = -1;    // < 0: the search window
    double confirm = 60; // seconds to wait for the appliance's answer; 0: none
};

constexpr int kNotConfirmed = 3;

int Fail(const std::string& reason) {
    std::fprintf(stderr, "tavisol-cli: %s\n", reason.c_str());
    return 1;
}

int RunAssign(const AssignOptions& options) {
    Session session;
    headless::Driver& driver = session.driver();
    // "Subnet Warning!" goes on only when the user said so; every other box takes its
    // default button.
    bool yes = options.yes;
    driver.SetBoxAnswerer([yes](const headless::BoxRecord& box) {
        if (box.caption == "Subnet Warning!")
            return yes ? IDOK : IDCANCEL;
        return box.answer;
    });
    if (!session.Open())
        return 1;

    driver.Click(IDC_SEARCH);
    std::string host = options.host;
    auto isListed = [host] {
        auto rows = RowsNow();
        int row = FindRow(rows, 1, host);
        return row >= 0 &&
               CString(rows[static_cast<std::size_t>(row)][0]).TrimRight().CompareNoCase("No IP") ==
                   0;
    };
    if (!session.WaitForRow(isListed, options.wait)) {
        session.Close();
        return Fail("no \"No IP\" appliance named " + host + " was found");
    }

    if (!SelectListedRow(driver,
                         [&host](const ListRows& rows) { return FindRow(rows, 1, host); })) {
        session.Close();
        return Fail("the row of " + host + " could not be selected");
    }
    driver.DoubleClickList(IDC_DEVICE_LIST);
    if (!driver.WaitForDialog(IDD_ADDRESS_ASSIGN, 5000)) {
        session.Close();
        return Fail("the assign dialog did not open");
    }
    driver.TypeText(IDC_IP_ADDRESS, options.ip);
    driver.TypeText(IDC_SUBNET_MASK, options.mask);
    driver.TypeText(IDC_GATEWAY, options.gateway);
    std::size_t boxesBefore = driver.Snapshot().boxes.size();
    driver.Click(IDOK);

    // Refused input: the dialog is still open and "Assign IP" still usable.
    if (driver.TopDialog() == IDD_ADDRESS_ASSIGN && driver.IsEnabled(IDOK)) {
        std::vector<headless::BoxRecord> boxes = driver.Snapshot().boxes;
        std::string reason = "the input was refused";
        if (boxes.size() > boxesBefore) {
            std::string text = boxes.back().text;
            for (char& c : text)
                if (c == '\n')
                    c = ' ';
            reason =
                (text.find("maybe is in used") != std::string::npos ? "in use: " : "refused: ") +
                text;
        }
        driver.Click(IDCANCEL);
        session.Close();
        return Fail(reason);
    }

    // The responder answers until the DHCPACK or the dialog's 25-second limit.
    // (The dialog has no owner, so the main window stays enabled meanwhile.)
    driver.WaitUntil([] { return headless::Driver::TopDialogOnUi() != IDD_ADDRESS_ASSIGN; }, 40000);
    const auto acknowledged = std::chrono::steady_clock::now();
    DWORD dwAckInterface = 0;
    driver.OnUi([&dwAckInterface] { dwAckInterface = g_dwAssignedInterface; });
    auto rows = driver.Rows(IDC_DEVICE_LIST);
    std::vector<headless::BoxRecord> boxes = driver.Snapshot().boxes;
    bool timedOut = !boxes.empty() && boxes.back().text == "Setting IP ERROR";
    session.Close();
    int assigned = FindRow(rows, 1, host);
    if (assigned < 0 ||
        CString(rows[static_cast<std::size_t>(assigned)][0]).TrimRight().CompareNoCase("No IP") ==
            0)
        return Fail(timedOut ? "Setting IP ERROR: the appliance did not take the address in time"
                             : "the appliance was not given the address");
    const auto& r = rows[static_cast<std::size_t>(assigned)];
    if (options.confirm > 0 &&
        !cli::ConfirmAndSay(cli::TargetOf(r[0], r[1], dwAckInterface, options.mask),
                            options.confirm, acknowledged))
        return kNotConfirmed;
    WriteAll(session.listOut(), r[0] + "  " + r[1] + "\n");
    return 0;
}

int RunOpen(const std::string& target, double wait) {
    Session session;
    headless::Driver& driver = session.driver();
    if (!session.Open())
        return 1;
    driver.Click(IDC_SEARCH);
    auto isListed = [target] {
        auto rows = RowsNow();
        return FindRow(rows, 1, target) >= 0 || FindRow(rows, 0, target) >= 0;
    };
    if (!session.WaitForRow(isListed, wait)) {
        session.Close();
        return Fail("no appliance " + target + " was found");
    }
    auto pick = [&target](const ListRows& rows) {
        int row = FindRow(rows, 1, target);
        return row >= 0 ? row : FindRow(rows, 0, target);
    };
    if (!SelectListedRow(driver, pick)) {
        session.Close();
        return Fail("the row of " + target + " could not be selected");
    }
    std::size_t before = driver.Snapshot().urlsOpened.size();
    driver.Click(IDC_WEB_BROWSER);
    std::vector<std::string> urls = driver.Snapshot().urlsOpened;
    session.Close();
    if (urls.size() == before)
        return Fail("the administration page could not be opened");
    WriteAll(session.listOut(), urls.back() + "\n");
    return 0;
}

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int BadArgument(const char* arg) {
    std::fprintf(stderr, "tavisol-cli: bad argument '%s'\n", arg);
    return Usage();
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 2)
        return Usage();
    std::string command = argv[1];
    if (command == "search") {
        Options options;
        for (int i = 2; i < argc; ++i) {
            if (!std::strcmp(argv[i], "--json"))
                options.json = true;
            else if (!std::strcmp(argv[i], "--timing"))
                options.timing = true;
            else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc &&
                     ParseSeconds(argv[i + 1], options.seconds))
                ++i;
            else
                return BadArgument(argv[i]);
        }
        return RunSearch(options);
    }
    if (command == "assign") {
        AssignOptions options;
        bool haveIp = false;
        for (int i = 2; i < argc; ++i) {
            std::string arg = argv[i];
            bool hasValue = i + 1 < argc;
            if (arg == "--ip" && hasValue) {
                options.ip = argv[++i];
                haveIp = true;
            } else if (arg == "--mask" && hasValue) {
                options.mask = argv[++i];
            } else if (arg == "--gateway" && hasValue) {
                options.gateway = argv[++i];
            } else if (arg == "--yes") {
                options.yes = true;
            } else if (arg == "--wait" && hasValue && ParseSeconds(argv[i + 1], options.wait)) {
                ++i;
            } else if (arg == "--confirm" && hasValue && cli::ParseConfirmSeconds(argv[i + 1])) {
                options.confirm = *cli::ParseConfirmSeconds(argv[++i]);
            } else if (arg.rfind("--", 0) != 0 && options.host.empty()) {
                options.host = arg;
            } else {
                return BadArgument(argv[i]);
            }
        }
        if (options.host.empty() || !haveIp)
            return Usage();
        return RunAssign(options);
    }
    if (command == "open") {
        std::string target;
        double wait = -1;
        for (int i = 2; i < argc; ++i) {
            if (!std::strcmp(argv[i], "--wait") && i + 1 < argc && ParseSeconds(argv[i + 1], wait))
                ++i;
            else if (target.empty() && argv[i][0] != '-')
                target = argv[i];
            else
                return BadArgument(argv[i]);
        }
        if (target.empty())
            return Usage();
        return RunOpen(target, wait);
    }
    return Usage();
}
