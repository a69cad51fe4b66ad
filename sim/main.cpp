// tavisol-sim: pretends to be one network-storage appliance on a lab LAN, so
// discovery can be tested end to end without hardware. Start one process per
// appliance; each prints "ready" once its sockets are open, then runs until
// SIGTERM/SIGINT/SIGHUP (exit 0) or until --count/--duration is reached.
//
//   --configured    answer "VX2" probes on UDP 1212 with the 46-byte record
//                   (name[40] NUL-terminated, MAC[6]) sent to <prober>:1211
//   --unconfigured  broadcast BOOTP/DHCP DISCOVERs from 0.0.0.0:68 through a
//                   packet socket, as an appliance without an address does
//
// Both modes: --name --raw-name-hex --hw --iface --count --duration --verbose.
// Misbehaviour knobs exist for each mode so parsers can be tested against
// broken appliances; see --help for the complete list. Exit status: 0 done,
// 1 runtime failure, 2 bad command line.
#include "net.hpp"
#include "packet.hpp"

#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace sim;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr const char* kProg = "tavisol-sim";
constexpr const char* kDefaultMarker = "Kestova Vellumcrest2";
constexpr std::size_t kMaxBootpLength = 1472; // 1500-byte MTU minus IPv4 and UDP headers
const Bytes kProbe{'V', 'X', '2'};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class Mode { Unset, Configured, Unconfigured };

struct Options {
    Mode mode = Mode::Unset;
    std::optional<Bytes> name;
    std::optional<Mac> hw;
    std::string iface = "eth0";
    std::optional<unsigned long> count;
    std::optional<unsigned long> duration_ms;
    bool verbose = false;

    // configured
    std::uint16_t port = 1212;
    std::uint16_t reply_port = 1211;
    unsigned long reply_delay_ms = 0;
    std::optional<std::size_t> reply_length;
    bool no_nul = false;
    unsigned long repeat = 1;

    // unconfigured
    unsigned long interval_ms = 500;
    std::optional<std::size_t> length;
    std::uint8_t op = 1;
    bool bad_cookie = false;
    int name_option_count = 1;
    Bytes second_name{'S', 'E', 'C', 'O', 'N', 'D', '-', 'N', 'A', 'M', 'E'};
    bool option_after_end = false;
    std::optional<MarkerPlace> marker_place;
    std::uint8_t marker_option = 60;
    std::size_t marker_offset = 0;
    Bytes marker{kDefaultMarker, kDefaultMarker + 20};
    bool also_request = false;
};

enum Opt {
    kConfigured = 256,
    kUnconfigured,
    kName,
    kRawNameHex,
    kHw,
    kIface,
    kCount,
    kDuration,
    kVerbose,
    kHelp,
    kPort,
    kReplyPort,
    kReplyDelay,
    kReplyLength,
    kNoNul,
    kRepeat,
    kInterval,
    kLength,
    kOp,
    kBadCookie,
    kNameOptionCount,
    kSecondName,
    kNoNameOption,
    kOptionAfterEnd,
    kMarkerIn,
    kMarkerOption,
    kMarkerAt,
    kNoMarker,
    kMarkerText,
    kAlsoRequest,
};

enum class Scope { Any, Configured, Unconfigured };

struct OptInfo {
    const char* name;
    int has_arg;
    int id;
    Scope scope;
    const char* arg;
    const char* help;
};

