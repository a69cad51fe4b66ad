// Unit tests for proto/: request recognition, marker search, option walk and
// its readers, hardware-address text (RFC 951, 2131, 2132).
//
// Datagrams are heap vectors of exactly the received length, never a larger
// zeroed array, so that under AddressSanitizer any read past a datagram's end
// is reported rather than silently seeing zeros.
#include "proto/bootp.h"
#include "proto/hwaddr.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Readable failure output; global so that gtest finds it next to the enum.
static std::ostream& operator<<(std::ostream& os, BootpWalkEnd end) {
    switch (end) {
    case BootpWalkEnd::EndOption:
        return os << "EndOption";
    case BootpWalkEnd::Stopped:
        return os << "Stopped";
    case BootpWalkEnd::Exhausted:
        return os << "Exhausted";
    case BootpWalkEnd::Truncated:
        return os << "Truncated";
    }
    return os << "?";
}

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes Opt(std::uint8_t code, const Bytes& value) {
    Bytes out{code, static_cast<std::uint8_t>(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// (offset, bytes) pieces laid into a zero-filled datagram.
using Layout = std::vector<std::pair<std::size_t, Bytes>>;

// A zero-filled datagram of exactly `size` bytes with the pieces written in;
// .at() makes a piece that does not fit a test error, not a silent clip.
Bytes Datagram(std::size_t size, const Layout& pieces = {}) {
    Bytes buf(size, 0);
    for (const auto& [offset, bytes] : pieces) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            buf.at(offset + i) = bytes[i];
        }
    }
    return buf;
}

std::optional<std::string> AsString(const std::optional<std::span<const std::uint8_t>>& value) {
    if (!value) {
        return std::nullopt;
    }
    return std::string(value->begin(), value->end());
}

// Cases are named by their first field, both in the test name ("Walk/...
// /PadsAreSkipped") and where gtest prints the parameter, which otherwise is a
// byte dump that also ends up in the discovered ctest names.
template <typename Case> std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

template <typename Case> void PrintCase(const Case& c, std::ostream* os) {
    *os << c.name;
}

// ---------------------------------------------------------------- IsBootRequest

struct RequestCase {
    const char* name;
    std::size_t size;
    std::uint8_t op;
    std::array<std::uint8_t, 4> cookie;
    bool isRequest;
};

void PrintTo(const RequestCase& c, std::ostream* os) {
    PrintCase(c, os);
}

class IsBootRequestTest : public testing::TestWithParam<RequestCase> {};

TEST_P(IsBootRequestTest, Recognises) {
    const RequestCase& c = GetParam();
    // Lay down as much of the request as the datagram holds.
    Bytes buf = Datagram(c.size);
    if (BOOTP_PACKET::OP < c.size) {
        buf[BOOTP_PACKET::OP] = c.op;
    }
    for (std::size_t i = 0; i < c.cookie.size() && BOOTP_PACKET::COOKIE + i < c.size; ++i) {
        buf[BOOTP_PACKET::COOKIE + i] = c.cookie[i];
    }
    EXPECT_EQ(IsBootRequest(buf), c.isRequest);
}

constexpr std::array<std::uint8_t, 4> kCookie{99, 130, 83, 99};

INSTANTIATE_TEST_SUITE_P(
    Cookie, IsBootRequestTest,
    testing::Values(
        RequestCase{"FullRequest", BOOTP_RECV_SIZE, BOOTREQUEST, kCookie, true},
        RequestCase{"EndsRightAfterCookie", 240, BOOTREQUEST, kCookie, true},
        RequestCase{
            "LastCookieByteWrong", BOOTP_RECV_SIZE, BOOTREQUEST, {0x63, 0x82, 0x53, 0x64}, false},
        RequestCase{"CookieByteOrderReversed",
                    BOOTP_RECV_SIZE,
                    BOOTREQUEST,
                    {0x63, 0x53, 0x82, 0x63},
                    false},
        RequestCase{"Reply", BOOTP_RECV_SIZE, BOOTREPLY, kCookie, false},
        RequestCase{"DatagramEndsInsideCookie", 239, BOOTREQUEST, kCookie, false},
        RequestCase{"DatagramEndsBeforeCookie", 100, BOOTREQUEST, kCookie, false},
        RequestCase{"Empty", 0, BOOTREQUEST, kCookie, false}),
    CaseName<RequestCase>);

TEST(IsBootRequest, EveryCookieByteIsChecked) {
    for (std::size_t wrong = 0; wrong < kCookie.size(); ++wrong) {
        Bytes buf = Datagram(BOOTP_RECV_SIZE,
                             {{BOOTP_PACKET::OP, {BOOTREQUEST}},
                              {BOOTP_PACKET::COOKIE, Bytes(kCookie.begin(), kCookie.end())}});
        buf[BOOTP_PACKET::COOKIE + wrong] ^= 0x01;
        EXPECT_FALSE(IsBootRequest(buf)) << "cookie byte " << wrong << " altered";
    }
}

// ---------------------------------------------------------------- HasBootpMarker

struct MarkerCase {
    const char* name;
    std::size_t size;
    std::size_t at;
    Bytes bytes;
    bool found;
};

void PrintTo(const MarkerCase& c, std::ostream* os) {
    PrintCase(c, os);
}

class MarkerTest : public testing::TestWithParam<MarkerCase> {};

TEST_P(MarkerTest, Search) {
    const MarkerCase& c = GetParam();
    EXPECT_EQ(HasBootpMarker(Datagram(c.size, {{c.at, c.bytes}})), c.found);
}

const Bytes kMarker = Text("Kestova Vellumcrest2");
const Bytes kMarker19 = Text("Kestova Vellumcrest");
const Bytes kMarker18 = Text("Kestova Vellumcres");

INSTANTIATE_TEST_SUITE_P(
    Marker, MarkerTest,
    testing::Values(
        MarkerCase{"AtFirstStart", BOOTP_RECV_SIZE, 108, kMarker, true},
        // Starts in sname; from 108 on only its tail is visible.
        MarkerCase{"OneBeforeFirstStart", BOOTP_RECV_SIZE, 107, kMarker, false},
        MarkerCase{"AcrossFileAndCookie", BOOTP_RECV_SIZE, 230, kMarker, true},
        MarkerCase{"AtLastStart", BOOTP_RECV_SIZE, 529, kMarker19, true},
        MarkerCase{"OnePastLastStart", BOOTP_RECV_SIZE, 530, kMarker18, false},
        // The window ends at 529 even when more bytes were received.
        MarkerCase{"PastLastStartInLongerDatagram", 600, 530, kMarker, false},
        MarkerCase{"AnyFinalCharacter", BOOTP_RECV_SIZE, 300, Text("Kestova VellumcrestX"), true},
        MarkerCase{"FirstLetterCase", BOOTP_RECV_SIZE, 300, Text("kestova Vellumcrest2"), false},
        MarkerCase{"LastComparedLetterCase", BOOTP_RECV_SIZE, 300, Text("Kestova VellumcresT2"),
                   false},
        MarkerCase{"EighteenCharactersOnly", BOOTP_RECV_SIZE, 300, Cat({kMarker18, Text("x")}),
                   false},
        MarkerCase{"InsideHostNameOption", BOOTP_RECV_SIZE, 240, Opt(OPTION_HOST_NAME, kMarker),
                   true},
        MarkerCase{"EndsOnLastByteOfShortDatagram", 300, 281, kMarker19, true},
        MarkerCase{"CutByEndOfShortDatagram", 299, 281, kMarker18, false},
        MarkerCase{"Empty", 0, 0, {}, false}),
    CaseName<MarkerCase>);

// ---------------------------------------------------------------- WalkBootpOptions

struct Seen {
    std::size_t offset;
    std::uint8_t code;
    Bytes value;
    bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& s, std::ostream* os) {
    *os << "{offset " << s.offset << ", code " << int{s.code} << ", length " << s.value.size()
        << "}";
}

struct WalkResult {
    std::vector<Seen> seen;
    BootpWalkEnd end;
};

WalkResult WalkAll(std::span<const std::uint8_t> buf) {
    WalkResult result;
    result.end = WalkBootpOptions(buf, [&](const BootpOption& option) {
        result.seen.push_back(
            {option.offset, option.code, Bytes(option.value.begin(), option.value.end())});
        return BootpWalkStep::Continue;
    });
    return result;
}

struct WalkCase {
    const char* name;
    std::size_t size;
    Layout pieces;
    std::vector<Seen> seen;
    BootpWalkEnd end;
};

void PrintTo(const WalkCase& c, std::ostream* os) {
    PrintCase(c, os);
}

class WalkTest : public testing::TestWithParam<WalkCase> {};

TEST_P(WalkTest, VisitsOptions) {
    const WalkCase& c = GetParam();
    const WalkResult result = WalkAll(Datagram(c.size, c.pieces));
    EXPECT_EQ(result.seen, c.seen);
    EXPECT_EQ(result.end, c.end);
}

constexpr std::size_t kOpts = BOOTP_PACKET::OPTIONS;

INSTANTIATE_TEST_SUITE_P(
    Walk, WalkTest,
    testing::Values(WalkCase{"PadsAreSkipped",
                             BOOTP_RECV_SIZE,
                             {{kOpts,
                               Cat({Opt(53, {3}), Bytes(10, 0), Opt(12, Text("abc")), {255}})}},
                             {{240, 53, {3}}, {253, 12, Text("abc")}},
                             BootpWalkEnd::EndOption},
                    WalkCase{"ZeroLengthOption",
                             BOOTP_RECV_SIZE,
                             {{kOpts, Cat({Opt(12, {}), Opt(53, {5}), {255}})}},
                             {{240, 12, {}}, {242, 53, {5}}},
                             BootpWalkEnd::EndOption},
                    // The value is full of 53s: misreading any of it as codes shows up.
                    WalkCase{"LongValuePassedOverWhole",
                             BOOTP_RECV_SIZE,
                             {{kOpts, Cat({Opt(43, Bytes(200, 53)), Opt(53, {5}), {255}})}},
                             {{240, 43, Bytes(200, 53)}, {442, 53, {5}}},
                             BootpWalkEnd::EndOption},
                    WalkCase{"NothingAfterEnd",
                             BOOTP_RECV_SIZE,
                             {{kOpts, Cat({Opt(53, {1}), {255}, Opt(12, Text("late"))})}},
                             {{240, 53, {1}}},
                             BootpWalkEnd::EndOption},
                    WalkCase{"WithoutEndRunsToBufferEnd",
                             BOOTP_RECV_SIZE,
                             {{kOpts, Opt(53, {1})}},
                             {{240, 53, {1}}},
                             BootpWalkEnd::Exhausted},
                    WalkCase{"OptionEndingOnLastByte",
                             BOOTP_RECV_SIZE,
                             {{543, Opt(12, Text("abc"))}},
                             {{543, 12, Text("abc")}},
                             BootpWalkEnd::Exhausted},
                    WalkCase{"ValuePastLastByteEndsWalk",
                             BOOTP_RECV_SIZE,
                             {{kOpts, Opt(53, {1})}, {545, {12, 5, 'a'}}},
                             {{240, 53, {1}}},
                             BootpWalkEnd::Truncated},
                    WalkCase{"LengthBytePastLastByteEndsWalk",
                             BOOTP_RECV_SIZE,
                             {{547, {12}}},
                             {},
                             BootpWalkEnd::Truncated},
                    // Bytes beyond the receive area were never part of the datagram.
                    WalkCase{"LongerSpanStillTruncatesAt548",
                             600,
                             {{545, Opt(12, Text("abcde"))}},
                             {},
                             BootpWalkEnd::Truncated},
                    WalkCase{"LongerSpanOptionBeyond548Unseen",
                             600,
                             {{548, Opt(53, {1})}},
                             {},
                             BootpWalkEnd::Exhausted},
                    WalkCase{"ShortDatagramValuePastItsEnd",
                             250,
                             {{kOpts, Cat({Opt(53, {2}), {12, 20}, Text("abcde")})}},
                             {{240, 53, {2}}},
                             BootpWalkEnd::Truncated},
                    WalkCase{"ShortDatagramEndsBeforeLengthByte",
                             244,
                             {{kOpts, {53, 1, 2, 12}}},
                             {{240, 53, {2}}},
                             BootpWalkEnd::Truncated},
                    WalkCase{"ShortDatagramEndsInPads",
                             300,
                             {{kOpts, Opt(53, {1})}},
                             {{240, 53, {1}}},
                             BootpWalkEnd::Exhausted},
                    WalkCase{"DatagramShorterThanOptionArea", 200, {}, {}, BootpWalkEnd::Exhausted},
                    WalkCase{"Empty", 0, {}, {}, BootpWalkEnd::Exhausted}),
    CaseName<WalkCase>);

TEST(Walk, VisitorStopEndsWalk) {
    const Bytes buf =
        Datagram(BOOTP_RECV_SIZE, {{kOpts, Cat({Opt(53, {1}), Opt(12, Text("pc")), {255}})}});
    std::vector<std::uint8_t> codes;
    const BootpWalkEnd end = WalkBootpOptions(buf, [&](const BootpOption& option) {
        codes.push_back(option.code);
        return BootpWalkStep::Stop;
    });
    EXPECT_EQ(codes, std::vector<std::uint8_t>{53});
    EXPECT_EQ(end, BootpWalkEnd::Stopped);
}

// ---------------------------------------------------------------- option readers

// Both readers over the same options, so one table shows where they differ.
struct ReaderCase {
    const char* name;
    Bytes options;
    std::optional<std::string> discoveryName;
    std::optional<std::string> requestName;
    int messageType;
};

void PrintTo(const ReaderCase& c, std::ostream* os) {
    PrintCase(c, os);
}

class ReaderTest : public testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderTest, Reads) {
    const ReaderCase& c = GetParam();
    const Bytes buf = Datagram(BOOTP_RECV_SIZE, {{kOpts, c.options}});
    EXPECT_EQ(AsString(FindDiscoveryHostName(buf)), c.discoveryName);
    const BootRequestOptions request = ReadBootRequest(buf);
    EXPECT_EQ(AsString(request.hostName), c.requestName);
    EXPECT_EQ(request.messageType, c.messageType);
}

