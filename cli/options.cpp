// The command line of tavisol-cli, parsed by CLI11.
#include "cli/options.h"

#include "cli/confirm.h"
#include "res/version.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <optional>

namespace cli {

namespace {

const char kProgram[] = "tavisol-cli";

// Seconds to wait: whole or decimal, 0 up to a day. Read with strtod, as it always was, so
// that every value accepted before still is.
std::optional<double> ParseSeconds(const std::string& text) {
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 ||
        seconds > 24 * 3600)
        return std::nullopt;
    return seconds;
}

CLI::Validator SecondsValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return ParseSeconds(text) ? ""
                                      : "'" + text + "' is not a number of seconds (0 to 86400)";
        },
        "");
}

CLI::Validator ConfirmValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return ParseConfirmSeconds(text.c_str())
                       ? ""
                       : "'" + text + "' is not a number of seconds (0 to 3600)";
        },
        "");
}

// A --seconds-like option that stores what ParseSeconds reads.
CLI::Option* AddSeconds(CLI::App& app, const std::string& name, double& target,
                        const std::string& help) {
    return app
        .add_option_function<std::string>(
            name, [&target](const std::string& text) { target = *ParseSeconds(text); }, help)
        ->check(SecondsValidator())
        ->type_name("S");
}

// CLI11's reasons start with the option's name or say what was not expected; one line.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

int BadUsage(const std::string& reason, const std::string& command) {
    std::cerr << kProgram << ": " << OneLine(reason) << " (usage: " << kProgram
              << (command.empty() ? "" : " " + command) << " --help)" << std::endl;
    return 2;
}

} // namespace

CLI::App* DefineSearch(CLI::App& app, SearchOptions& options) {
    CLI::App* search = app.add_subcommand(
        "search", "Search the segment and print the appliances listed, top to bottom.");
    AddSeconds(*search, "--seconds", options.seconds,
               "Wait S seconds instead of the end of the search window (8 s)");
    CLI::Option* json = search->add_flag(
        "--json", options.json, "Print a JSON array of {\"address\", \"host\", \"hw\"} objects");
    CLI::Option* csv = search->add_flag("--csv", options.csv,
                                        "Print CSV (RFC 4180) with the header address,host,hw");
    CLI::Option* watch = search->add_flag(
        "--watch", options.watch,
        "Print each row as it is listed, one JSON object a line, until interrupted or until "
        "--seconds");
    search->add_flag("--timing", options.timing,
                     "Say on stderr how many rows went in and when the first and the last did");
    csv->excludes(json);
    watch->excludes(json)->excludes(csv);
    search->footer("Progress goes to stderr when it is a terminal. Exit status: 0 listed (also "
                   "nothing), 1 the program could not run, 2 bad usage.");
    return search;
}

CLI::App* DefineAssign(CLI::App& app, AssignOptions& options) {
    AssignRequest& request = options.request;
    CLI::App* assign = app.add_subcommand(
        "assign", "Give the \"No IP\" appliance HOST the address A, and wait until it answers "
                  "from there.");
    assign->add_option("HOST", request.host, "The host name of the \"No IP\" appliance");
    assign
        ->add_option_function<std::string>(
            "--ip",
            [&options](const std::string& text) {
                options.request.ip = text;
                options.ipGiven = true;
            },
            "The address to give it")
        ->type_name("A");
    assign->add_option("--mask", request.mask, "The subnet mask to give it")->type_name("M");
    assign->add_option("--gateway", request.gateway, "The gateway to give it")->type_name("G");
    assign->add_flag("--yes", request.yes,
                     "Answer \"Subnet Warning!\" with OK (an address in none of the "
                     "workstation's subnets); without it the assignment is cancelled");
    AddSeconds(*assign, "--wait", request.wait,
               "Wait up to S seconds for its \"No IP\" row (default: the search window)");
    assign
        ->add_option_function<std::string>(
            "--confirm",
            [&request](const std::string& text) {
                request.confirm = *ParseConfirmSeconds(text.c_str());
            },
            "Wait up to S seconds (60; 0: not at all) for the appliance to answer from its new "
            "address")
        ->check(ConfirmValidator())
        ->type_name("S");
    assign
        ->add_option("--plan", options.plan,
                     "Assign every appliance of a CSV plan (host,ip[,mask[,gateway]]), one "
                     "after the other")
        ->type_name("FILE");
    assign->add_flag("--all", options.all,
                     "Assign every \"No IP\" appliance of the search, in host-name order, the "
                     "next free address of --range");
    assign->add_option("--range", options.range, "The addresses for --all")
        ->type_name("FIRST-LAST");
    assign->add_flag("--dry-run", options.dryRun,
                     "With --plan or --all: print what would be done; nothing is sent but the "
                     "search");
    assign->add_flag("--json", options.json,
                     "With --plan or --all: a JSON report on stdout, the progress lines on stderr");
    assign->footer("Exit status: 0 done (the appliance answers from its new address), 1 refused "
                   "or failed (the reason on stderr), 2 bad usage, 3 not confirmed (it took the "
                   "address but did not answer from it in time). With --plan or --all: 0 when "
                   "every appliance ended \"confirmed\" or \"already\", 1 otherwise, 2 for a "
                   "bad plan (nothing is sent).");
    return assign;
}

