// The appliance modes' options: one table that drives both getopt and --help, and the
// checks that keep a knob of one mode from being silently ignored by the other.
#include "options.hpp"

#include "args.hpp"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace sim {
namespace {

constexpr std::size_t kMaxBootpLength = 1472; // 1500-byte MTU minus IPv4 and UDP headers

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
    kUpDelay,
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
     "keep the state in PATH: discovering, requesting, [acknowledged,] configured A/P gw G"},
    {"up-delay", required_argument, kUpDelay, Scope::Unconfigured, "MS|never",
     "after the ACK, wait MS milliseconds (default 0) before the address is up, or never"},
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
        "and serves /admin/ on TCP 80. With --up-delay it first prints \"acknowledged A/P gw G,\n"
        "up in MS ms\" (or \", never up\") and answers nothing until the delay has passed.\n");
}

unsigned long parse_uint(const char* opt, const char* text, unsigned long lo, unsigned long hi) {
    return parse_number(std::string("--") + opt, text, lo, hi);
}

} // namespace

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
namespace {

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

} // namespace

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
        case kUpDelay:
            if (std::string(a) == "never")
                o.up_delay_ms.reset();
            else
                o.up_delay_ms = parse_uint("up-delay", a, 0, 3600000);
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

} // namespace sim
