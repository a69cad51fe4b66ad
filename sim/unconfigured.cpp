// The unconfigured appliance: discovering, requesting, configured.
#include "unconfigured.hpp"

#include "http.hpp"
#include "probe_responder.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace sim {
namespace {

constexpr std::uint16_t kHttpPort = 80;
// REQUESTs sent for one offer before giving up on it and discovering again.
constexpr unsigned kRequestTries = 8;
// DISCOVERs whose xid an answer may still carry: an answer can be under way
// while the next DISCOVERs leave, more so on a loaded machine, yet one that
// quotes a DISCOVER from seconds ago is stale.
constexpr std::size_t kXidWindow = 4;

// Tests poll this file instead of parsing stdout; replaced by rename so a
// reader never sees it half-written.
class StatusFile {
public:
    explicit StatusFile(std::optional<std::string> path) : path_(std::move(path)) {}

    void set(const std::string& state) const {
        if (!path_)
            return;
        const std::string tmp = *path_ + ".tmp";
        {
            std::ofstream f(tmp, std::ios::trunc);
            f << state << '\n';
            if (!f.flush())
                throw SysError("cannot write status file " + tmp);
        }
        if (std::rename(tmp.c_str(), path_->c_str()) != 0)
            throw SysError(errno_text("rename " + tmp + " -> " + *path_));
    }

private:
    std::optional<std::string> path_;
};

// The address an answer grants, checked before anything is changed.
struct Grant {
    std::uint32_t address = 0;
    int prefix = 0;
    std::uint32_t router = 0;
    std::string text() const {
        return ipv4_text(address) + "/" + std::to_string(prefix) + " gw " + ipv4_text(router);
    }
};

// An address option's first (often only) address; at least 4 bytes.
std::uint32_t first_ipv4(const Bytes& b) {
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

// Either a grant or why the answer cannot be used.
std::optional<Grant> read_grant(const BootpReply& r, std::string& why) {
    const std::uint32_t a = r.yiaddr;
    if (a == 0 || a == 0xffffffff || a >> 24 == 127 || a >> 28 >= 14) {
        why = "yiaddr " + ipv4_text(a) + " is not a host address";
        return std::nullopt;
    }
    Grant g;
    g.address = a;
    std::uint32_t mask;
    if (r.mask) {
        if (r.mask->size() != 4) {
            why = "option 1 of length " + std::to_string(r.mask->size());
            return std::nullopt;
        }
        mask = first_ipv4(*r.mask);
    } else {
        // Without option 1 a BOOTP client falls back to the address class.
        mask = a >> 31 == 0 ? 0xff000000 : a >> 30 == 2 ? 0xffff0000 : 0xffffff00;
    }
    if (mask == 0 || (~mask & (~mask + 1)) != 0) {
        why = "subnet mask " + ipv4_text(mask) + " is not a contiguous prefix";
        return std::nullopt;
    }
    g.prefix = std::popcount(mask);
    if (r.router) {
        if (r.router->size() < 4 || r.router->size() % 4) {
            why = "option 3 of length " + std::to_string(r.router->size());
            return std::nullopt;
        }
        g.router = first_ipv4(*r.router);
    }
    return g;
}

const char* message_name(std::optional<std::uint8_t> type) {
    if (!type)
        return "BOOTP reply";
    switch (*type) {
    case 2:
        return "OFFER";
    case 5:
        return "ACK";
    case 6:
        return "NAK";
    default:
        return "DHCP reply";
    }
}

// The unconfigured appliance: discovering, then requesting an offered
// address, then configured and answering like a configured appliance.
class Appliance {
public:
    Appliance(const Options& o, const Identity& id, const Interface& iface)
        : o_(o), id_(id), iface_(iface), status_(o.status_file), rng_(std::random_device{}()) {
        bc_.op = o.op;
        bc_.hw = id.hw;
        bc_.name = id.name;
        bc_.name_option_count = o.name_option_count;
        bc_.second_name = o.second_name;
        bc_.option_after_end = o.option_after_end;
        bc_.bad_cookie = o.bad_cookie;
        bc_.marker_place = o.marker_place.value_or(MarkerPlace::File);
        bc_.marker_option = o.marker_option;
        bc_.marker_offset = o.marker_offset;
        bc_.marker = o.marker;
        bc_.length = o.length;
        // A real client's frames carry its own MAC as source; the bridge
        // drops multicast or all-zero sources, so odd test addresses fall
        // back to the interface's.
        const bool hw_is_unicast = !(id.hw[0] & 1) && id.hw != Mac{};
        eth_src_ = hw_is_unicast ? id.hw : iface.mac;
    }

    int run() {
        Fd sig = open_stop_signals();
        sender_ = open_packet_sender();
        if (o_.pre_address_set)
            set_ipv4(o_.iface, o_.pre_address, o_.pre_prefix, 0);
        if (!o_.no_request)
            listener_ = open_bootp_client_listener(iface_);
        status_.set("discovering");
        say("ready");

        const auto end =
            o_.duration_ms ? std::optional(Clock::now() + Ms(*o_.duration_ms)) : std::nullopt;
        next_ = Clock::now();
        for (;;) {
            const auto now = Clock::now();
            if (end && now >= *end)
                return 0;
            if (asking() && now >= next_) {
                if (!send_due(now))
                    return 0;
            }
            if (phase_ == Phase::Acknowledged && up_at_ && now >= *up_at_)
                bring_up();
            std::optional<Clock::time_point> due, http_due;
            if (probes_)
                due = probes_->send_due(now);
            if (admin_)
                http_due = admin_->expire(now);

            std::vector<pollfd> fds{{sig.get(), POLLIN, 0}};
            if (listener_.get() >= 0)
                fds.push_back({listener_.get(), POLLIN, 0});
            if (probes_)
                fds.push_back({probes_->fd(), POLLIN, 0});
            const std::size_t http_first = fds.size();
            if (admin_)
                admin_->want(fds);
            const std::optional<Clock::time_point> send_next =
                asking() ? std::optional(next_) : std::nullopt;
            const std::optional<Clock::time_point> up_next =
                phase_ == Phase::Acknowledged ? up_at_ : std::nullopt;
            wait_any(fds, timeout_until({send_next, due, http_due, up_next, end}));
            if (stop_requested(fds))
                return 0;
            for (std::size_t i = 1; i < http_first; ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                if (fds[i].fd == listener_.get())
                    on_listener_readable();
                else if (probes_ && fds[i].fd == probes_->fd())
                    probes_->on_readable();
            }
            if (admin_)
                admin_->dispatch(
                    {fds.begin() + static_cast<std::ptrdiff_t>(http_first), fds.end()});
        }
    }

private:
    // Acknowledged: the ACK is taken, the address not yet up (--up-delay).
    enum class Phase { Discovering, Requesting, Acknowledged, Configured };

    bool asking() const { return phase_ == Phase::Discovering || phase_ == Phase::Requesting; }

    // Sends the DISCOVER or REQUEST that is due; false once --count is done.
    bool send_due(Clock::time_point now) {
        if (phase_ == Phase::Requesting && requests_sent_ >= kRequestTries) {
            say_verbose("no ACK after " + std::to_string(kRequestTries) +
                        " REQUESTs; discovering again");
            enter_discovering();
        }
        if (phase_ == Phase::Requesting) {
            send_request();
        } else {
            bc_.xid = static_cast<std::uint32_t>(rng_());
            recent_xids_.push_back(bc_.xid);
            if (recent_xids_.size() > kXidWindow)
                recent_xids_.pop_front();
            send_message(1, "DISCOVER");
            if (o_.also_request)
                send_message(3, "REQUEST");
            if (o_.count && ++sent_ >= *o_.count)
                return false;
        }
        next_ += Ms(o_.interval_ms);
        if (next_ < now)
            next_ = now + Ms(o_.interval_ms); // after a stall, do not burst
        return true;
    }

    void send_message(std::uint8_t type, const char* what) {
        bc_.message_type = type;
        const Bytes bootp = build_bootp(bc_);
        send_frame(
            sender_.get(), iface_,
            build_broadcast_frame(eth_src_, static_cast<std::uint16_t>(rng_()), 68, 67, bootp));
        say_verbose(std::string("sent ") + what + " xid=" + hex32(bc_.xid) + " " +
                    std::to_string(bootp.size()) + " bytes on " + o_.iface);
    }

    void send_request() {
        bc_.requested_address = offered_;
        bc_.server_id = server_id_;
        send_message(3, "REQUEST");
        bc_.requested_address.reset();
        bc_.server_id.reset();
        ++requests_sent_;
    }

    void enter_discovering() {
        phase_ = Phase::Discovering;
        requests_sent_ = 0;
        recent_xids_.clear();
        status_.set("discovering");
    }

    void say_verbose(const std::string& line) const {
        if (o_.verbose)
            say(line);
    }

    // A reply that is ours but unusable points at a fault on the sending
    // side, so it is reported even without --verbose.
    void reject(const BootpReply& r, const std::string& why) const {
        std::fprintf(stderr, "%s: ignored %s xid=%s: %s\n", kProg, message_name(r.message_type),
                     hex32(r.xid).c_str(), why.c_str());
    }

    void on_listener_readable() {
        while (auto pkt = receive_link(listener_.get())) {
            const UdpParse u = parse_ipv4_udp(pkt->data, pkt->checksum_final);
            if (!u.datagram) {
                say_verbose("ignored packet for port 68: " + u.error);
                continue;
            }
            const BootpParse b = parse_bootp_reply(u.datagram->payload);
            if (!b.reply) {
                say_verbose("ignored datagram for port 68: " + b.error);
                continue;
            }
            on_reply(*b.reply, *u.datagram, pkt->link_broadcast, b.error);
            if (!asking())
                return;
        }
    }

    bool xid_is_ours(std::uint32_t xid) const {
        if (phase_ == Phase::Requesting)
            return xid == bc_.xid;
        return std::find(recent_xids_.begin(), recent_xids_.end(), xid) != recent_xids_.end();
    }

    void on_reply(const BootpReply& r, const UdpDatagram& d, bool link_broadcast,
                  const std::string& options_error) {
        const std::string what = std::string(message_name(r.message_type)) + " xid=" + hex32(r.xid);
        std::string not_ours;
        if (r.op != 2)
            not_ours = "op " + std::to_string(r.op);
        else if (r.chaddr != id_.hw)
            not_ours = "chaddr " + mac_text(r.chaddr);
        else if (!xid_is_ours(r.xid))
            not_ours = "not our xid";
        if (!not_ours.empty()) {
            say_verbose("ignored " + what + ": " + not_ours);
            return;
        }
        if (!r.cookie_ok)
            return reject(r, "magic cookie wrong");
        if (!options_error.empty())
            return reject(r, options_error);
        if (!link_broadcast || d.dst != 0xffffffff)
            return reject(r, "sent to " + ipv4_text(d.dst) +
                                 (link_broadcast ? "" : " as a unicast frame") +
                                 ", but we asked for a broadcast");

        const bool plain_bootp = !r.message_type;
        const int type = r.message_type.value_or(0);
        if (phase_ == Phase::Discovering && type == 2) {
            if (o_.ignore_offers)
                return say_verbose("ignored " + what + " (--ignore-offers)");
            if (!r.server_id || r.server_id->size() != 4)
                return reject(r, "no 4-byte server identifier (option 54)");
            std::string why;
            if (!read_grant(r, why))
                return reject(r, why);
            server_id_ = first_ipv4(*r.server_id);
            offered_ = r.yiaddr;
            bc_.xid = r.xid;
            phase_ = Phase::Requesting;
            status_.set("requesting");
            say_verbose("got " + what + " of " + ipv4_text(offered_) + " from " +
                        ipv4_text(server_id_));
            send_request();
            next_ = Clock::now() + Ms(o_.interval_ms);
            return;
        }
        if (phase_ == Phase::Requesting && type == 6) {
            say_verbose("got " + what + "; discovering again");
            enter_discovering();
            next_ = Clock::now();
            return;
        }
        if (plain_bootp || (phase_ == Phase::Requesting && type == 5)) {
            std::string why;
            const auto grant = read_grant(r, why);
            if (!grant)
                return reject(r, why);
            say_verbose("got " + what);
            acknowledged(*grant);
            return;
        }
        say_verbose("ignored " + what + " while " +
                    (phase_ == Phase::Discovering ? "discovering" : "requesting"));
    }

    // A real appliance takes its time between the ACK and an address it answers from (it
    // checks the address, restarts services); --up-delay plays that, and "never" one that
    // took the ACK and then failed.
    void acknowledged(const Grant& g) {
        listener_ = Fd();
        grant_ = g;
        if (o_.up_delay_ms && *o_.up_delay_ms == 0)
            return bring_up();
        phase_ = Phase::Acknowledged;
        if (o_.up_delay_ms)
            up_at_ = Clock::now() + Ms(*o_.up_delay_ms);
        const std::string when =
            o_.up_delay_ms ? "up in " + std::to_string(*o_.up_delay_ms) + " ms" : "never up";
        status_.set("acknowledged " + g.text());
        say("acknowledged " + g.text() + ", " + when);
    }

    void bring_up() {
        const Grant& g = grant_;
        set_ipv4(o_.iface, g.address, g.prefix, g.router);
        phase_ = Phase::Configured;
        ReplyConfig rc;
        rc.name = id_.name;
        rc.hw = id_.hw;
        probes_.emplace(ProbeResponder::Settings{}, build_probe_reply(rc), o_.verbose);
        admin_.emplace(kHttpPort, id_.name, ipv4_text(g.address), o_.verbose);
        // Only now: whoever waits for this line may probe at once.
        status_.set("configured " + g.text());
        say("configured " + g.text());
    }

    const Options& o_;
    const Identity& id_;
    const Interface& iface_;
    StatusFile status_;
    std::mt19937 rng_;
    BootpConfig bc_;
    Mac eth_src_{};
    Fd sender_;
    Fd listener_;
    Phase phase_ = Phase::Discovering;
    Clock::time_point next_;
    unsigned long sent_ = 0;
    std::deque<std::uint32_t> recent_xids_;
    unsigned requests_sent_ = 0;
    std::uint32_t offered_ = 0;
    std::uint32_t server_id_ = 0;
    Grant grant_;
    std::optional<Clock::time_point> up_at_;
    std::optional<ProbeResponder> probes_;
    std::optional<AdminServer> admin_;
};

} // namespace

int run_unconfigured(const Options& o, const Identity& id, const Interface& iface) {
    // Broadcasting and rewriting addresses are for lab nodes only; in the
    // initial namespace they would hit the machine's real network.
    if (!in_separate_net_namespace())
        throw SysError("--unconfigured runs only inside a network namespace of its own "
                       "(a tools/netlab node), not in the initial one");
    return Appliance(o, id, iface).run();
}

} // namespace sim