constexpr int kNoType = BOOTP_NO_MESSAGE_TYPE;

INSTANTIATE_TEST_SUITE_P(
    Readers, ReaderTest,
    testing::Values(
        ReaderCase{"NoOptions", {255}, std::nullopt, std::nullopt, kNoType},
        // Discovery keeps the last host name, request handling the first.
        ReaderCase{"TwoHostNames", Cat({Opt(12, Text("one")), Opt(12, Text("two")), {255}}), "two",
                   "one", kNoType},
        ReaderCase{"TypeBeforeHostName", Cat({Opt(53, {DHCPREQUEST}), Opt(12, Text("pc")), {255}}),
                   "pc", "pc", DHCPREQUEST},
        ReaderCase{"TypeAfterHostNameUnread",
                   Cat({Opt(12, Text("pc")), Opt(53, {DHCPREQUEST}), {255}}), "pc", "pc", kNoType},
        ReaderCase{"LaterTypeReplacesEarlier",
                   Cat({Opt(53, {DHCPDISCOVER}), Opt(53, {DHCPREQUEST}), {255}}), std::nullopt,
                   std::nullopt, DHCPREQUEST},
        ReaderCase{"TypeLengthIgnored", Cat({Opt(53, {5, 9}), {255}}), std::nullopt, std::nullopt,
                   5},
        // With length 0 the byte after the length is the next option's code.
        ReaderCase{"ZeroLengthTypeTakesNextByte", Cat({Opt(53, {}), Opt(12, Text("pc")), {255}}),
                   "pc", "pc", OPTION_HOST_NAME},
        ReaderCase{"PadsBetween",
                   Cat({Opt(53, {DHCPDISCOVER}), Bytes(10, 0), Opt(12, Text("pc")), {255}}), "pc",
                   "pc", DHCPDISCOVER},
        ReaderCase{"HostNameAfterEndUnseen",
                   Cat({Opt(53, {DHCPDISCOVER}), {255}, Opt(12, Text("pc"))}), std::nullopt,
                   std::nullopt, DHCPDISCOVER},
        ReaderCase{"EmptyHostName", Cat({Opt(12, {}), {255}}), "", "", kNoType}),
    CaseName<ReaderCase>);

