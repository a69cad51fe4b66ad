// The hostile sender. Every datagram leaves as a raw Ethernet frame broadcast to
// 255.255.255.255, so its IPv4 source can be anything the test wants: 0.0.0.0, the
// workstation's own address, a neighbour's. Datagrams too large for one frame are cut into
// IPv4 fragments here, as the sending host's stack would.
//
//   tavisol-sim --hostile --port P [--send HEX[/N]]... [--from A] [--from-port P]
//               [--interval MS] [--count K] [--duration MS] [--iface IF]
//   tavisol-sim --hostile --port 1211|67 --flood RATE [--flood-name PREFIX] [--flood-unmarked]
//
// --send payloads go out in turn, one every --interval; /N cuts or zero-extends a payload to
// N bytes (up to 65507, the largest UDP datagram over IPv4). --flood sends RATE distinct
// datagrams a second instead: 46-byte probe replies named PREFIX<n> to port 1211, or
// 548-byte DHCPDISCOVERs of hardware address 02:F1:<n> named PREFIX<n> to port 67, with the
// family's marker unless --flood-unmarked.
// Prints "ready" when it starts sending and "sent N dropped D" when it stops.
#include "hostile.hpp"

#include "args.hpp"

#include "net.hpp"
#include "packet.hpp"

#include <getopt.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <net/ethernet.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxUdpPayload = 65507; // 65535 less the IPv4 and UDP headers
constexpr std::size_t kFragmentData = 1480;   // a 1500-byte MTU less the IPv4 header
const char kMarker[] = "Kestova Vellumcrest2";

struct HostileOptions {
    std::string iface = "eth0";
    std::optional<std::uint16_t> port;
    std::optional<std::uint32_t> from; // host order; unset: the interface's address
    std::optional<std::uint16_t> from_port;
    std::vector<Bytes> payloads;
    unsigned long interval_ms = 200;
    std::optional<unsigned long> count;
    std::optional<unsigned long> duration_ms;
    unsigned long flood_rate = 0;
    std::string flood_name = "FLOOD-";
    bool flood_unmarked = false;
};

// HEX or HEX/N.
Bytes parse_payload(const std::string& text) {
    const std::size_t slash = text.find('/');
    Bytes out = parse_hex("--send", text.substr(0, slash));
    if (slash != std::string::npos)
        out.resize(parse_number("--send", text.c_str() + slash + 1, 0, kMaxUdpPayload), 0);
    if (out.size() > kMaxUdpPayload)
        throw UsageError("--send: more than 65507 bytes");
    return out;
}

HostileOptions parse(int argc, char** argv) {
    enum {
        kHostile = 1,
        kIface,
        kPort,
        kFrom,
        kFromPort,
        kSend,
        kInterval,
        kCount,
        kDuration,
        kFlood,
        kFloodName,
        kFloodUnmarked
    };
    const option longopts[] = {
        {"hostile", no_argument, nullptr, kHostile},
        {"iface", required_argument, nullptr, kIface},
        {"port", required_argument, nullptr, kPort},
        {"from", required_argument, nullptr, kFrom},
        {"from-port", required_argument, nullptr, kFromPort},
        {"send", required_argument, nullptr, kSend},
        {"interval", required_argument, nullptr, kInterval},
        {"count", required_argument, nullptr, kCount},
        {"duration", required_argument, nullptr, kDuration},
        {"flood", required_argument, nullptr, kFlood},
        {"flood-name", required_argument, nullptr, kFloodName},
        {"flood-unmarked", no_argument, nullptr, kFloodUnmarked},
        {nullptr, 0, nullptr, 0},
    };
    HostileOptions o;
    opterr = 0;
    optind = 1;
    for (;;) {
        const int id = getopt_long(argc, argv, "", longopts, nullptr);
        if (id == -1)
            break;
        const char* a = optarg;
        switch (id) {
        case kHostile:
            break;
        case kIface:
            o.iface = a;
            break;
        case kPort:
            o.port = static_cast<std::uint16_t>(parse_number("--port", a, 1, 65535));
            break;
        case kFrom:
            o.from = parse_ipv4("--from", a);
            break;
        case kFromPort:
            o.from_port = static_cast<std::uint16_t>(parse_number("--from-port", a, 1, 65535));
            break;
        case kSend:
            o.payloads.push_back(parse_payload(a));
            break;
        case kInterval:
            o.interval_ms = parse_number("--interval", a, 1, 3600000);
            break;
        case kCount:
            o.count = parse_number("--count", a, 1, 1000000000);
            break;
        case kDuration:
            o.duration_ms = parse_number("--duration", a, 1, 86400000);
            break;
        case kFlood:
            o.flood_rate = parse_number("--flood", a, 1, 1000000);
            break;
        case kFloodName:
            o.flood_name = a;
            break;
        case kFloodUnmarked:
            o.flood_unmarked = true;
            break;
        default:
            throw UsageError(std::string("unknown or incomplete option '") + argv[optind - 1] +
                             "'");
        }
    }
    if (optind < argc)
        throw UsageError(std::string("unexpected argument: ") + argv[optind]);
    if (!o.port)
        throw UsageError("--hostile needs --port");
    if (o.flood_rate == 0 && o.payloads.empty())
        throw UsageError("--hostile needs --send or --flood");
    if (o.flood_rate && !o.payloads.empty())
        throw UsageError("--send and --flood exclude each other");
    if (o.flood_rate && *o.port != 1211 && *o.port != 67)
        throw UsageError("--flood: replies go to port 1211, requests to port 67");
    if (o.flood_name.size() > 30)
        throw UsageError("--flood-name: at most 30 bytes");
    return o;
}

