// The configured appliance's probe responder.
#include "probe_responder.hpp"

#include <arpa/inet.h>

#include <string>
#include <utility>

namespace sim {

ProbeResponder::ProbeResponder(const Settings& s, Bytes reply, bool verbose)
    : s_(s), reply_(std::move(reply)), verbose_(verbose), sock_(open_udp_listener(s.port)) {
    report_arrival_interface(sock_.get());
}

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
        pending_.push_back({Clock::now() + Ms(s_.delay_ms), to, d->ifindex});
    }
}

std::optional<Clock::time_point> ProbeResponder::send_due(Clock::time_point now) {
    while (!pending_.empty() && pending_.front().due <= now) {
        // Answered on the link the probe came in on, as real appliances do: one whose address
        // lies in no subnet of the prober's, or whose gateway is not the prober's, is found all
        // the same.
        const Pending& p = pending_.front();
        for (unsigned long i = 0; i < s_.repeat; ++i) {
            if (p.ifindex != 0)
                send_on_link(sock_.get(), reply_, p.to, p.ifindex);
            else
                send_to(sock_.get(), reply_, p.to);
        }
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
