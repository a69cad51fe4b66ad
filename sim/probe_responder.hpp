// The answer of an appliance that has an address to the discovery probe: "VX2" on UDP 1212
// gets the fixed 46-byte record (name[40] NUL-terminated, MAC[6]) sent to the prober's port
// 1211, optionally late and repeated, on the link the probe came in on. Shared by configured
// appliances and by unconfigured ones once they have been given an address.
#pragma once

#include "loop.hpp"
#include "net.hpp"

#include <cstdint>
#include <deque>
#include <optional>

namespace sim {

inline const Bytes kProbe{'V', 'X', '2'};
constexpr std::uint16_t kProbePort = 1212;
constexpr std::uint16_t kProbeReplyPort = 1211;

class ProbeResponder {
public:
    struct Settings {
        std::uint16_t port = kProbePort;
        std::uint16_t reply_port = kProbeReplyPort;
        unsigned long delay_ms = 0;
        unsigned long repeat = 1;
        std::optional<unsigned long> limit; // probes to take, then ignore the rest
    };

    ProbeResponder(const Settings& s, Bytes reply, bool verbose);

    int fd() const { return sock_.get(); }
    bool limit_reached() const { return s_.limit && accepted_ >= *s_.limit; }
    bool idle() const { return pending_.empty(); }

    void on_readable();
    // Sends what is due; returns when the next reply is due, if any.
    std::optional<Clock::time_point> send_due(Clock::time_point now);

private:
    struct Pending {
        Clock::time_point due;
        sockaddr_in to;
        int ifindex; // the probe's interface, 0: not known
    };

    Settings s_;
    Bytes reply_;
    bool verbose_;
    Fd sock_;
    std::deque<Pending> pending_; // equal delays keep it in due order
    unsigned long accepted_ = 0;
};

} // namespace sim
