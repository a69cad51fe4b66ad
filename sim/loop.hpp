// What the simulator's appliance modes share around their event loops: the lines they print,
// the deadlines they wait for, and the appliance's identity.
#pragma once

#include "packet.hpp"

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

struct Identity {
    Bytes name;
    Mac hw;
};

// One line on stdout, flushed at once: tests read it as it comes.
void say(const std::string& line);
std::string hex32(std::uint32_t v);
// Milliseconds until t as a poll() timeout, never 0 before t.
int ms_until(Clock::time_point t);
// Earliest of the set deadlines, as a poll() timeout (-1: none).
int timeout_until(std::initializer_list<std::optional<Clock::time_point>> deadlines);
// Whether the signal descriptor (always first in fds) fired.
bool stop_requested(const std::vector<pollfd>& fds);
// Waits on fds (the signal descriptor first); EINTR counts as "nothing yet".
void wait_any(std::vector<pollfd>& fds, int timeout_ms);

} // namespace sim