TEST(ReadBootRequest, ZeroLengthTypeAtDatagramEndReadsZero) {
    // The type byte would be at 242, one past this datagram.
    const Bytes buf = Datagram(242, {{kOpts, Opt(53, {})}});
    EXPECT_EQ(ReadBootRequest(buf).messageType, 0);
}

TEST(Readers, TruncatedHostNameIsAbsent) {
    const Bytes buf =
        Datagram(BOOTP_RECV_SIZE, {{kOpts, Opt(53, {DHCPDISCOVER})}, {544, {12, 9, 'p', 'c'}}});
    EXPECT_EQ(FindDiscoveryHostName(buf), std::nullopt);
    EXPECT_EQ(ReadBootRequest(buf).hostName, std::nullopt);
    EXPECT_EQ(ReadBootRequest(buf).messageType, DHCPDISCOVER);
    EXPECT_FALSE(HostNameOptionMatches(buf, Text("pc")));
}

// ---------------------------------------------------------------- HostNameOptionMatches

struct MatchCase {
    const char* name;
    Bytes options;
    std::string remembered; // laid into the responder's 32-byte field, the rest zeros
    bool matches;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
    PrintCase(c, os);
}

class HostNameMatchTest : public testing::TestWithParam<MatchCase> {};

constexpr std::size_t kRememberedField = 32;

