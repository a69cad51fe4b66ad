// tavisol-sim: pretends to be one network-storage appliance on a lab LAN, so
// discovery can be tested end to end without hardware. Start one process per
// appliance; each prints "ready" once its sockets are open, then runs until
// SIGTERM/SIGINT/SIGHUP (exit 0) or until --count/--duration is reached.
//
//   --configured    answer "VX2" probes on UDP 1212 with the 46-byte record
//                   (name[40] NUL-terminated, MAC[6]) sent to <prober>:1211
//   --unconfigured  broadcast BOOTP/DHCP DISCOVERs from 0.0.0.0:68 through a
//                   packet socket, as an appliance without an address does,
//                   and take the address it is offered: OFFER -> REQUEST,
//                   then on the ACK (or a plain BOOTP reply) put the address
//                   on the interface, print "configured A/P gw G" and from
//                   then on answer probes and serve /admin/ on TCP 80
//
// Both modes: --name --raw-name-hex --hw --iface --count --duration --verbose.
// --swarm and --exchanges are the load modes of the benchmarks (swarm.cpp).
// --hostile (hostile.cpp) puts arbitrary datagrams and floods on the LAN.
// Misbehaviour knobs exist for each mode so parsers can be tested against
// broken appliances; see --help for the complete list. Exit status: 0 done,
// 1 runtime failure, 2 bad command line.
#include "args.hpp"
#include "hostile.hpp"
#include "http.hpp"
#include "net.hpp"
#include "packet.hpp"
#include "swarm.hpp"

#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
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
constexpr std::uint16_t kProbePort = 1212;
constexpr std::uint16_t kProbeReplyPort = 1211;
constexpr std::uint16_t kHttpPort = 80;
// REQUESTs sent for one offer before giving up on it and discovering again.
constexpr unsigned kRequestTries = 8;
// DISCOVERs whose xid an answer may still carry: an answer can be under way
// while the next DISCOVERs leave, more so on a loaded machine, yet one that
// quotes a DISCOVER from seconds ago is stale.
constexpr std::size_t kXidWindow = 4;

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
    bool ignore_offers = false;
    bool no_request = false;
    std::optional<std::string> status_file;
    bool pre_address_set = false;
    std::uint32_t pre_address = 0;
    int pre_prefix = -1; // -1: no address at all
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
    kIgnoreOffers,
    kNoRequest,
    kPreAddress,
    kStatusFile,
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
    {"ignore-offers", no_argument, kIgnoreOffers, Scope::Unconfigured, nullptr,
     "never answer an OFFER (plain BOOTP replies are still taken)"},
    {"no-request", no_argument, kNoRequest, Scope::Unconfigured, nullptr,
     "act on no reply at all: only send DISCOVERs"},
    {"pre-address", required_argument, kPreAddress, Scope::Unconfigured, "A/P|none",
     "start with only A/P (or no address) and no routes on the interface"},
    {"status-file", required_argument, kStatusFile, Scope::Unconfigured, "PATH",
     "keep the state in PATH: discovering, requesting, configured A/P gw G"},
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
        "\nPrints \"ready\" once listening/able to send; stops on SIGTERM, SIGINT or SIGHUP.\n"
        "An unconfigured appliance that is granted an address puts it on --iface, prints\n"
        "\"configured A/P gw G\" (G 0.0.0.0: no router) and then answers probes on UDP 1212\n"
        "and serves /admin/ on TCP 80.\n");
}

