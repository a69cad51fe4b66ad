// Load modes of the simulator, for the benchmarks.
//
//   --swarm N      one process stands for N appliances on its segment. On each "VX2" probe
//                  heard on --iface it writes, as raw frames and as fast as the kernel
//                  takes them:
//                    --replies   N 46-byte answers to the prober's port 1211, from N
//                                distinct addresses (--first-address and the ones after
//                                it) and N distinct hardware addresses; each one is also
//                                sent to every --mirror right after (to its port, 1211
//                                unless given), so a second listener gets the same burst
//                                at the same moments;
//                    --requests  N distinct 548-byte DHCPDISCOVERs with the family's
//                                marker, broadcast from 0.0.0.0:68 as appliances without
//                                an address send them.
//                  After each burst it prints
//                    burst frames=F start_ns=T0 end_ns=T1 resent=R
//                  in CLOCK_MONOTONIC nanoseconds, a clock every namespace shares, so a
//                  listener's times can be set against the first frame on the wire.
//   --exchanges K  one appliance without an address: DISCOVERs every 100 ms until the
//                  workstation's responder offers, then K timed DISCOVER -> OFFER exchanges,
//                  one at a time, then REQUEST -> ACK. Prints
//                    exchanges=K median_us=M p99_us=P max_us=X resent=R
//                  and exits 0 once acknowledged.
//
// Frames come from one packet socket, so the addresses they carry need not exist anywhere:
// the workstation answers nothing to a reply and only broadcasts to a request.
#include "swarm.hpp"

#include "args.hpp"

#include "net.hpp"
#include "packet.hpp"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr const char* kProg = "tavisol-sim";
constexpr std::uint16_t kProbePort = 1212;
constexpr std::uint16_t kProbeReplyPort = 1211;
constexpr std::size_t kMaxSwarm = 65000;
const char kMarker[] = "Kestova Vellumcrest2";

struct Mirror {
    std::uint32_t address = 0;
    Mac mac{};
    std::uint16_t port = kProbeReplyPort;
};

struct LoadOptions {
    std::size_t swarm = 0;     // --swarm N
    std::size_t exchanges = 0; // --exchanges K
    bool replies = false;
    bool requests = false;
    std::string iface = "eth0";
    std::uint32_t first_address = 0;
    std::vector<Mirror> mirrors;
    std::string name_prefix = "SW-";
    std::optional<unsigned long> count; // bursts, then exit
    unsigned long duration_ms = 120000;
    std::string name = "TIMED-1";
    Mac hw{0x02, 0x5C, 0x00, 0x00, 0x00, 0x01};
};

const char kUsage[] =
    "usage: tavisol-sim --swarm N [--replies] [--requests] [--first-address A]\n"
    "                   [--mirror A,MAC[,PORT]]... [--name-prefix P] [--count K] [--iface IF]\n"
    "       tavisol-sim --exchanges K [--name NAME] [--hw MAC] [--iface IF] [--duration MS]\n"
    "\n"
    "--swarm N answers each probe heard on IF with N replies from N addresses (A, A+1, ...)\n"
    "and hardware addresses (--replies, also sent to each mirror), and/or broadcasts N marked\n"
    "548-byte DHCPDISCOVERs (--requests); prints \"burst frames=F start_ns=T0 end_ns=T1\n"
    "resent=R\" (CLOCK_MONOTONIC) after each burst and exits after K bursts.\n"
    "--exchanges K times K DISCOVER -> OFFER exchanges with the workstation's responder once\n"
    "it answers, then completes with REQUEST -> ACK; prints \"exchanges=K median_us=M\n"
    "p99_us=P max_us=X resent=R\".\n";