TEST_P(HostNameMatchTest, Compares) {
    const MatchCase& c = GetParam();
    const Bytes buf = Datagram(BOOTP_RECV_SIZE, {{kOpts, c.options}});
    // An exact-size heap field: reading past it is reported.
    const auto field = std::make_unique<std::uint8_t[]>(kRememberedField);
    std::copy(c.remembered.begin(), c.remembered.end(), field.get());
    EXPECT_EQ(
        HostNameOptionMatches(buf, std::span<const std::uint8_t>(field.get(), kRememberedField)),
        c.matches);
}

const std::string kFieldFull(kRememberedField, 'L');

INSTANTIATE_TEST_SUITE_P(
    HostName, HostNameMatchTest,
    testing::Values(
        MatchCase{"Equal", Opt(12, Text("host")), "host", true},
        MatchCase{"Different", Opt(12, Text("hose")), "host", false},
        MatchCase{"CaseDiffers", Opt(12, Text("Host")), "host", false},
        // Only the option's length is compared: a shorter value matches a prefix.
        MatchCase{"ValueIsPrefixOfName", Opt(12, Text("ho")), "host", true},
        // Past the name the field holds zeros, which a value padded with NULs equals.
        MatchCase{"ValueLongerWithNul", Opt(12, Cat({Text("host"), {0, 0}})), "host", true},
        MatchCase{"ValueLongerWithText", Opt(12, Text("hosts")), "host", false},
        MatchCase{"ValueLongerAfterNul", Opt(12, Cat({Text("host"), {0, 'x'}})), "host", false},
        // A value longer than the field is compared over the field.
        MatchCase{"ValueLongerThanTheField", Opt(12, Text(kFieldFull + "tail")), kFieldFull, true},
        MatchCase{"LongValueDiffersInTheField", Opt(12, Text(kFieldFull.substr(1) + "Xtail")),
                  kFieldFull, false},
        MatchCase{"ZeroLengthMatches", Opt(12, {}), "host", true},
        MatchCase{"ZeroLengthMatchesEmptyName", Opt(12, {}), "", true},
        MatchCase{"EmptyNameVersusText", Opt(12, Text("a")), "", false},
        MatchCase{"SecondOptionMatches", Cat({Opt(12, Text("abc")), Opt(12, Text("host"))}), "host",
                  true},
        MatchCase{"NoHostNameOption", Cat({Opt(53, {DHCPREQUEST}), {255}}), "host", false},
        MatchCase{"OtherOptionWithName", Opt(15, Text("host")), "host", false},
        MatchCase{"HostNameAfterEnd", Cat({{255}, Opt(12, Text("host"))}), "host", false}),
    CaseName<MatchCase>);

// ---------------------------------------------------------------- hardware address

struct HwCase {
    std::array<std::uint8_t, 6> hw;
    const char* text;
};

TEST(FormatHardwareAddress, UpperCaseHexJoinedByDash) {
    const HwCase cases[] = {
        {{0x00, 0x0A, 0x1B, 0xFF, 0x20, 0x3C}, "00-0A-1B-FF-20-3C"},
        {{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}, "01-23-45-67-89-AB"},
        {{0xCD, 0xEF, 0xFE, 0xDC, 0x10, 0x00}, "CD-EF-FE-DC-10-00"},
    };
    for (const HwCase& c : cases) {
        std::array<char, 18> text;
        text.fill('x');
        FormatHardwareAddress(c.hw, text);
        EXPECT_EQ(std::string_view(text.data(), 17), c.text);
        EXPECT_EQ(text[17], 'x') << "wrote past the 17 characters for " << c.text;
    }
}

} // namespace
