// Load modes of the simulator, used by the benchmarks: a whole segment of appliances in one
// process (--swarm), and one appliance that times the workstation's DHCP answers
// (--exchanges). See swarm.cpp.
#pragma once

namespace sim {

// True when argv[1] selects one of the load modes.
bool is_load_mode(const char* first_argument);

// Runs the load mode; exit status as for the other modes (0 done, 1 failure, 2 usage).
int run_load_mode(int argc, char** argv);

} // namespace sim