LoadOptions parse(int argc, char** argv) {
    LoadOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc)
                throw UsageError(arg + ": missing value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--swarm") {
            o.swarm = parse_number(arg, value(), 1, kMaxSwarm);
        } else if (arg == "--exchanges") {
            o.exchanges = parse_number(arg, value(), 1, 1000000);
        } else if (arg == "--replies") {
            o.replies = true;
        } else if (arg == "--requests") {
            o.requests = true;
        } else if (arg == "--iface") {
            o.iface = value();
        } else if (arg == "--first-address") {
            o.first_address = parse_ipv4(arg, value());
        } else if (arg == "--mirror") {
            const std::string v = value();
            const auto comma = v.find(',');
            if (comma == std::string::npos)
                throw UsageError("--mirror: expected ADDRESS,MAC[,PORT]");
            const auto second = v.find(',', comma + 1);
            Mirror m{parse_ipv4(arg, v.substr(0, comma)),
                     parse_mac(arg, v.substr(comma + 1, second - comma - 1))};
            if (second != std::string::npos)
                m.port = static_cast<std::uint16_t>(
                    parse_number(arg, v.substr(second + 1).c_str(), 1, 65535));
            o.mirrors.push_back(m);
        } else if (arg == "--name-prefix") {
            o.name_prefix = value();
        } else if (arg == "--count") {
            o.count = parse_number(arg, value(), 1, 1000000);
        } else if (arg == "--duration") {
            o.duration_ms = parse_number(arg, value(), 1, 3600000);
        } else if (arg == "--name") {
            o.name = value();
        } else if (arg == "--hw") {
            o.hw = parse_mac(arg, value());
        } else {
            throw UsageError("unknown option: " + arg);
        }
    }
    if ((o.swarm == 0) == (o.exchanges == 0))
        throw UsageError("say --swarm N or --exchanges K");
    if (o.swarm) {
        if (!o.replies && !o.requests)
            throw UsageError("--swarm: say --replies, --requests or both");
        if (o.replies &&
            (o.first_address == 0 || std::uint64_t{o.first_address} + o.swarm > 0xffffffffull))
            throw UsageError("--replies: needs --first-address with room for N addresses");
        // A listed name has at most 19 characters; the index takes 6 of them.
        if (o.name_prefix.size() > 13)
            throw UsageError("--name-prefix: at most 13 characters");
    }
    if (o.name.empty() || o.name.size() > 19)
        throw UsageError("--name: 1..19 characters");
    return o;
}

std::uint64_t monotonic_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

Bytes to_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Locally administered unicast addresses: 02-<kind>-00 and the 24-bit appliance number.
Mac member_mac(std::uint8_t kind, std::size_t index) {
    const auto n = static_cast<std::uint32_t>(index + 1);
    return Mac{0x02,
               kind,
               0x00,
               static_cast<std::uint8_t>(n >> 16),
               static_cast<std::uint8_t>(n >> 8),
               static_cast<std::uint8_t>(n)};
}

std::string member_name(const std::string& prefix, char kind, std::size_t index) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%05zu", index + 1);
    return prefix + kind + digits;
}

// Frame layout: 0 Ethernet(14)  14 IPv4(20)  34 UDP(8)  42 payload; a unicast datagram from
// an appliance that has an address.
Bytes unicast_frame(const Mac& eth_dst, const Mac& eth_src, std::uint32_t ip_src,
                    std::uint32_t ip_dst, std::uint16_t ip_id, std::uint16_t src_port,
                    std::uint16_t dst_port, const Bytes& payload) {
    constexpr std::size_t kIp = 14, kUdp = 34, kData = 42;
    const std::size_t udp_len = 8 + payload.size();
    ByteWriter w(kData);
    w.set(0, eth_dst.data(), 6);
    w.set(6, eth_src.data(), 6);
    w.set16(12, 0x0800);
    w.set8(kIp + 0, 0x45);
    w.set16(kIp + 2, static_cast<std::uint16_t>(20 + udp_len));
    w.set16(kIp + 4, ip_id);
    w.set8(kIp + 8, 64); // TTL
    w.set8(kIp + 9, 17); // UDP
    w.set32(kIp + 12, ip_src);
    w.set32(kIp + 16, ip_dst);
    w.set16(kUdp + 0, src_port);
    w.set16(kUdp + 2, dst_port);
    w.set16(kUdp + 4, static_cast<std::uint16_t>(udp_len));
    w.set(kData, payload);
    Bytes f = w.take();
    const std::uint16_t ip_sum = inet_checksum(f.data() + kIp, 20);
    f[kIp + 10] = static_cast<std::uint8_t>(ip_sum >> 8);
    f[kIp + 11] = static_cast<std::uint8_t>(ip_sum);
    // Pseudo-header: source, destination, protocol, UDP length.
    const std::uint32_t pseudo = (ip_src >> 16) + (ip_src & 0xffff) + (ip_dst >> 16) +
                                 (ip_dst & 0xffff) + 17 + static_cast<std::uint32_t>(udp_len);
    std::uint16_t udp_sum = inet_checksum(f.data() + kUdp, udp_len, pseudo);
    if (udp_sum == 0)
        udp_sum = 0xffff;
    f[kUdp + 6] = static_cast<std::uint8_t>(udp_sum >> 8);
    f[kUdp + 7] = static_cast<std::uint8_t>(udp_sum);
    return f;
}

