// tavisol-cli: the program's main window driven from the command line, on the headless back
// end with the real clock. The command line is read in cli/options.cpp; each command runs the
// program's windows as a user would (cli/search.cpp, cli/assign.cpp, and `open` below).
#include "cli/assign.h"
#include "cli/batch.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/search.h"
#include "cli/session.h"
#include "res/resource.h"

#include <string>

namespace {

using namespace cli;

int RunAssign(const AssignOptions& options) {
    if (options.IsBatch()) {
        BatchOptions batch;
        batch.request = options.request;
        batch.haveIp = options.ipGiven;
        batch.plan = options.plan;
        batch.all = options.all;
        batch.range = options.range;
        batch.dryRun = options.dryRun;
        batch.json = options.json;
        return RunBatch(batch);
    }
    const cli::AssignOutcome outcome = cli::AssignOne(options.request);
    if (outcome.result == cli::AssignResult::Confirmed ||
        outcome.result == cli::AssignResult::Acknowledged)
        cli::WriteAll(cli::ListOutput(), outcome.address + "  " + outcome.host + "\n");
    else if (!outcome.reason.empty())
        cli::Fail(outcome.reason);
    return cli::ExitStatusOf(outcome);
}

int RunOpen(const OpenOptions& options) {
    const std::string& target = options.target;
    Session session;
    headless::Driver& driver = session.driver();
    if (!session.Open())
        return 1;
    driver.Click(IDC_SEARCH);
    auto isListed = [target] {
        auto rows = RowsNow();
        return FindRow(rows, 1, target) >= 0 || FindRow(rows, 0, target) >= 0;
    };
    if (!session.WaitForRow(isListed, options.wait)) {
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

} // namespace

int main(int argc, char** argv) {
    const CommandLine line = ParseCommandLine(argc, argv);
    if (line.exitStatus >= 0)
        return line.exitStatus;
    switch (line.command) {
    case Command::Search:
        return RunSearch(line.search);
    case Command::Assign:
        return RunAssign(line.assign);
    case Command::Open:
        return RunOpen(line.open);
    case Command::None:
        break;
    }
    return 2;
}
