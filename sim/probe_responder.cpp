// The configured appliance's probe responder.
#include "probe_responder.hpp"

#include <arpa/inet.h>

#include <string>
#include <utility>

namespace sim {

ProbeResponder::ProbeResponder(const Settings& s, Bytes reply, bool verbose)
    : s_(s), reply_(std::move(reply)), verbose_(verbose), sock_(open_udp_listener(s.port)) {}

void ProbeResponder::on_readable() {
    while (auto d = receive(sock_.get())) {
        const bool is_probe = d->data == kProbe;
        const bool take = is_probe && !limit_reached();
        if (verbose_)
            say(std::string(is_probe ? "probe" : "ignored") + " " + std::to_string(d->data.size()) +
                " bytes from " + format_addr(d->from) +
                (is_probe && !take ? " (count reached)" : ""));
        if (!take)
            continue;
        ++accepted_;
        sockaddr_in to = d->from;
        to.sin_port = htons(s_.reply_port);
        pending_.push_back({Clock::now() + Ms(s_.delay_ms), to});
    }
}

std::optional<Clock::time_point> ProbeResponder::send_due(Clock::time_point now) {
    while (!pending_.empty() && pending_.front().due <= now) {
        for (unsigned long i = 0; i < s_.repeat; ++i)
            send_to(sock_.get(), reply_, pending_.front().to);
        if (verbose_)
            say("reply " + std::to_string(reply_.size()) + " bytes x" + std::to_string(s_.repeat) +
                " to " + format_addr(pending_.front().to));
        pending_.pop_front();
    }
    if (pending_.empty())
        return std::nullopt;
    return pending_.front().due;
}

} // namespace sim