// Writes frames in batches. A veth whose peer cannot take more refuses the frame; it is
// written again after a pause, so every frame of a burst reaches the wire and a loss seen by a
// listener is its own.
class FrameWriter {
public:
    explicit FrameWriter(const Interface& iface) : iface_(iface), fd_(open_packet_sender()) {}

    // Returns how many writes had to be repeated.
    unsigned long write_all(const std::vector<Bytes>& frames) {
        constexpr std::size_t kBatch = 64;
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_protocol = htons(ETH_P_IP);
        to.sll_ifindex = iface_.index;
        to.sll_halen = 6;
        std::vector<iovec> iov(kBatch);
        std::vector<mmsghdr> msgs(kBatch);
        unsigned long resent = 0;
        std::size_t next = 0;
        while (next < frames.size()) {
            const std::size_t n = std::min(kBatch, frames.size() - next);
            for (std::size_t i = 0; i < n; ++i) {
                const Bytes& f = frames[next + i];
                iov[i] = {const_cast<std::uint8_t*>(f.data()), f.size()};
                msgs[i] = {};
                msgs[i].msg_hdr.msg_name = &to;
                msgs[i].msg_hdr.msg_namelen = sizeof to;
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            const int sent = ::sendmmsg(fd_.get(), msgs.data(), static_cast<unsigned>(n), 0);
            if (sent < 0) {
                if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR)
                    throw SysError(errno_text("sendmmsg(AF_PACKET)"));
                ++resent;
                ::usleep(50);
                continue;
            }
            next += static_cast<std::size_t>(sent);
        }
        return resent;
    }

private:
    const Interface& iface_;
    Fd fd_;
};

// Waits until fd is readable, a stop signal arrives (false) or the time-out passes.
bool wait_readable(int sig_fd, int fd, int timeout_ms, bool& stop) {
    pollfd fds[2] = {{sig_fd, POLLIN, 0}, {fd, POLLIN, 0}};
    int n = ::poll(fds, 2, timeout_ms);
    if (n < 0 && errno != EINTR)
        throw SysError(errno_text("poll"));
    stop = n > 0 && fds[0].revents != 0;
    return n > 0 && (fds[1].revents & POLLIN);
}

int ms_until(Clock::time_point t) {
    auto d = std::chrono::duration_cast<Ms>(t - Clock::now()).count();
    return d < 0 ? 0 : static_cast<int>(std::min<long long>(d + 1, 60000));
}

// ---- the swarm -------------------------------------------------------------------------------

class Swarm {
public:
    Swarm(const LoadOptions& o, const Interface& iface) : o_(o), writer_(iface) {
        if (o.requests) {
            std::mt19937 rng(std::random_device{}());
            BootpConfig bc;
            bc.message_type = 1;
            bc.marker = to_bytes(kMarker);
            for (std::size_t i = 0; i < o.swarm; ++i) {
                bc.hw = member_mac(0x5B, i);
                bc.name = to_bytes(member_name(o.name_prefix, 'Q', i));
                bc.xid = static_cast<std::uint32_t>(rng());
                requests_.push_back(build_broadcast_frame(bc.hw, static_cast<std::uint16_t>(i), 68,
                                                          67, build_bootp(bc)));
            }
        }
    }