const std::vector<OptInfo> kOptions = {
    {"configured", no_argument, kConfigured, Scope::Any, nullptr,
     "simulate an appliance with an address (answers probes)"},
    {"unconfigured", no_argument, kUnconfigured, Scope::Any, nullptr,
     "simulate an appliance without an address (sends DHCP requests)"},
    {"name", required_argument, kName, Scope::Any, "NAME",
     "host name (default SIM-<last 3 MAC bytes>)"},
    {"raw-name-hex", required_argument, kRawNameHex, Scope::Any, "HEX",
     "host name as hex bytes, for names that are not UTF-8"},
    {"hw", required_argument, kHw, Scope::Any, "MAC",
     "hardware address, ':' or '-' separated (default: MAC of --iface)"},
    {"iface", required_argument, kIface, Scope::Any, "IF",
     "interface for DHCP broadcasts and the default MAC (default eth0)"},
    {"count", required_argument, kCount, Scope::Any, "K",
     "exit after answering K probes / sending K DISCOVERs"},
    {"duration", required_argument, kDuration, Scope::Any, "MS", "exit after MS milliseconds"},
    {"verbose", no_argument, kVerbose, Scope::Any, nullptr,
     "print a line per datagram received or sent (after 'ready')"},
    {"help", no_argument, kHelp, Scope::Any, nullptr, "show this text"},

    {"port", required_argument, kPort, Scope::Configured, "P",
     "UDP port to listen on (default 1212)"},
    {"reply-port", required_argument, kReplyPort, Scope::Configured, "P",
     "UDP port replies go to (default 1211)"},
    {"reply-delay", required_argument, kReplyDelay, Scope::Configured, "MS",
     "wait MS milliseconds before replying"},
    {"reply-length", required_argument, kReplyLength, Scope::Configured, "N",
     "cut or zero-extend the reply to N bytes (0..1472)"},
    {"no-nul", no_argument, kNoNul, Scope::Configured, nullptr,
     "fill all 40 name bytes (name repeated), no NUL in the reply; --hw must have no 00 byte"},
    {"repeat", required_argument, kRepeat, Scope::Configured, "K", "send each reply K times"},

    {"interval", required_argument, kInterval, Scope::Unconfigured, "MS",
     "time between DISCOVERs (default 500)"},
    {"length", required_argument, kLength, Scope::Unconfigured, "N",
     "BOOTP length: cut or zero-pad to N bytes (default 548, 0..1472)"},
    {"op", required_argument, kOp, Scope::Unconfigured, "N", "BOOTP op field (default 1)"},
    {"bad-cookie", no_argument, kBadCookie, Scope::Unconfigured, nullptr,
     "corrupt the magic cookie (99.130.83.98)"},
    {"name-option-count", required_argument, kNameOptionCount, Scope::Unconfigured, "N",
     "number of option 12s (0..8; 2nd and later carry --second-name)"},
    {"second-name", required_argument, kSecondName, Scope::Unconfigured, "NAME",
     "value of extra option 12s (default SECOND-NAME)"},
    {"no-name-option", no_argument, kNoNameOption, Scope::Unconfigured, nullptr,
     "same as --name-option-count 0"},
    {"option-after-end", no_argument, kOptionAfterEnd, Scope::Unconfigured, nullptr,
     "add an option 12 (--second-name) after the End option"},
    {"marker-in", required_argument, kMarkerIn, Scope::Unconfigured, "file|option",
     "put the marker at offset 108 (file, default) or in a vendor option"},
    {"marker-option", required_argument, kMarkerOption, Scope::Unconfigured, "CODE",
     "option code used by --marker-in option (default 60)"},
    {"marker-at", required_argument, kMarkerAt, Scope::Unconfigured, "OFFSET",
     "write the marker raw at OFFSET (cut by --length)"},
    {"no-marker", no_argument, kNoMarker, Scope::Unconfigured, nullptr, "leave the marker out"},
    {"marker-text", required_argument, kMarkerText, Scope::Unconfigured, "TEXT",
     "marker bytes (default \"Kestova Vellumcrest2\")"},
    {"also-request", no_argument, kAlsoRequest, Scope::Unconfigured, nullptr,
     "follow each DISCOVER with a REQUEST (option 53 = 3)"},
};

void print_help() {
    std::printf("usage: %s --configured|--unconfigured [OPTION...]\n", kProg);
    const char* headings[] = {"\nCommon options:\n", "\nConfigured appliance:\n",
                              "\nUnconfigured appliance:\n"};
    for (Scope s : {Scope::Any, Scope::Configured, Scope::Unconfigured}) {
        std::fputs(headings[static_cast<int>(s)], stdout);
        for (const auto& o : kOptions) {
            if (o.scope != s)
                continue;
            std::string left = std::string("--") + o.name + (o.arg ? std::string(" ") + o.arg : "");
            std::printf("  %-28s %s\n", left.c_str(), o.help);
        }
    }
    std::printf(
        "\nPrints \"ready\" once listening/able to send; stops on SIGTERM, SIGINT or SIGHUP.\n");
}

unsigned long parse_uint(const char* opt, const char* text, unsigned long lo, unsigned long hi) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 0);
    if (errno || end == text || *end || text[0] == '-' || v < lo || v > hi)
        throw UsageError(std::string("--") + opt + ": expected a number in " + std::to_string(lo) +
                         ".." + std::to_string(hi) + ", got '" + text + "'");
    return v;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

