// Unit tests for proto/arp: the probe's bytes, the reading of received packets and the
// decision of whether a packet seen during the in-use check means the address is taken.
//
// Received packets are heap vectors of exactly their length, so that under
// AddressSanitizer a read past the packet is reported instead of seeing zeros.
#include "proto/arp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const HardwareAddress kOurs = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
const HardwareAddress kOther = {0x00, 0x0A, 0x1B, 0xFF, 0x20, 0x3C};

std::uint32_t Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

const std::uint32_t kCandidate = Address(10, 199, 0, 77);
const std::uint32_t kElsewhere = Address(10, 199, 0, 12);

// A packet as another stack would write it, byte by byte from the wire layout.
Bytes Packet(std::uint16_t oper, const HardwareAddress& sha, std::uint32_t spa, std::uint32_t tpa,
             const HardwareAddress& tha = {}) {
    Bytes p = {0x00,
               0x01,
               0x08,
               0x00,
               6,
               4,
               static_cast<std::uint8_t>(oper >> 8),
               static_cast<std::uint8_t>(oper)};
    p.insert(p.end(), sha.begin(), sha.end());
    const auto* s = reinterpret_cast<const std::uint8_t*>(&spa);
    p.insert(p.end(), s, s + 4);
    p.insert(p.end(), tha.begin(), tha.end());
    const auto* t = reinterpret_cast<const std::uint8_t*>(&tpa);
    p.insert(p.end(), t, t + 4);
    return p;
}

TEST(ArpProbe, HasTheProbeLayoutWithSenderAddressZero) {
    std::uint8_t packet[ARP_PACKET_SIZE];
    std::memset(packet, 0xAA, sizeof packet);
    BuildArpProbe(packet, kOurs, kCandidate);
    const Bytes expected = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01,         // who-has
                            0x02, 0x00, 0x5E, 0x10, 0x00, 0x01, 0,    0,    0, 0,   // ours, 0.0.0.0
                            0,    0,    0,    0,    0,    0,    10,   199,  0, 77}; // ?, candidate
    EXPECT_EQ(Bytes(packet, packet + sizeof packet), expected);
}

TEST(ArpRead, ReadsFieldsAndIgnoresEthernetPadding) {
    Bytes bytes = Packet(ARP_REPLY, kOther, kCandidate, kElsewhere, kOurs);
    bytes.resize(46, 0); // padded to the Ethernet minimum
    auto packet = ReadArpPacket(bytes);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->operation, ARP_REPLY);
    EXPECT_EQ(packet->senderHw, kOther);
    EXPECT_EQ(packet->senderIp, kCandidate);
    EXPECT_EQ(packet->targetHw, kOurs);
    EXPECT_EQ(packet->targetIp, kElsewhere);

    std::uint8_t built[ARP_PACKET_SIZE];
    BuildArpProbe(built, kOurs, kCandidate);
    auto probe = ReadArpPacket(built);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->operation, ARP_REQUEST);
    EXPECT_EQ(probe->senderIp, 0u);
    EXPECT_EQ(probe->targetIp, kCandidate);
}

TEST(ArpRead, RefusesWhatIsNotIpv4OverEthernet) {
    const Bytes good = Packet(ARP_REPLY, kOther, kCandidate, kElsewhere);
    struct Case {
        const char* name;
        std::size_t offset;
        std::uint8_t value;
    };
    for (const Case& c :
         {Case{"htype", 1, 6}, Case{"ptype", 2, 0x86}, Case{"hlen", 4, 8}, Case{"plen", 5, 16}}) {
        Bytes bad = good;
        bad[c.offset] = c.value;
        EXPECT_FALSE(ReadArpPacket(bad)) << c.name;
    }
    for (std::size_t length : {std::size_t{0}, std::size_t{8}, ARP_PACKET_SIZE - 1}) {
        Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(ReadArpPacket(cut)) << length << " bytes";
    }
}

TEST(ArpInUse, DecidesFromWhatIsSeenDuringTheCheck) {
    struct Case {
        const char* name;
        Bytes packet;
        bool inUse;
    };
    const Case cases[] = {
        {"a reply from the holder", Packet(ARP_REPLY, kOther, kCandidate, 0, kOurs), true},
        {"a reply to someone else's question",
         Packet(ARP_REPLY, kOther, kCandidate, kElsewhere, kOther), true},
        {"the holder's own request", Packet(ARP_REQUEST, kOther, kCandidate, kElsewhere), true},
        {"a gratuitous announcement", Packet(ARP_REQUEST, kOther, kCandidate, kCandidate), true},
        {"another machine probing for it", Packet(ARP_REQUEST, kOther, 0, kCandidate), true},
        {"our own probe coming back", Packet(ARP_REQUEST, kOurs, 0, kCandidate), false},
        {"our own hardware address claiming it", Packet(ARP_REPLY, kOurs, kCandidate, 0), false},
        {"a reply for an unrelated address", Packet(ARP_REPLY, kOther, kElsewhere, 0), false},
        {"a request for the candidate from a configured host",
         Packet(ARP_REQUEST, kOther, kElsewhere, kCandidate), false},
        {"a probe for another address", Packet(ARP_REQUEST, kOther, 0, kElsewhere), false},
        {"an unknown operation from the candidate", Packet(9, kOther, kCandidate, 0), false},
    };
    for (const Case& c : cases) {
        auto packet = ReadArpPacket(c.packet);
        ASSERT_TRUE(packet) << c.name;
        EXPECT_EQ(ArpShowsInUse(*packet, kCandidate, kOurs), c.inUse) << c.name;
    }
}

} // namespace
