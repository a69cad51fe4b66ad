// Unit tests for proto/icmp: the Internet checksum, the echo request bytes and the
// reading of whatever datagram the raw socket hands back (RFC 792, RFC 1071).
//
// Received datagrams are heap vectors of exactly their length, so that under
// AddressSanitizer a read past the datagram is reported instead of seeing zeros.
#include "proto/icmp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename Case> std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// RFC 1071 the way it is usually written, over big-endian words with an odd last byte as
// the high half and the carry folded in at every step: a second opinion that shares
// neither the byte order nor the folding of the code under test.
std::uint16_t NetworkOrderChecksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const std::uint32_t low = i + 1 < bytes.size() ? bytes[i + 1] : 0;
        sum += std::uint32_t{bytes[i]} << 8 | low;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

// The checksum as it reads on the wire, from the two bytes the request stores.
std::uint16_t WireChecksum(std::span<const std::uint8_t> message) {
    return static_cast<std::uint16_t>(message[2] << 8 | message[3]);
}

// Deterministic bytes that exercise every bit and plenty of carries.
Bytes Pseudorandom(std::size_t size, std::uint32_t seed) {
    Bytes out(size);
    for (std::uint8_t& byte : out) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    return out;
}

constexpr std::uint16_t kIdentifier = 0xA1B2;
constexpr std::uint16_t kSequence = 0xC3D4;
constexpr std::uint32_t kTimeStamp = 0xE5F60718;

// ---------------------------------------------------------------- Checksum

struct ChecksumCase {
    const char* name;
    Bytes bytes;
    std::uint16_t checksum;
};

void PrintTo(const ChecksumCase& c, std::ostream* os) {
    *os << c.name;
}

class ChecksumTest : public testing::TestWithParam<ChecksumCase> {};

