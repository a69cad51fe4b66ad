// The hostile sender: a node on the lab LAN that puts arbitrary UDP datagrams on the wire,
// from any source address (0.0.0.0, or the workstation's own), of any length (IPv4
// fragments beyond one frame), once, repeatedly or as a flood of distinct probe replies and
// BOOTP requests. What the datagrams hold is the caller's choice; this only delivers them.
#pragma once

namespace sim {

// True when argv asks for the hostile sender (its first argument is --hostile).
bool is_hostile_command(int argc, char** argv);

// Runs the hostile sender; exit status as main's (0 done, 1 runtime failure, 2 usage).
int run_hostile(int argc, char** argv);

} // namespace sim