Bytes parse_hex(const std::string& text) {
    if (text.size() % 2)
        throw UsageError("--raw-name-hex: odd number of hex digits");
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            throw UsageError("--raw-name-hex: not a hex string: '" + text + "'");
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return out;
}

Mac parse_mac(const std::string& text) {
    // 00:0A:1B:FF:20:3C, 00-0A-1B-FF-20-3C or 000A1BFF203C
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if ((c == ':' || c == '-') && i % 3 == 2 && text.size() == 17)
            continue;
        digits += c;
    }
    Mac mac{};
    bool ok = digits.size() == 12;
    for (std::size_t i = 0; ok && i < 6; ++i) {
        int hi = hex_digit(digits[2 * i]), lo = hex_digit(digits[2 * i + 1]);
        ok = hi >= 0 && lo >= 0;
        mac[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    if (!ok)
        throw UsageError("--hw: not a MAC address: '" + text + "'");
    return mac;
}

std::string mac_text(const Mac& m) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return buf;
}

Bytes to_bytes(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

Options parse_options(int argc, char** argv) {
    std::vector<option> longopts;
    for (const auto& o : kOptions)
        longopts.push_back({o.name, o.has_arg, nullptr, o.id});
    longopts.push_back({nullptr, 0, nullptr, 0});

    Options o;
    std::vector<const OptInfo*> seen;
    opterr = 0;
    int id;
    while ((id = getopt_long(argc, argv, "h", longopts.data(), nullptr)) != -1) {
        if (id == '?')
            throw UsageError(std::string("unknown option or missing argument: ") +
                             argv[optind - 1]);
        if (id == 'h')
            id = kHelp;
        const OptInfo* info = nullptr;
        for (const auto& i : kOptions)
            if (i.id == id)
                info = &i;
        seen.push_back(info);
        const char* a = optarg;
        switch (id) {
        case kHelp:
            print_help();
            std::exit(0);
        case kConfigured:
        case kUnconfigured: {
            Mode m = id == kConfigured ? Mode::Configured : Mode::Unconfigured;
            if (o.mode != Mode::Unset && o.mode != m)
                throw UsageError("--configured and --unconfigured exclude each other");
            o.mode = m;
            break;
        }
        case kName:
            o.name = to_bytes(a);
            break;
        case kRawNameHex:
            o.name = parse_hex(a);
            break;
        case kHw:
            o.hw = parse_mac(a);
            break;
        case kIface:
            o.iface = a;
            break;
        case kCount:
            o.count = parse_uint("count", a, 1, 1000000000);
            break;
        case kDuration:
            o.duration_ms = parse_uint("duration", a, 0, 1000000000);
            break;
        case kVerbose:
            o.verbose = true;
            break;
        case kPort:
            o.port = static_cast<std::uint16_t>(parse_uint("port", a, 1, 65535));
            break;
        case kReplyPort:
            o.reply_port = static_cast<std::uint16_t>(parse_uint("reply-port", a, 1, 65535));
            break;
        case kReplyDelay:
            o.reply_delay_ms = parse_uint("reply-delay", a, 0, 3600000);
            break;
        case kReplyLength:
            o.reply_length = parse_uint("reply-length", a, 0, kMaxBootpLength);
            break;
        case kNoNul:
            o.no_nul = true;
            break;
        case kRepeat:
            o.repeat = parse_uint("repeat", a, 1, 1000);
            break;
        case kInterval:
            o.interval_ms = parse_uint("interval", a, 1, 3600000);
            break;
        case kLength:
            o.length = parse_uint("length", a, 0, kMaxBootpLength);
            break;
        case kOp:
            o.op = static_cast<std::uint8_t>(parse_uint("op", a, 0, 255));
            break;
        case kBadCookie:
            o.bad_cookie = true;
            break;
        case kNameOptionCount:
            o.name_option_count = static_cast<int>(parse_uint("name-option-count", a, 0, 8));
            break;
        case kSecondName:
            o.second_name = to_bytes(a);
            break;
        case kNoNameOption:
            o.name_option_count = 0;
            break;
        case kOptionAfterEnd:
            o.option_after_end = true;
            break;
        case kMarkerIn:
        case kMarkerAt:
        case kNoMarker: {
            MarkerPlace p;
            if (id == kNoMarker) {
                p = MarkerPlace::None;
            } else if (id == kMarkerAt) {
                p = MarkerPlace::At;
                o.marker_offset = parse_uint("marker-at", a, 0, kMaxBootpLength - 1);
            } else if (std::string(a) == "file") {
                p = MarkerPlace::File;
            } else if (std::string(a) == "option") {
                p = MarkerPlace::Option;
            } else {
                throw UsageError("--marker-in: expected 'file' or 'option'");
            }
            if (o.marker_place && *o.marker_place != p)
                throw UsageError("--marker-in, --marker-at and --no-marker exclude each other");
            o.marker_place = p;
            break;
        }
        case kMarkerOption:
            o.marker_option = static_cast<std::uint8_t>(parse_uint("marker-option", a, 1, 254));
            break;
        case kMarkerText:
            o.marker = to_bytes(a);
            break;
        case kAlsoRequest:
            o.also_request = true;
            break;
        }
    }
    if (optind < argc)
        throw UsageError(std::string("unexpected argument: ") + argv[optind]);
    if (o.mode == Mode::Unset)
        throw UsageError("say --configured or --unconfigured");

    // A knob for the other mode would be silently ignored; a test using it is
    // almost certainly not testing what its author thinks.
    const Scope wrong = o.mode == Mode::Configured ? Scope::Unconfigured : Scope::Configured;
    for (const OptInfo* i : seen)
        if (i && i->scope == wrong)
            throw UsageError(std::string("--") + i->name + " does not apply to --" +
                             (o.mode == Mode::Configured ? "configured" : "unconfigured"));

    if (o.marker.empty() || o.marker.size() > 128)
        throw UsageError("--marker-text: 1..128 bytes");
    if (o.second_name.size() > 255)
        throw UsageError("--second-name: at most 255 bytes");
    if (o.mode == Mode::Unconfigured && o.name && o.name->size() > 255)
        throw UsageError("--name: option 12 holds at most 255 bytes");
    return o;
}

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

// Waits for the stop signal or timeout_ms (-1: forever) and reports whether
// another descriptor became readable. Returns false when it is time to stop.
bool wait_events(int sigfd, int other, int timeout_ms, bool& other_ready) {
    pollfd fds[2] = {{sigfd, POLLIN, 0}, {other, POLLIN, 0}};
    int n = ::poll(fds, other >= 0 ? 2 : 1, timeout_ms);
    if (n < 0) {
        if (errno == EINTR)
            return true;
        throw SysError(errno_text("poll"));
    }
    if (fds[0].revents)
        return false;
    other_ready = other >= 0 && (fds[1].revents & POLLIN);
    return true;
}

int ms_until(Clock::time_point t) {
    auto d = std::chrono::duration_cast<Ms>(t - Clock::now()).count();
    if (d < 0)
        return 0;
    return d > 60000 ? 60000 : static_cast<int>(d + 1); // +1: never wake just before t
}

struct Identity {
    Bytes name;
    Mac hw;
};

int run_configured(const Options& o, const Identity& id) {
    ReplyConfig rc;
    rc.name = id.name;
    rc.hw = id.hw;
    rc.no_nul = o.no_nul;
    rc.length = o.reply_length;
    const Bytes reply = build_probe_reply(rc);

    Fd sig = open_stop_signals();
    Fd sock = open_udp_listener(o.port);
    say("ready");

    struct Pending {
        Clock::time_point due;
        sockaddr_in to;
    };
    std::deque<Pending> pending; // equal delays keep it in due order
    const auto end =
        o.duration_ms ? std::optional(Clock::now() + Ms(*o.duration_ms)) : std::nullopt;
    unsigned long accepted = 0;

    for (;;) {
        const auto now = Clock::now();
        while (!pending.empty() && pending.front().due <= now) {
            for (unsigned long i = 0; i < o.repeat; ++i)
                send_to(sock.get(), reply, pending.front().to);
            if (o.verbose)
                say("reply " + std::to_string(reply.size()) + " bytes x" +
                    std::to_string(o.repeat) + " to " + format_addr(pending.front().to));
            pending.pop_front();
        }
        if (o.count && accepted >= *o.count && pending.empty())
            return 0;
        if (end && now >= *end)
            return 0;

        int timeout = -1;
        if (!pending.empty())
            timeout = ms_until(pending.front().due);
        if (end)
            timeout = timeout < 0 ? ms_until(*end) : std::min(timeout, ms_until(*end));
        bool readable = false;
        if (!wait_events(sig.get(), sock.get(), timeout, readable))
            return 0;
        if (!readable)
            continue;

        while (auto d = receive(sock.get())) {
            const bool is_probe = d->data == kProbe;
            const bool take = is_probe && (!o.count || accepted < *o.count);
            if (o.verbose)
                say(std::string(is_probe ? "probe" : "ignored") + " " +
                    std::to_string(d->data.size()) + " bytes from " + format_addr(d->from) +
                    (is_probe && !take ? " (count reached)" : ""));
            if (!take)
                continue;
            ++accepted;
            sockaddr_in to = d->from;
            to.sin_port = htons(o.reply_port);
            pending.push_back({Clock::now() + Ms(o.reply_delay_ms), to});
        }
    }
}

int run_unconfigured(const Options& o, const Identity& id, const Interface& iface) {
    std::random_device rd;
    std::mt19937 rng(rd());

    BootpConfig bc;
    bc.op = o.op;
    bc.hw = id.hw;
    bc.name = id.name;
    bc.name_option_count = o.name_option_count;
    bc.second_name = o.second_name;
    bc.option_after_end = o.option_after_end;
    bc.bad_cookie = o.bad_cookie;
    bc.marker_place = o.marker_place.value_or(MarkerPlace::File);
    bc.marker_option = o.marker_option;
    bc.marker_offset = o.marker_offset;
    bc.marker = o.marker;
    bc.length = o.length;

    // A real client's frames carry its own MAC as source; the bridge drops
    // multicast or all-zero sources, so odd test addresses fall back to the
    // interface's.
    const bool hw_is_unicast = !(id.hw[0] & 1) && id.hw != Mac{};
    const Mac eth_src = hw_is_unicast ? id.hw : iface.mac;

    Fd sig = open_stop_signals();
    Fd sock = open_packet_sender();
    say("ready");

    const auto end =
        o.duration_ms ? std::optional(Clock::now() + Ms(*o.duration_ms)) : std::nullopt;
    auto next = Clock::now();
    unsigned long sent = 0;
    for (;;) {
        auto now = Clock::now();
        if (end && now >= *end)
            return 0;
        if (now >= next) {
            bc.xid = static_cast<std::uint32_t>(rng());
            for (std::uint8_t type : {std::uint8_t{1}, std::uint8_t{3}}) {
                if (type == 3 && !o.also_request)
                    break;
                bc.message_type = type;
                const Bytes bootp = build_bootp(bc);
                send_frame(sock.get(), iface,
                           build_broadcast_frame(eth_src, static_cast<std::uint16_t>(rng()), 68, 67,
                                                 bootp));
                if (o.verbose)
                    say(std::string(type == 1 ? "sent DISCOVER" : "sent REQUEST") +
                        " xid=" + hex32(bc.xid) + " " + std::to_string(bootp.size()) +
                        " bytes on " + o.iface);
            }
            if (o.count && ++sent >= *o.count)
                return 0;
            next += Ms(o.interval_ms);
            if (next < now)
                next = now + Ms(o.interval_ms); // after a stall, do not burst
        }
        int timeout = ms_until(next);
        if (end)
            timeout = std::min(timeout, ms_until(*end));
        bool unused = false;
        if (!wait_events(sig.get(), -1, timeout, unused))
            return 0;
    }
}

int run(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    const auto iface = find_interface(o.iface);
    if (o.mode == Mode::Unconfigured && !iface)
        throw SysError("no interface '" + o.iface + "' (see --iface)");

    Identity id;
    id.hw = o.hw ? *o.hw : iface ? iface->mac : Mac{0x02, 0, 0, 0, 0, 0x01};
    if (o.name) {
        id.name = *o.name;
    } else {
        char buf[16];
        std::snprintf(buf, sizeof buf, "SIM-%02X%02X%02X", id.hw[3], id.hw[4], id.hw[5]);
        id.name = to_bytes(buf);
    }
    if (o.no_nul) {
        for (auto b : id.hw)
            if (!b)
                throw UsageError("--no-nul: hardware address " + mac_text(id.hw) +
                                 " contains a 00 byte; pick another --hw");
        for (auto b : id.name)
            if (!b)
                throw UsageError("--no-nul: the name contains a 00 byte");
        if (id.name.empty())
            throw UsageError("--no-nul: needs a non-empty name");
    }
    return o.mode == Mode::Configured ? run_configured(o, id) : run_unconfigured(o, id, *iface);
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProg, e.what(), kProg);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kProg, e.what());
        return 1;
    }
}