TEST_P(ChecksumTest, Vector) {
    const ChecksumCase& c = GetParam();
    EXPECT_EQ(Checksum(c.bytes), c.checksum) << std::hex << "got 0x" << Checksum(c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, ChecksumTest,
    testing::Values(
        ChecksumCase{"Empty", {}, 0xFFFF},
        // Stored low byte first as 3B 9D.
        ChecksumCase{"OddLengthAbc", {0x61, 0x62, 0x63}, 0x9D3B},
        // RFC 1071's example sums to DDF2 in network order; here byte-swapped.
        ChecksumCase{"Rfc1071Example", {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, 0x0D22},
        ChecksumCase{"CarryFoldsToAllOnes", {0xFF, 0xFF, 0xFF, 0xFF}, 0x0000},
        // The first fold leaves 0x10001, so a single fold would give FFFE.
        ChecksumCase{"SecondFoldNeeded", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00}, 0xFFFD}),
    CaseName<ChecksumCase>);

// Summing little-endian words and storing the result little-endian must put the standard
// network-order checksum on the wire, for every length, odd ones included.
TEST(Checksum, StoredLowByteFirstIsTheNetworkChecksum) {
    for (std::size_t size = 0; size <= 600; ++size) {
        for (const Bytes& bytes : {Pseudorandom(size, static_cast<std::uint32_t>(size)),
                                   Bytes(size, 0xFF), Bytes(size, 0x00)}) {
            const std::uint16_t sum = Checksum(bytes);
            const std::uint16_t swapped = static_cast<std::uint16_t>(sum << 8 | sum >> 8);
            ASSERT_EQ(swapped, NetworkOrderChecksum(bytes)) << "size " << size;
        }
    }
}

// ---------------------------------------------------------------- BuildEchoRequest

TEST(BuildEchoRequest, SixtyFourDataBytesMakeTheSeventySixByteRequest) {
    Bytes buffer(2012, 0xAA);
    ASSERT_EQ(BuildEchoRequest(buffer, 64, kIdentifier, kSequence, kTimeStamp), 76u);
    const std::span<const std::uint8_t> message(buffer.data(), 76);

    EXPECT_EQ(message[0], ICMP_ECHO_REQUEST);
    EXPECT_EQ(message[1], 0);
    // Identifier, sequence and time stamp stay in the host's little-endian order.
    EXPECT_EQ(Bytes(message.begin() + 4, message.begin() + 12),
              (Bytes{0xB2, 0xA1, 0xD4, 0xC3, 0x18, 0x07, 0xF6, 0xE5}));
    EXPECT_EQ(Bytes(message.begin() + 12, message.end()), Bytes(64, 0x45));

    EXPECT_EQ(Checksum(message), 0) << "checksum over the complete request";
    Bytes unsummed(message.begin(), message.end());
    unsummed[2] = unsummed[3] = 0;
    EXPECT_EQ(WireChecksum(message), NetworkOrderChecksum(unsummed));

    EXPECT_TRUE(std::all_of(buffer.begin() + 76, buffer.end(), [](auto b) { return b == 0xAA; }))
        << "bytes behind the request were written";
}

// The caller's buffer holds the request and, later, the answer; a request that does not
// fit must leave it alone rather than be cut.
TEST(BuildEchoRequest, FitsTheBufferOrWritesNothing) {
    struct Case {
        const char* name;
        std::size_t bufferSize;
        std::size_t dataSize;
        std::size_t length; // 0: refused
    };
    const Case cases[] = {
        {"ExactFit", 76, 64, 76},
        {"OneByteShort", 75, 64, 0},
        {"NoData", 12, 0, 12},
        {"NoRoomForHeader", 11, 0, 0},
        {"OddDataSize", 100, 5, 17},
        {"SizeWrapsAround", 100, std::numeric_limits<std::size_t>::max() - 5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buffer(c.bufferSize, 0xAA);
        const std::size_t length =
            BuildEchoRequest(buffer, c.dataSize, kIdentifier, kSequence, kTimeStamp);
        ASSERT_EQ(length, c.length);
        if (length != 0) {
            EXPECT_EQ(Checksum(std::span(buffer).first(length)), 0);
        }
        EXPECT_TRUE(
            std::all_of(buffer.begin() + length, buffer.end(), [](auto b) { return b == 0xAA; }));
    }
}

// ---------------------------------------------------------------- ReadEchoAnswer

// A datagram as the raw socket delivers it: an IP header whose first byte is given (the
// rest of the header is filler that must not be mistaken for ICMP), then an ICMP message
// with the test's identifier, sequence and time stamp, cut to `size` bytes.
Bytes Received(std::uint8_t versionAndLength, std::uint8_t type, std::size_t size) {
    const std::size_t headerLength = static_cast<std::size_t>(versionAndLength & 0x0F) * 4;
    Bytes datagram(headerLength, 0xEE);
    if (!datagram.empty()) {
        datagram[0] = versionAndLength;
    }
    const Bytes icmp{type, 0, 0x5A, 0x5A, 0xB2, 0xA1, 0xD4, 0xC3, 0x18, 0x07, 0xF6, 0xE5};
    datagram.insert(datagram.end(), icmp.begin(), icmp.end());
    datagram.resize(std::max(size, datagram.size()), 0x45);
    datagram.resize(size);
    return datagram;
}

struct AnswerCase {
    const char* name;
    Bytes datagram;
    bool tooShort;
    std::size_t ipHeaderLength; // checked only when not too short
    std::uint8_t type;
    std::uint32_t timeStamp;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadEchoAnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(ReadEchoAnswerTest, Reads) {
    const AnswerCase& c = GetParam();
    const EchoAnswer answer = ReadEchoAnswer(c.datagram);
    ASSERT_EQ(answer.tooShort, c.tooShort) << c.datagram.size() << " bytes";
    if (c.tooShort) {
        return;
    }
    EXPECT_EQ(answer.ipHeaderLength, c.ipHeaderLength);
    EXPECT_EQ(answer.type, c.type);
    EXPECT_EQ(answer.identifier, kIdentifier);
    EXPECT_EQ(answer.sequence, kSequence);
    EXPECT_EQ(answer.timeStamp, c.timeStamp);
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, ReadEchoAnswerTest,
    testing::Values(
        AnswerCase{"EchoReply", Received(0x45, ICMP_ECHO_REPLY, 20 + 76), false, 20,
                   ICMP_ECHO_REPLY, kTimeStamp},
        // Exactly header and 8 bytes: accepted, and the absent time stamp reads as 0.
        AnswerCase{"HeaderAndEightBytes", Received(0x45, ICMP_ECHO_REPLY, 28), false, 20,
                   ICMP_ECHO_REPLY, 0},
        AnswerCase{"OneByteShort", Received(0x45, ICMP_ECHO_REPLY, 27), true, 0, 0, 0},
        AnswerCase{"Empty", Bytes{}, true, 0, 0, 0},
        // Destination unreachable: not compared with the request, its fields still read.
        AnswerCase{"OtherType", Received(0x45, 3, 20 + 36), false, 20, 3, kTimeStamp},
        AnswerCase{"LongestHeader", Received(0x4F, ICMP_ECHO_REPLY, 60 + 12), false, 60,
                   ICMP_ECHO_REPLY, kTimeStamp},
        AnswerCase{"LongestHeaderAndEightBytes", Received(0x4F, ICMP_ECHO_REPLY, 68), false, 60,
                   ICMP_ECHO_REPLY, 0},
        AnswerCase{"LongestHeaderOneByteShort", Received(0x4F, ICMP_ECHO_REPLY, 67), true, 0, 0,
                   0}),
    CaseName<AnswerCase>);

// The kernel's reply carries the request's identifier, sequence and data back unchanged,
// so the reader has to take them in the byte order the builder wrote.
TEST(ReadEchoAnswer, ReadsBackTheRequestItEchoes) {
    Bytes request(76);
    ASSERT_EQ(BuildEchoRequest(request, 64, kIdentifier, kSequence, kTimeStamp), 76u);
    Bytes datagram(20, 0);
    datagram[0] = 0x45;
    datagram.insert(datagram.end(), request.begin(), request.end());

    const EchoAnswer answer = ReadEchoAnswer(datagram);
    ASSERT_FALSE(answer.tooShort);
    EXPECT_EQ(answer.type, ICMP_ECHO_REQUEST);
    EXPECT_EQ(answer.identifier, kIdentifier);
    EXPECT_EQ(answer.sequence, kSequence);
    EXPECT_EQ(answer.timeStamp, kTimeStamp);
}

} // namespace
