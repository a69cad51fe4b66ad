// tavisol-cli: the program's main window driven from the command line, on the headless back
// end with the real clock. `search` opens the window, presses "Search", waits for the end of
// the search window and prints what the list shows.
#include "app/TavisolApp.h"
#include "app/VellumcrestUIDlg.h"
#include "cli/output.h"
#include "platform/headless/driver.h"
#include "platform/posix_sockets.h"
#include "res/resource.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

const char kUsage[] = "usage: tavisol-cli search [--seconds S] [--json]\n";

struct Options {
    bool json = false;
    double seconds = -1; // < 0: until the end of the search window
};

bool ParseSeconds(const char* text, double& seconds) {
    char* end = nullptr;
    seconds = std::strtod(text, &end);
    return end != text && *end == '\0' && seconds >= 0 && seconds <= 24 * 3600;
}

// The program's socket failures in words: a window user would see nothing for most of
// them, and a script needs to know why a list is empty.
void ReportSocketFailure(const tvposix::SocketFailure& f) {
    const char* why = f.detail.empty() ? tvposix::WsaErrorName(f.error) : f.detail.c_str();
    if (f.call == "bind" && f.port == 67) {
        std::fprintf(stderr,
                     "tavisol-cli: cannot listen on UDP port 67 for the requests of appliances "
                     "without an address: %s (%s)%s; they will not be listed\n",
                     why, tvposix::WsaErrorName(f.error),
                     f.error == WSAEACCES ? ", binding a port below 1024 needs privilege" : "");
    } else if (f.call == "bind") {
        std::fprintf(stderr, "tavisol-cli: cannot listen on UDP port %d: %s (%s)\n", f.port, why,
                     tvposix::WsaErrorName(f.error));
    } else if (f.call == "socket") {
        std::fprintf(stderr, "tavisol-cli: cannot open a UDP socket: %s (%s)\n", why,
                     tvposix::WsaErrorName(f.error));
    } else if (f.call == "sendto") {
        std::fprintf(stderr, "tavisol-cli: cannot send the discovery probe: %s (%s)\n", why,
                     tvposix::WsaErrorName(f.error));
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
        for (cli::Device& d : devices) {
            CString strAddress(d.address);
            strAddress.TrimRight();
            if (strAddress.CompareNoCase("No IP") == 0)
                d.hw = pDlg->FindHardwareAddress(CString(d.host)).str();
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

int Search(const Options& options) {
    int listOut = DetachProgramStdout();
    headless::Driver driver(false);
    tvposix::SetFailureObserver(ReportSocketFailure);
    driver.SetBoxObserver(ReportBox);
    driver.Start(TavisolMain);
    if (!driver.WaitForDialog(IDD_VELLUMCRESTUI_DIALOG, 10000)) {
        std::fprintf(stderr, "tavisol-cli: the main window did not open\n");
        return 1;
    }
    driver.Click(IDC_SEARCH);
    if (options.seconds >= 0) {
        driver.StepTime(static_cast<int>(options.seconds * 1000));
    } else {
        // The 16th tick of the search timer gives "Search" back: the window has ended.
        driver.WaitUntil([] {
            HWND hMain = AfxGetApp()->m_pMainWnd ? AfxGetApp()->m_pMainWnd->m_hWnd : nullptr;
            return IsWindowEnabled(GetDlgItem(hMain, IDC_SEARCH)) != FALSE;
        },
                         30000);
    }
    std::vector<cli::Device> devices = ReadDevices(driver);
    driver.Click(IDCANCEL);
    driver.Join(5000);

    WriteAll(listOut, options.json ? cli::ToJson(devices) : cli::ToTable(devices));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 2 || std::strcmp(argv[1], "search") != 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Options options;
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--json")) {
            options.json = true;
        } else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc &&
                   ParseSeconds(argv[i + 1], options.seconds)) {
            ++i;
        } else {
            std::fprintf(stderr, "tavisol-cli: bad argument '%s'\n", argv[i]);
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    return Search(options);
}
