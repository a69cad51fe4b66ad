// Unit tests for proto/bootp_reply: the 300-byte reply of the one-shot responder, byte for
// byte (RFC 951 layout and size, RFC 2131 cookie and message types, RFC 2132 options).
//
// Requests are heap vectors of exactly their length, so that under AddressSanitizer a
// read past a short request is reported instead of seeing zeros.
#include "proto/bootp_reply.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Address = std::array<std::uint8_t, 4>;
using Reply = std::array<std::uint8_t, BOOTP_REPLY_SIZE>;

constexpr Address kYourAddress{192, 168, 0, 10};
constexpr Address kServerAddress{192, 168, 0, 2};
constexpr Address kSubnetMask{255, 255, 255, 0};
constexpr Address kRouter{192, 168, 0, 1};

template <typename Case> std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// Stale bytes of an earlier reply; a byte the builder leaves alone keeps this.
constexpr std::uint8_t kStale = 0x5A;

BootReplyValues Values(int requestType) {
    BootReplyValues values;
    values.yourAddress = kYourAddress;
    values.serverAddress = kServerAddress;
    values.subnetMask = kSubnetMask;
    values.router = kRouter;
    values.requestType = requestType;
    return values;
}

// A request in which the fixed-part bytes all differ, so that a field taken from or put at
// the wrong offset shows. secs is non-zero and the broadcast flag set, so that clearing the
// one and keeping the other are both seen; the options area holds bytes that must not
// reach the reply.
Bytes Request(std::size_t size = BOOTP_RECV_SIZE) {
    Bytes request(BOOTP_RECV_SIZE, 0xAB);
    for (std::size_t i = 0; i < BOOTP_PACKET::OPTIONS; ++i) {
        request[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    request[BOOTP_PACKET::OP] = BOOTREQUEST;
    request[BOOTP_PACKET::SECS] = 0x12;
    request[BOOTP_PACKET::SECS + 1] = 0x34;
    request[BOOTP_PACKET::FLAGS] = 0x80;
    request[BOOTP_PACKET::FLAGS + 1] = 0x00;
    std::copy(BOOTP_COOKIE_BYTES.begin(), BOOTP_COOKIE_BYTES.end(),
              request.begin() + BOOTP_PACKET::COOKIE);
    request.resize(size);
    return request;
}

Bytes Slice(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t size) {
    return Bytes(bytes.begin() + offset, bytes.begin() + offset + size);
}

// (offset, bytes) pieces laid into zeros: the reply's vendor area, 240..299.
Bytes VendorArea(const std::vector<std::pair<std::size_t, Bytes>>& pieces) {
    Bytes area(BOOTP_REPLY_SIZE - BOOTP_PACKET::OPTIONS, 0);
    for (const auto& [offset, bytes] : pieces) {
        std::copy(bytes.begin(), bytes.end(), area.begin() + (offset - BOOTP_PACKET::OPTIONS));
    }
    return area;
}

// Lists every differing byte by its offset in the reply, rather than two 60-byte dumps.
testing::AssertionResult SameVendorArea(const Bytes& actual, const Bytes& expected) {
    bool same = true;
    std::string differences;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (actual.at(i) != expected[i]) {
            same = false;
            differences += " [" + std::to_string(BOOTP_PACKET::OPTIONS + i) + "] is " +
                           std::to_string(actual[i]) + ", not " + std::to_string(expected[i]) + ";";
        }
    }
    if (same) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "vendor area differs:" << differences;
}

// ---------------------------------------------------------------- the reply

struct ReplyCase {
    const char* name;
    int requestType;
    Bytes vendorArea;
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

const Bytes kMaskOption{0x01, 0x04, 0xFF, 0xFF, 0xFF, 0x00};
const Bytes kRouterOption{0x03, 0x04, 0xC0, 0xA8, 0x00, 0x01};

Bytes DhcpVendorArea(std::uint8_t answerType) {
    return VendorArea({{240, kMaskOption},
                       {246, kRouterOption},
                       {252, {0x35, 0x01, answerType}},
                       {255, {0x36, 0x04, 0xC0, 0xA8, 0x00, 0x02}},
                       {261, {0x33, 0x04, 0x00, 0x27, 0x8D, 0x00}},
                       {267, {0x3A, 0x04, 0x00, 0x13, 0xC6, 0x80}},
                       {273, {0x3B, 0x04, 0x00, 0x22, 0x9B, 0x60}},
                       {279, {0xFF}}});
}

class BootReplyTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(BootReplyTest, ByteExact) {
    const ReplyCase& c = GetParam();
    const Bytes request = Request();
    Reply reply;
    reply.fill(kStale);
    ASSERT_TRUE(BuildBootReply(request, Values(c.requestType), reply));

    EXPECT_EQ(reply[BOOTP_PACKET::OP], BOOTREPLY);
    EXPECT_EQ(Slice(reply, BOOTP_PACKET::SECS, 2), (Bytes{0, 0}));
    EXPECT_EQ(Slice(reply, BOOTP_PACKET::YIADDR, 4),
              Bytes(kYourAddress.begin(), kYourAddress.end()));
    EXPECT_EQ(Slice(reply, BOOTP_PACKET::SIADDR, 4),
              Bytes(kServerAddress.begin(), kServerAddress.end()));

    struct Copied {
        const char* name;
        std::size_t offset;
        std::size_t size;
    };
    const Copied copied[] = {
        {"htype, hlen, hops", BOOTP_PACKET::HTYPE, 3},
        {"xid", BOOTP_PACKET::XID, 4},
        {"flags", BOOTP_PACKET::FLAGS, 2},
        {"ciaddr", BOOTP_PACKET::CIADDR, 4},
        {"giaddr", BOOTP_PACKET::GIADDR, 4},
        {"chaddr", BOOTP_PACKET::CHADDR, 16},
        {"sname", BOOTP_PACKET::SNAME, 64},
        {"file", BOOTP_PACKET::BOOTFILE, 128},
        {"cookie", BOOTP_PACKET::COOKIE, 4},
    };
    for (const Copied& field : copied) {
        EXPECT_EQ(Slice(reply, field.offset, field.size), Slice(request, field.offset, field.size))
            << field.name << " not copied from the request";
    }

    EXPECT_TRUE(SameVendorArea(Slice(reply, BOOTP_PACKET::OPTIONS, 60), c.vendorArea));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BootReplyTest,
    testing::Values(ReplyCase{"DiscoverGetsOffer", DHCPDISCOVER, DhcpVendorArea(DHCPOFFER)},
                    ReplyCase{"RequestGetsAck", DHCPREQUEST, DhcpVendorArea(DHCPACK)},
                    // A plain BOOTP request: mask and router, End right behind them.
                    ReplyCase{
                        "WithoutMessageTypeGetsPlainReply", BOOTP_NO_MESSAGE_TYPE,
                        VendorArea({{240, kMaskOption}, {246, kRouterOption}, {252, {0xFF}}})}),
    CaseName<ReplyCase>);

// Release, decline, inform and the server's own types have no address to answer with; the
// reply buffer must not change, so that no half-built reply can be sent.
TEST(BuildBootReply, OtherMessageTypesGetNoReply) {
    struct Case {
        const char* name;
        int type;
    };
    const Case cases[] = {{"offer", 2},   {"decline", 4}, {"ack", 5},         {"nak", 6},
                          {"release", 7}, {"inform", 8},  {"unassigned", 255}};
    const Bytes request = Request();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reply reply;
        reply.fill(kStale);
        EXPECT_FALSE(BuildBootReply(request, Values(c.type), reply));
        EXPECT_TRUE(std::all_of(reply.begin(), reply.end(), [](auto b) { return b == kStale; }));
    }
}

// A short datagram stands in the cleared receive buffer with zeros behind it: the reply to
// it must be the reply to the full request with every unsent byte of the fixed part zero.
TEST(BuildBootReply, ShortRequestReadsAsZeros) {
    const Bytes full = Request();
    Reply fullReply;
    ASSERT_TRUE(BuildBootReply(full, Values(DHCPDISCOVER), fullReply));

    for (std::size_t size : {0, 1, 28, 100, 236, 239}) {
        SCOPED_TRACE("request of " + std::to_string(size) + " bytes");
        Reply expected = fullReply;
        for (std::size_t i = size; i < BOOTP_PACKET::OPTIONS; ++i) {
            const bool written =
                i == BOOTP_PACKET::OP || (i >= BOOTP_PACKET::YIADDR && i < BOOTP_PACKET::GIADDR);
            if (!written) {
                expected[i] = 0;
            }
        }
        Reply reply;
        reply.fill(kStale);
        ASSERT_TRUE(BuildBootReply(Request(size), Values(DHCPDISCOVER), reply));
        for (std::size_t i = 0; i < reply.size(); ++i) {
            EXPECT_EQ(reply[i], expected[i]) << "offset " << i;
        }
    }
}

TEST(BootReplyWriters, PutAddressAdvancesAndPutLongDoesNot) {
    std::array<std::uint8_t, 12> buffer;
    buffer.fill(kStale);
    std::span<std::uint8_t> cursor(buffer);
    PutAddress(cursor, kYourAddress);
    PutAddress(cursor, kSubnetMask);
    EXPECT_EQ(cursor.data(), buffer.data() + 8);
    EXPECT_EQ(cursor.size(), 4u);

    PutLong(LEASE_TIME_SECONDS, cursor);
    EXPECT_EQ(cursor.data(), buffer.data() + 8) << "PutLong moved the cursor";
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end()),
              (Bytes{192, 168, 0, 10, 255, 255, 255, 0, 0x00, 0x27, 0x8D, 0x00}));
}

} // namespace
