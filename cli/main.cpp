// tavisol-cli: the program's main window driven from the command line, on the headless back
// end with the real clock. `search` opens the window, presses "Search", waits for the end of
// the search window and prints what the list shows.
#include "cli/assign.h"
#include "cli/batch.h"
#include "cli/confirm.h"
#include "cli/output.h"
#include "cli/session.h"
#include "res/resource.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace cli;

const char kUsage[] =
    "usage: tavisol-cli search [--seconds S] [--json] [--timing]\n"
    "       tavisol-cli assign HOST --ip A [--mask M] [--gateway G] [--yes] [--wait S]\n"
    "                          [--confirm S]\n"
    "       tavisol-cli assign --plan FILE | --all --range FIRST-LAST [--mask M]\n"
    "                          [--gateway G] [--yes] [--wait S] [--confirm S] [--dry-run]\n"
    "                          [--json]\n"
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

int RunAssign(const cli::AssignRequest& request) {
    const cli::AssignOutcome outcome = cli::AssignOne(request);
    if (outcome.result == cli::AssignResult::Confirmed ||
        outcome.result == cli::AssignResult::Acknowledged)
        cli::WriteAll(cli::ListOutput(), outcome.address + "  " + outcome.host + "\n");
    else if (!outcome.reason.empty())
        cli::Fail(outcome.reason);
    return cli::ExitStatusOf(outcome);
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
        cli::AssignRequest options;
        cli::BatchOptions batch;
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
            } else if ((arg == "--plan" || arg == "--range") && hasValue) {
                (arg == "--plan" ? batch.plan : batch.range) = argv[++i];
            } else if (arg == "--all" || arg == "--dry-run" || arg == "--json") {
                (arg == "--all" ? batch.all : arg == "--json" ? batch.json : batch.dryRun) = true;
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
        batch.request = options;
        batch.haveIp = haveIp;
        if (cli::IsBatch(batch))
            return cli::RunBatch(batch);
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
