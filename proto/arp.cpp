// ARP probe building and the in-use decision (RFC 826, RFC 5227).
#include "proto/arp.h"

#include "proto/byte_reader.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t kHtype = 0;
constexpr std::size_t kPtype = 2;
constexpr std::size_t kHlen = 4;
constexpr std::size_t kPlen = 5;
constexpr std::size_t kOper = 6;
constexpr std::size_t kSha = 8;
constexpr std::size_t kSpa = 14;
constexpr std::size_t kTha = 18;
constexpr std::size_t kTpa = 24;

constexpr std::uint16_t kEthernet = 1;
constexpr std::uint16_t kIpv4 = 0x0800;

void Put16(std::span<std::uint8_t> out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value >> 8);
    out[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

std::uint16_t Get16(const ByteReader& in, std::size_t at) {
    return static_cast<std::uint16_t>(in.U8(at) << 8 | in.U8(at + 1));
}

HardwareAddress GetHw(const ByteReader& in, std::size_t at) {
    HardwareAddress hw{};
    for (std::size_t i = 0; i < hw.size(); ++i)
        hw[i] = in.U8(at + i);
    return hw;
}

std::uint32_t GetAddress(const ByteReader& in, std::size_t at) {
    std::uint8_t bytes[4] = {in.U8(at), in.U8(at + 1), in.U8(at + 2), in.U8(at + 3)};
    std::uint32_t address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}
} // namespace

void BuildArpProbe(std::span<std::uint8_t, ARP_PACKET_SIZE> packet, const HardwareAddress& ours,
                   std::uint32_t candidate) {
    std::fill(packet.begin(), packet.end(), std::uint8_t{0});
    Put16(packet, kHtype, kEthernet);
    Put16(packet, kPtype, kIpv4);
    packet[kHlen] = 6;
    packet[kPlen] = 4;
    Put16(packet, kOper, ARP_REQUEST);
    std::copy(ours.begin(), ours.end(), packet.begin() + kSha);
    // Sender protocol address and target hardware address stay zero.
    std::memcpy(packet.data() + kTpa, &candidate, sizeof candidate);
}

std::optional<ArpPacket> ReadArpPacket(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    if (!in.Holds(0, ARP_PACKET_SIZE) || Get16(in, kHtype) != kEthernet ||
        Get16(in, kPtype) != kIpv4 || in.U8(kHlen) != 6 || in.U8(kPlen) != 4)
        return std::nullopt;
    ArpPacket packet;
    packet.operation = Get16(in, kOper);
    packet.senderHw = GetHw(in, kSha);
    packet.senderIp = GetAddress(in, kSpa);
    packet.targetHw = GetHw(in, kTha);
    packet.targetIp = GetAddress(in, kTpa);
    return packet;
}

bool ArpShowsInUse(const ArpPacket& packet, std::uint32_t candidate, const HardwareAddress& ours) {
    if (packet.senderHw == ours)
        return false;
    if (packet.operation != ARP_REQUEST && packet.operation != ARP_REPLY)
        return false;
    if (packet.senderIp == candidate)
        return true;
    // Another machine probing for the same address at the same moment: it is about to take
    // it, so it is not ours to give.
    return packet.operation == ARP_REQUEST && packet.senderIp == 0 && packet.targetIp == candidate;
}