    void burst(const UdpDatagram& probe, const Mac& prober) {
        std::vector<Bytes> frames;
        if (o_.replies) {
            frames.reserve(o_.swarm * (1 + o_.mirrors.size()));
            for (std::size_t i = 0; i < o_.swarm; ++i) {
                ReplyConfig rc;
                rc.hw = member_mac(0x5A, i);
                rc.name = to_bytes(member_name(o_.name_prefix, 'R', i));
                const Bytes reply = build_probe_reply(rc);
                const auto source = static_cast<std::uint32_t>(o_.first_address + i);
                const auto id = static_cast<std::uint16_t>(i);
                frames.push_back(unicast_frame(prober, rc.hw, source, probe.src, id, kProbePort,
                                               kProbeReplyPort, reply));
                for (const Mirror& m : o_.mirrors)
                    frames.push_back(unicast_frame(m.mac, rc.hw, source, m.address, id, kProbePort,
                                                   m.port, reply));
            }
        }
        const std::uint64_t start = monotonic_ns();
        unsigned long resent = writer_.write_all(frames);
        resent += writer_.write_all(requests_);
        const std::uint64_t end = monotonic_ns();
        say("burst frames=" + std::to_string(frames.size() + requests_.size()) +
            " start_ns=" + std::to_string(start) + " end_ns=" + std::to_string(end) +
            " resent=" + std::to_string(resent));
    }

private:
    const LoadOptions& o_;
    FrameWriter writer_;
    std::vector<Bytes> requests_;
};

int run_swarm(const LoadOptions& o, const Interface& iface) {
    Fd sig = open_stop_signals();
    Fd probes = open_link_udp_listener(iface, kProbePort);
    Swarm swarm(o, iface);
    say("ready");
    unsigned long bursts = 0;
    const auto end = Clock::now() + Ms(o.duration_ms);
    for (;;) {
        bool stop = false;
        const bool readable = wait_readable(sig.get(), probes.get(), ms_until(end), stop);
        if (stop || Clock::now() >= end)
            return 0;
        if (!readable)
            continue;
        while (auto pkt = receive_link(probes.get())) {
            const UdpParse u = parse_ipv4_udp(pkt->data, pkt->checksum_final);
            if (!u.datagram || u.datagram->payload != Bytes{'V', 'X', '2'})
                continue;
            swarm.burst(*u.datagram, pkt->link_source);
            if (o.count && ++bursts >= *o.count)
                return 0;
        }
    }
}

// ---- the timed exchanges ---------------------------------------------------------------------

class TimedClient {
public:
    TimedClient(const LoadOptions& o, const Interface& iface)
        : o_(o), writer_(iface), listener_(open_bootp_client_listener(iface)),
          sig_(open_stop_signals()), rng_(std::random_device{}()) {
        bc_.hw = o.hw;
        bc_.name = to_bytes(o.name);
        bc_.marker = to_bytes(kMarker);
        deadline_ = Clock::now() + Ms(o.duration_ms);
    }

