// The search command.
#include "cli/search.h"

#include "cli/output.h"
#include "cli/progress.h"
#include "cli/session.h"
#include "res/resource.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <set>
#include <tuple>

namespace cli {

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

// SIGINT and SIGTERM end a watch as its own end would: the windows close, exit status 0.
void CatchStopSignals() {
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string RowsText(std::size_t rows) {
    return std::to_string(rows) + (rows == 1 ? " row" : " rows");
}

void ShowSearchProgress(Session& session, double limit, double elapsed) {
    const double left = std::ceil(std::max(0.0, limit - elapsed));
    char text[64];
    std::snprintf(text, sizeof text, "searching, %.0f s left, ", left);
    progress::Show(text + RowsText(session.driver().Rows(IDC_DEVICE_LIST).size()));
}

void PrintTiming(Session& session) {
    const headless::Record record = session.driver().Snapshot();
    std::fprintf(stderr, "tavisol-cli: timing rows=%d first_row_ns=%llu last_row_ns=%llu\n",
                 record.rowsInserted, static_cast<unsigned long long>(record.firstRowNs),
                 static_cast<unsigned long long>(record.lastRowNs));
}

int Watch(Session& session, const SearchOptions& options) {
    using Clock = std::chrono::steady_clock;
    CatchStopSignals();
    headless::Driver& driver = session.driver();
    driver.Click(IDC_SEARCH);
    const auto started = Clock::now();
    auto elapsed = [started] {
        return std::chrono::duration<double>(Clock::now() - started).count();
    };
    // A row is its three cells: one that changes (an appliance given an address) is new.
    std::set<std::tuple<std::string, std::string, std::string>> printed;
    for (;;) {
        std::vector<Device> devices = ReadDevices(driver);
        for (const Device& d : devices) {
            if (printed.emplace(d.address, d.host, d.hw).second)
                WriteAll(session.listOut(), ToJsonLine(d)); // one write(2) a row: a pipe sees it
        }
        if (progress::Enabled()) {
            std::string text = "watching, " + RowsText(printed.size());
            if (options.seconds >= 0) {
                char left[32];
                std::snprintf(left, sizeof left, ", %.0f s left",
                              std::ceil(std::max(0.0, options.seconds - elapsed())));
                text += left;
            }
            progress::Show(text);
        }
        if (g_stop || (options.seconds >= 0 && elapsed() >= options.seconds))
            break;
        double slice = 0.1;
        if (options.seconds >= 0)
            slice = std::min(slice, options.seconds - elapsed());
        driver.StepTime(static_cast<int>(std::max(slice, 0.0) * 1000) + 1);
    }
    progress::Clear();
    return 0;
}

} // namespace

int RunSearch(const SearchOptions& options) {
    Session session;
    if (!session.Open())
        return 1;
    if (options.watch) {
        const int status = Watch(session, options);
        session.Close();
        if (options.timing)
            PrintTiming(session);
        return status;
    }
    if (progress::Enabled()) {
        const double limit = options.seconds >= 0 ? options.seconds : kSearchWindowSeconds;
        session.Search(options.seconds, [&session, limit](double elapsed) {
            ShowSearchProgress(session, limit, elapsed);
        });
        progress::Clear();
    } else {
        session.Search(options.seconds);
    }
    std::vector<Device> devices = ReadDevices(session.driver());
    session.Close();
    if (options.timing)
        PrintTiming(session);
    std::string text = options.json  ? ToJson(devices)
                       : options.csv ? ToCsv(devices)
                                     : ToTable(devices);
    WriteAll(session.listOut(), text);
    return 0;
}

} // namespace cli