// The interface's IPv4 address (host order), 0 when it has none.
std::uint32_t interface_address(const std::string& name) {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq req{};
    if (fd.get() < 0 || name.size() >= IFNAMSIZ)
        return 0;
    std::memcpy(req.ifr_name, name.c_str(), name.size());
    if (::ioctl(fd.get(), SIOCGIFADDR, &req) < 0)
        return 0;
    sockaddr_in a;
    std::memcpy(&a, &req.ifr_addr, sizeof a);
    return ntohl(a.sin_addr.s_addr);
}

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    put16(b, at, static_cast<std::uint16_t>(v >> 16));
    put16(b, at + 2, static_cast<std::uint16_t>(v));
}

// One UDP datagram from src:src_port to 255.255.255.255:dst_port as the Ethernet frames
// that carry it: one frame, or IPv4 fragments of at most 1480 data bytes each.
//
//   frame: 0 Ethernet(14) 14 IPv4(20) 34 data (the UDP header leads the first fragment)
std::vector<Bytes> udp_frames(const Mac& eth_src, std::uint16_t ip_id, std::uint32_t src,
                              std::uint16_t src_port, std::uint16_t dst_port,
                              const Bytes& payload) {
    const std::size_t udp_len = 8 + payload.size();
    Bytes udp(udp_len, 0);
    put16(udp, 0, src_port);
    put16(udp, 2, dst_port);
    put16(udp, 4, static_cast<std::uint16_t>(udp_len));
    std::copy(payload.begin(), payload.end(), udp.begin() + 8);
    // Pseudo-header: source, 255.255.255.255, protocol 17, UDP length.
    const std::uint32_t pseudo =
        (src >> 16) + (src & 0xffff) + 0xffff + 0xffff + 17 + static_cast<std::uint32_t>(udp_len);
    std::uint16_t sum = inet_checksum(udp.data(), udp.size(), pseudo);
    put16(udp, 6, sum == 0 ? 0xffff : sum);

    std::vector<Bytes> frames;
    for (std::size_t off = 0; off == 0 || off < udp_len; off += kFragmentData) {
        const std::size_t n = std::min(kFragmentData, udp_len - off);
        const bool more = off + n < udp_len;
        Bytes f(34 + n, 0);
        std::memset(f.data(), 0xff, 6);
        std::memcpy(f.data() + 6, eth_src.data(), 6);
        put16(f, 12, 0x0800);
        f[14] = 0x45;
        put16(f, 16, static_cast<std::uint16_t>(20 + n));
        put16(f, 18, ip_id);
        put16(f, 20, static_cast<std::uint16_t>((more ? 0x2000 : 0) | off / 8));
        f[22] = 64;
        f[23] = 17;
        put32(f, 26, src);
        put32(f, 30, 0xffffffff);
        put16(f, 24, inet_checksum(f.data() + 14, 20));
        std::copy(udp.begin() + static_cast<std::ptrdiff_t>(off),
                  udp.begin() + static_cast<std::ptrdiff_t>(off + n), f.begin() + 34);
        frames.push_back(std::move(f));
    }
    return frames;
}

class Sender {
public:
    explicit Sender(const Interface& iface) : iface_(iface), fd_(open_packet_sender()) {}

    // A full transmit queue under a flood is the LAN dropping a frame, not our failure.
    void send(const Bytes& frame) {
        const ssize_t n = send_frame_once(fd_.get(), iface_, frame, MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(frame.size())) {
            ++sent_;
        } else if (n < 0 && (errno == ENOBUFS || errno == EAGAIN)) {
            ++dropped_;
        } else {
            throw SysError(errno_text("sendto(AF_PACKET)"));
        }
    }