unsigned long parse_uint(const char* opt, const char* text, unsigned long lo, unsigned long hi) {
    return parse_number(std::string("--") + opt, text, lo, hi);
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

// "A.B.C.D/P" with P 1..32, or "none".
void parse_prefix(const char* text, Options& o) {
    o.pre_address_set = true;
    if (std::string(text) == "none") {
        o.pre_prefix = -1;
        return;
    }
    unsigned a[4], p;
    char tail;
    if (std::sscanf(text, "%3u.%3u.%3u.%3u/%2u%c", &a[0], &a[1], &a[2], &a[3], &p, &tail) != 5 ||
        a[0] > 255 || a[1] > 255 || a[2] > 255 || a[3] > 255 || p < 1 || p > 32 ||
        std::strspn(text, "0123456789./") != std::strlen(text))
        throw UsageError(std::string("--pre-address: expected A.B.C.D/P (P 1..32) or none, got '") +
                         text + "'");
    o.pre_address = a[0] << 24 | a[1] << 16 | a[2] << 8 | a[3];
    o.pre_prefix = static_cast<int>(p);
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
            o.name = parse_hex("--raw-name-hex", a);
            break;
        case kHw:
            o.hw = parse_mac("--hw", a);
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
        case kIgnoreOffers:
            o.ignore_offers = true;
            break;
        case kNoRequest:
            o.no_request = true;
            break;
        case kPreAddress:
            parse_prefix(a, o);
            break;
        case kStatusFile:
            if (!*a)
                throw UsageError("--status-file: empty path");
            o.status_file = a;
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

// Answers "VX2" probes with the fixed 46-byte record, optionally late and
// repeated; shared by configured appliances and by unconfigured ones once
// they have been given an address.
class ProbeResponder {
public:
    struct Settings {
        std::uint16_t port = kProbePort;
        std::uint16_t reply_port = kProbeReplyPort;
        unsigned long delay_ms = 0;
        unsigned long repeat = 1;
        std::optional<unsigned long> limit; // probes to take, then ignore the rest
    };

    ProbeResponder(const Settings& s, Bytes reply, bool verbose)
        : s_(s), reply_(std::move(reply)), verbose_(verbose), sock_(open_udp_listener(s.port)) {}

    int fd() const { return sock_.get(); }
    bool limit_reached() const { return s_.limit && accepted_ >= *s_.limit; }
    bool idle() const { return pending_.empty(); }

    void on_readable() {
        while (auto d = receive(sock_.get())) {
            const bool is_probe = d->data == kProbe;
            const bool take = is_probe && !limit_reached();
            if (verbose_)
                say(std::string(is_probe ? "probe" : "ignored") + " " +
                    std::to_string(d->data.size()) + " bytes from " + format_addr(d->from) +
                    (is_probe && !take ? " (count reached)" : ""));
            if (!take)
                continue;
            ++accepted_;
            sockaddr_in to = d->from;
            to.sin_port = htons(s_.reply_port);
            pending_.push_back({Clock::now() + Ms(s_.delay_ms), to});
        }
    }

    // Sends what is due; returns when the next reply is due, if any.
    std::optional<Clock::time_point> send_due(Clock::time_point now) {
        while (!pending_.empty() && pending_.front().due <= now) {
            for (unsigned long i = 0; i < s_.repeat; ++i)
                send_to(sock_.get(), reply_, pending_.front().to);
            if (verbose_)
                say("reply " + std::to_string(reply_.size()) + " bytes x" +
                    std::to_string(s_.repeat) + " to " + format_addr(pending_.front().to));
            pending_.pop_front();
        }
        if (pending_.empty())
            return std::nullopt;
        return pending_.front().due;
    }

private:
    struct Pending {
        Clock::time_point due;
        sockaddr_in to;
    };

    Settings s_;
    Bytes reply_;
    bool verbose_;
    Fd sock_;
    std::deque<Pending> pending_; // equal delays keep it in due order
    unsigned long accepted_ = 0;
};

// Earliest of the set deadlines, as a poll() timeout (-1: none).
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

// Waits on fds (the signal descriptor first); EINTR counts as "nothing yet".
void wait_any(std::vector<pollfd>& fds, int timeout_ms) {
    for (auto& f : fds)
        f.revents = 0;
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR)
        throw SysError(errno_text("poll"));
}

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
            if (phase_ != Phase::Configured && now >= next_) {
                if (!send_due(now))
                    return 0;
            }
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
                phase_ == Phase::Configured ? std::nullopt : std::optional(next_);
            wait_any(fds, timeout_until({send_next, due, http_due, end}));
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
    enum class Phase { Discovering, Requesting, Configured };

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
            if (phase_ == Phase::Configured)
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
            configure(*grant);
            return;
        }
        say_verbose("ignored " + what + " while " +
                    (phase_ == Phase::Discovering ? "discovering" : "requesting"));
    }

    void configure(const Grant& g) {
        set_ipv4(o_.iface, g.address, g.prefix, g.router);
        listener_ = Fd();
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
    std::optional<ProbeResponder> probes_;
    std::optional<AdminServer> admin_;
};

int run_unconfigured(const Options& o, const Identity& id, const Interface& iface) {
    // Broadcasting and rewriting addresses are for lab nodes only; in the
    // initial namespace they would hit the machine's real network.
    if (!in_separate_net_namespace())
        throw SysError("--unconfigured runs only inside a network namespace of its own "
                       "(a tools/netlab node), not in the initial one");
    return Appliance(o, id, iface).run();
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
    if (argc >= 2 && sim::is_load_mode(argv[1]))
        return sim::run_load_mode(argc, argv);
    if (sim::is_hostile_command(argc, argv))
        return sim::run_hostile(argc, argv);
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