CLI::App* DefineOpen(CLI::App& app, OpenOptions& options) {
    CLI::App* open = app.add_subcommand(
        "open", "Open the administration page of an appliance and print its address.");
    open->add_option("HOST-OR-ADDRESS", options.target, "The appliance's host name or address");
    AddSeconds(*open, "--wait", options.wait,
               "Wait up to S seconds for its row (default: the search window)");
    open->footer("Exit status: 0 opened, 1 not found or not opened, 2 bad usage.");
    return open;
}

std::string CheckAssign(const AssignOptions& options) {
    // Kept out of the parser's own required(): other ways of naming the appliances and
    // their addresses make HOST and --ip unnecessary.
    if (options.IsBatch())
        return ""; // the batch checks its own combinations before it sends anything
    if (options.request.host.empty())
        return "assign needs HOST, the host name of a \"No IP\" appliance";
    if (!options.ipGiven)
        return "assign needs --ip A, the address to give " + options.request.host;
    return "";
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    CLI::App app("Tavisol on the command line: finds the Vellumcrest storage appliances on the "
                 "segment, gives one without an address an address, opens one's "
                 "administration page.",
                 kProgram);
    app.set_version_flag("--version", std::string(kProgram) + " " + TAVISOL_VERSION_TEXT);
    app.footer("Run 'tavisol-cli COMMAND --help' for the options of a command; see also "
               "tavisol-cli(1).");
    CLI::App* search = DefineSearch(app, line.search);
    CLI::App* assign = DefineAssign(app, line.assign);
    CLI::App* open = DefineOpen(app, line.open);

    auto commandName = [&]() -> std::string {
        for (CLI::App* sub : {search, assign, open})
            if (sub->parsed())
                return sub->get_name();
        return "";
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        line.exitStatus = app.exit(e);
        return line;
    } catch (const CLI::CallForAllHelp& e) {
        line.exitStatus = app.exit(e);
        return line;
    } catch (const CLI::CallForVersion& e) {
        line.exitStatus = app.exit(e);
        return line;
    } catch (const CLI::ParseError& e) {
        const std::string command = commandName();
        if (command.empty() && dynamic_cast<const CLI::ExtrasError*>(&e) && argc > 1 &&
            argv[1][0] != '-')
            line.exitStatus = BadUsage(std::string("unknown command '") + argv[1] + "'", "");
        else
            line.exitStatus = BadUsage(e.what(), command);
        return line;
    }

    if (search->parsed()) {
        line.command = Command::Search;
    } else if (assign->parsed()) {
        line.command = Command::Assign;
        const std::string reason = CheckAssign(line.assign);
        if (!reason.empty())
            line.exitStatus = BadUsage(reason, "assign");
    } else if (open->parsed()) {
        line.command = Command::Open;
        if (line.open.target.empty())
            line.exitStatus = BadUsage("open needs HOST-OR-ADDRESS", "open");
    } else {
        line.exitStatus = BadUsage("no command given: search, assign or open", "");
    }
    return line;
}

} // namespace cli