    unsigned long sent() const { return sent_; }
    unsigned long dropped() const { return dropped_; }

private:
    const Interface& iface_;
    Fd fd_;
    unsigned long sent_ = 0, dropped_ = 0;
};

// The n-th datagram of a flood.
Bytes flood_payload(const HostileOptions& o, std::uint32_t n) {
    const std::string name = o.flood_name + std::to_string(n);
    if (*o.port == 1211) {
        ReplyConfig rc;
        rc.name.assign(name.begin(), name.end());
        rc.hw = Mac{0x02,
                    0xF1,
                    static_cast<std::uint8_t>(n >> 24),
                    static_cast<std::uint8_t>(n >> 16),
                    static_cast<std::uint8_t>(n >> 8),
                    static_cast<std::uint8_t>(n)};
        return build_probe_reply(rc);
    }
    BootpConfig bc;
    bc.xid = n;
    bc.hw = Mac{0x02,
                0xF1,
                static_cast<std::uint8_t>(n >> 24),
                static_cast<std::uint8_t>(n >> 16),
                static_cast<std::uint8_t>(n >> 8),
                static_cast<std::uint8_t>(n)};
    bc.name.assign(name.begin(), name.end());
    bc.marker.assign(kMarker, kMarker + std::strlen(kMarker));
    if (o.flood_unmarked)
        bc.marker_place = MarkerPlace::None;
    return build_bootp(bc);
}

int run(const HostileOptions& o) {
    const auto iface = find_interface(o.iface);
    if (!iface)
        throw SysError("no interface '" + o.iface + "' (see --iface)");
    const std::uint32_t src = o.from ? *o.from : interface_address(o.iface);
    const std::uint16_t src_port = o.from_port ? *o.from_port : *o.port == 67 ? 68 : 1212;

    Fd sig = open_stop_signals();
    Sender sender(*iface);
    std::printf("ready\n");
    std::fflush(stdout);

    const auto start = Clock::now();
    const auto end = o.duration_ms
                         ? std::optional(start + std::chrono::milliseconds(*o.duration_ms))
                         : std::nullopt;
    std::uint16_t ip_id = 1;
    std::uint32_t n = 0; // datagrams made so far
    std::size_t next_payload = 0;
    unsigned long rounds = 0;
    auto next_send = start;
    for (;;) {
        const auto now = Clock::now();
        if (end && now >= *end)
            break;
        if (o.flood_rate) {
            // Catch up with the rate in whole datagrams, at most a tenth of a second's worth
            // at once so that a stall does not turn into a burst.
            const double elapsed = std::chrono::duration<double>(now - start).count();
            auto due = static_cast<std::uint64_t>(elapsed * static_cast<double>(o.flood_rate));
            const std::uint64_t burst = std::max<std::uint64_t>(1, o.flood_rate / 10);
            if (due > n + burst)
                due = n + burst;
            while (n < due) {
                for (const Bytes& f :
                     udp_frames(iface->mac, ip_id++, src, src_port, *o.port, flood_payload(o, n)))
                    sender.send(f);
                ++n;
            }
            if (o.count && n >= *o.count)
                break;
        } else if (now >= next_send) {
            for (const Bytes& f :
                 udp_frames(iface->mac, ip_id++, src, src_port, *o.port, o.payloads[next_payload]))
                sender.send(f);
            if (++next_payload == o.payloads.size()) {
                next_payload = 0;
                if (o.count && ++rounds >= *o.count)
                    break;
            }
            next_send += std::chrono::milliseconds(o.interval_ms);
            if (next_send < now)
                next_send = now + std::chrono::milliseconds(o.interval_ms);
        }
        pollfd p{sig.get(), POLLIN, 0};
        const int wait_ms = o.flood_rate
                                ? 1
                                : static_cast<int>(std::max<long long>(
                                      0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                             next_send - Clock::now())
                                             .count()));
        if (::poll(&p, 1, wait_ms) > 0)
            break;
    }
    std::printf("sent %lu dropped %lu\n", sender.sent(), sender.dropped());
    std::fflush(stdout);
    return 0;
}

} // namespace

bool is_hostile_command(int argc, char** argv) {
    return argc >= 2 && std::strcmp(argv[1], "--hostile") == 0;
}

int run_hostile(int argc, char** argv) {
    try {
        if (!in_separate_net_namespace())
            throw SysError("--hostile runs only inside a network namespace of its own "
                           "(a tools/netlab node), not in the initial one");
        return run(parse(argc, argv));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tavisol-sim: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavisol-sim: %s\n", e.what());
        return 1;
    }
}

} // namespace sim
