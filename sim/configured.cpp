// The configured appliance's event loop.
#include "configured.hpp"

#include "probe_responder.hpp"

#include <optional>
#include <vector>

namespace sim {

int run_configured(const Options& o, const Identity& id) {
    ReplyConfig rc;
    rc.name = id.name;
    rc.hw = id.hw;
    rc.no_nul = o.no_nul;
    rc.length = o.reply_length;

    ProbeResponder::Settings ps;
    ps.port = o.port;
    ps.reply_port = o.reply_port;
    ps.delay_ms = o.reply_delay_ms;
    ps.repeat = o.repeat;
    ps.limit = o.count;

    Fd sig = open_stop_signals();
    ProbeResponder probes(ps, build_probe_reply(rc), o.verbose);
    say("ready");

    const auto end =
        o.duration_ms ? std::optional(Clock::now() + Ms(*o.duration_ms)) : std::nullopt;
    std::vector<pollfd> fds{{sig.get(), POLLIN, 0}, {probes.fd(), POLLIN, 0}};
    for (;;) {
        const auto now = Clock::now();
        const auto due = probes.send_due(now);
        if (probes.limit_reached() && probes.idle())
            return 0;
        if (end && now >= *end)
            return 0;
        wait_any(fds, timeout_until({due, end}));
        if (stop_requested(fds))
            return 0;
        if (fds[1].revents & POLLIN)
            probes.on_readable();
    }
}

} // namespace sim
