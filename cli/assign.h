// One assignment as `tavisol-cli assign` makes it: a search until the appliance is listed as
// "No IP", a double-click on its row, the typed address in the assign dialog, the responder
// until its DHCPACK or its time limit, and then the confirmation that the appliance answers
// from the address. Each assignment runs the program afresh, as a user would for each one.
#pragma once

#include <string>

namespace cli {

struct AssignRequest {
    std::string host;
    std::string ip, mask, gateway;
    bool yes = false;    // answers "Subnet Warning!" with OK; else it cancels
    double wait = -1;    // seconds to wait for the "No IP" row; < 0: the search window
    double confirm = 60; // seconds to wait for the appliance's answer; 0: none
};

enum class AssignResult {
    Confirmed,    // the appliance answers from its new address
    Acknowledged, // it took the DHCPACK; no confirmation was asked for
    NotFound,     // no "No IP" row with that host name
    Refused,      // the dialog refused the input; `reason` holds the box's text
    InUse,        // the in-use check found the address taken; `reason` holds the box's text
    TimedOut,     // "Setting IP ERROR": the appliance did not take the address in time
    NotConfirmed, // it took the address but did not answer from it in time
    Failed,       // the program could not do its part (a window that did not open, say)
};

struct AssignOutcome {
    AssignResult result = AssignResult::Failed;
    std::string reason;  // what went wrong, for the failures
    std::string address; // the listed row after the assignment: its address ...
    std::string host;    // ... and host name
    std::string hw;      // the hardware address of the "No IP" row, when it was listed
};

// Runs one assignment. Boxes, socket failures and the confirmation's line go to stderr as
// they happen; nothing goes to stdout.
AssignOutcome AssignOne(const AssignRequest& request);

// The exit status of `tavisol-cli assign` for an outcome: 0 done, 3 not confirmed, else 1.
int ExitStatusOf(const AssignOutcome& outcome);

} // namespace cli
