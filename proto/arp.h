// ARP for IPv4 over Ethernet (RFC 826) as the in-use check sends and reads it: the probe of
// RFC 5227 and the test of what comes back.
//
// The packet after the Ethernet header (all fields network order):
//
//   0        2        4    5    6        8                 14       18                24      28
//   +--------+--------+----+----+--------+-----------------+--------+-----------------+-------+
//   | htype  | ptype  |hlen|plen|  oper  | sender hw (sha) |  spa   | target hw (tha) |  tpa  |
//   |   1    | 0x0800 | 6  | 4  | 1 or 2 |                 |        |                 |       |
//   +--------+--------+----+----+--------+-----------------+--------+-----------------+-------+
//
// A probe asks for the candidate with sender protocol address 0.0.0.0, so that no host's
// neighbour cache learns anything from it, and our own hardware address as sender.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

inline constexpr std::size_t ARP_PACKET_SIZE = 28;
inline constexpr std::uint16_t ARP_REQUEST = 1;
inline constexpr std::uint16_t ARP_REPLY = 2;

using HardwareAddress = std::array<std::uint8_t, 6>;

// Writes the probe for `candidate` (network order, as it sits in memory) into `packet`.
void BuildArpProbe(std::span<std::uint8_t, ARP_PACKET_SIZE> packet, const HardwareAddress& ours,
                   std::uint32_t candidate);

struct ArpPacket {
    std::uint16_t operation = 0;
    HardwareAddress senderHw{};
    std::uint32_t senderIp = 0; // network order, as it sits in memory
    HardwareAddress targetHw{};
    std::uint32_t targetIp = 0; // network order
};

// The packet if it is IPv4-over-Ethernet ARP (htype 1, ptype 0x0800, lengths 6 and 4) and
// long enough; trailing bytes (Ethernet padding) are ignored.
std::optional<ArpPacket> ReadArpPacket(std::span<const std::uint8_t> bytes);

// Whether a packet seen during the check shows that another machine holds or claims
// `candidate`: any packet sent from it (a reply, a request, an announcement), or another
// machine's probe for it. Packets with our own hardware address as sender are our own
// probes coming back, or a second interface of ours, and tell nothing.
bool ArpShowsInUse(const ArpPacket& packet, std::uint32_t candidate, const HardwareAddress& ours);
