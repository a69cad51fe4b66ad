// The event-loop helpers of the appliance modes.
#include "loop.hpp"

#include "net.hpp"

#include <cerrno>
#include <cstdio>

namespace sim {

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string hex32(std::uint32_t v) {
    char buf[11];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

int ms_until(Clock::time_point t) {
    auto d = std::chrono::duration_cast<Ms>(t - Clock::now()).count();
    if (d < 0)
        return 0;
    return d > 60000 ? 60000 : static_cast<int>(d + 1); // +1: never wake just before t
}

int timeout_until(std::initializer_list<std::optional<Clock::time_point>> deadlines) {
    std::optional<Clock::time_point> first;
    for (const auto& d : deadlines)
        if (d && (!first || *d < *first))
            first = d;
    return first ? ms_until(*first) : -1;
}

bool stop_requested(const std::vector<pollfd>& fds) {
    return fds[0].revents != 0; // the signal descriptor is always first
}

void wait_any(std::vector<pollfd>& fds, int timeout_ms) {
    for (auto& f : fds)
        f.revents = 0;
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR)
        throw SysError(errno_text("poll"));
}

} // namespace sim