    int run() {
        say("ready");
        // Until the assignment is armed the responder only watches.
        std::optional<BootpReply> offer;
        while (!offer) {
            send(1, fresh_xid());
            offer = await(2, Clock::now() + Ms(100));
            if (stopped_)
                return 1;
        }

        std::vector<double> micros;
        unsigned long resent = 0;
        for (std::size_t i = 0; i < o_.exchanges; ++i) {
            const std::uint32_t xid = fresh_xid();
            for (;;) {
                const auto t0 = Clock::now();
                send(1, xid);
                offer = await(2, t0 + Ms(1000));
                if (offer) {
                    micros.push_back(
                        std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                    break;
                }
                if (stopped_)
                    return 1;
                ++resent;
            }
        }

        bc_.requested_address = offer->yiaddr;
        if (offer->server_id && offer->server_id->size() == 4) {
            const Bytes& s = *offer->server_id;
            bc_.server_id = std::uint32_t{s[0]} << 24 | std::uint32_t{s[1]} << 16 |
                            std::uint32_t{s[2]} << 8 | s[3];
        }
        bool acked = false;
        for (int tries = 0; tries < 5 && !acked && !stopped_; ++tries) {
            send(3, bc_.xid);
            acked = await(5, Clock::now() + Ms(1000)).has_value();
        }

        std::sort(micros.begin(), micros.end());
        const auto at = [&](double q) {
            std::size_t k = static_cast<std::size_t>(std::ceil(q * micros.size()));
            return micros[std::min(micros.size() - 1, k == 0 ? 0 : k - 1)];
        };
        char line[200];
        std::snprintf(line, sizeof line,
                      "exchanges=%zu median_us=%.1f p99_us=%.1f max_us=%.1f resent=%lu acked=%d",
                      micros.size(), at(0.5), at(0.99), micros.back(), resent, acked ? 1 : 0);
        say(line);
        return acked ? 0 : 1;
    }

private:
    std::uint32_t fresh_xid() {
        bc_.xid = static_cast<std::uint32_t>(rng_());
        recent_.push_back(bc_.xid);
        if (recent_.size() > 16)
            recent_.pop_front();
        return bc_.xid;
    }

    void send(std::uint8_t type, std::uint32_t xid) {
        bc_.message_type = type;
        bc_.xid = xid;
        writer_.write_all({build_broadcast_frame(bc_.hw, static_cast<std::uint16_t>(rng_()), 68, 67,
                                                 build_bootp(bc_))});
    }

    // The first answer of the given type for one of our recent requests, before `until`.
    std::optional<BootpReply> await(int type, Clock::time_point until) {
        for (;;) {
            if (Clock::now() >= deadline_) {
                std::fprintf(stderr, "%s: no answer within --duration\n", kProg);
                stopped_ = true;
                return std::nullopt;
            }
            bool stop = false;
            const bool readable = wait_readable(sig_.get(), listener_.get(),
                                                ms_until(std::min(until, deadline_)), stop);
            if (stop) {
                stopped_ = true;
                return std::nullopt;
            }
            if (readable) {
                while (auto pkt = receive_link(listener_.get())) {
                    const UdpParse u = parse_ipv4_udp(pkt->data, pkt->checksum_final);
                    if (!u.datagram)
                        continue;
                    const BootpParse b = parse_bootp_reply(u.datagram->payload);
                    if (!b.reply || b.reply->op != 2 || b.reply->chaddr != o_.hw ||
                        b.reply->message_type != type ||
                        std::find(recent_.begin(), recent_.end(), b.reply->xid) == recent_.end())
                        continue;
                    return b.reply;
                }
            }
            if (Clock::now() >= until)
                return std::nullopt;
        }
    }

    const LoadOptions& o_;
    FrameWriter writer_;
    Fd listener_;
    Fd sig_;
    std::mt19937 rng_;
    BootpConfig bc_;
    std::deque<std::uint32_t> recent_;
    Clock::time_point deadline_;
    bool stopped_ = false;
};

} // namespace

bool is_load_mode(const char* first_argument) {
    return first_argument && (std::strcmp(first_argument, "--swarm") == 0 ||
                              std::strcmp(first_argument, "--exchanges") == 0);
}

int run_load_mode(int argc, char** argv) {
    try {
        const LoadOptions o = parse(argc, argv);
        // Frames with made-up addresses belong on a lab segment only.
        if (!in_separate_net_namespace())
            throw SysError("load modes run only inside a network namespace of their own "
                           "(a tools/netlab node), not in the initial one");
        const auto iface = find_interface(o.iface);
        if (!iface)
            throw SysError("no interface '" + o.iface + "' (see --iface)");
        if (o.swarm)
            return run_swarm(o, *iface);
        return TimedClient(o, *iface).run();
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s: %s\n%s", kProg, e.what(), kUsage);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kProg, e.what());
        return 1;
    }
}

} // namespace sim
