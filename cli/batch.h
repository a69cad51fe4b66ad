// Many appliances in one run of `tavisol-cli assign`: a plan file naming each appliance and
// its address (--plan), or every appliance listed without an address given the next address
// of a range (--all --range). One search first shows what is there; then each appliance goes
// through one assignment exactly as a single `assign` makes it, one after the other.
#pragma once

#include "cli/assign.h"

#include <string>

namespace cli {

struct BatchOptions {
    AssignRequest request; // host and ip: a single assignment's, which a batch must not have;
                           // mask, gateway, yes, wait and confirm apply to every appliance
    bool haveIp = false;
    std::string plan;  // --plan FILE
    bool all = false;  // --all
    std::string range; // --range FIRST-LAST
    bool dryRun = false;
    bool json = false;
};

// Runs the batch. A line for each appliance as it finishes (stdout, or stderr with --json),
// then a summary table on stdout, or with --json a JSON report there. Exit status: 0 when
// every appliance ended "confirmed" or "already" ("acknowledged" too with --confirm 0), 1
// otherwise, 2 for bad usage or a bad plan (nothing is sent then).
int RunBatch(const BatchOptions& options);

} // namespace cli
