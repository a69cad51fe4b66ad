// tavisol-cli's command line: the commands, their options and the limits of their values.
// Each command's options are defined in one function that fills a plain struct, so that a
// new option is a few lines in one place; the commands themselves never see argv.
#pragma once

#include "cli/assign.h"

#include <string>

namespace CLI {
class App;
}

namespace cli {

struct SearchOptions {
    double seconds = -1; // < 0: until the end of the search window
    bool json = false;
    bool csv = false;
    bool watch = false;  // one JSON object a line as rows are listed, until interrupted
    bool timing = false; // when the rows went in, on stderr, for the benchmarks
};

struct AssignOptions {
    AssignRequest request; // HOST, --ip, --mask, --gateway, --yes, --wait, --confirm
    bool ipGiven = false;  // --ip was there, even empty (the dialog then refuses it)
    // Many appliances at once instead of HOST and --ip (cli/batch.h checks the combinations).
    std::string plan;  // --plan FILE
    bool all = false;  // --all
    std::string range; // --range FIRST-LAST
    bool dryRun = false;
    bool json = false;

    bool IsBatch() const { return !plan.empty() || all || !range.empty() || dryRun || json; }
};

struct OpenOptions {
    std::string target; // a host name or an address
    double wait = -1;   // seconds to wait for its row; < 0: the search window
};

enum class Command { None, Search, Assign, Open };

struct CommandLine {
    Command command = Command::None;
    SearchOptions search;
    AssignOptions assign;
    OpenOptions open;
    // >= 0: the process ends with this status without running a command (help, version,
    // bad usage); what there was to say has been written.
    int exitStatus = -1;
};

// The definitions of each command's options on `app`, filling the struct given.
CLI::App* DefineSearch(CLI::App& app, SearchOptions& options);
CLI::App* DefineAssign(CLI::App& app, AssignOptions& options);
CLI::App* DefineOpen(CLI::App& app, OpenOptions& options);

// What the parser cannot say by itself: combinations that depend on other options. "" when
// the options make sense, else the reason for a usage error.
std::string CheckAssign(const AssignOptions& options);

// Parses the whole command line. Help goes to stdout and gives status 0; --version
// likewise; bad usage gives status 2 and one line on stderr: "tavisol-cli: REASON ...".
CommandLine ParseCommandLine(int argc, const char* const* argv);

} // namespace cli
