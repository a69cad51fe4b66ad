// libFuzzer target for proto/arp: reading arbitrary bytes as an ARP packet, the in-use
// decision over whatever was read, and probes built from arbitrary values (RFC 826,
// RFC 5227).
//
// libFuzzer hands over an exact-size heap copy, so AddressSanitizer reports any read past
// the packet. Properties checked for every input abort on violation.
//
//   fuzz_arp [corpus_dir]
#include "proto/arp.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

HardwareAddress HwAt(const std::uint8_t* data, std::size_t size, std::size_t at) {
    HardwareAddress hw{};
    for (std::size_t i = 0; i < hw.size() && at + i < size; ++i)
        hw[i] = data[at + i];
    return hw;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto packet = ReadArpPacket(std::span<const std::uint8_t>(data, size));
    const bool ipv4OverEthernet = size >= ARP_PACKET_SIZE && data[0] == 0 && data[1] == 1 &&
                                  data[2] == 8 && data[3] == 0 && data[4] == 6 && data[5] == 4;
    Require(packet.has_value() == ipv4OverEthernet);
    const HardwareAddress ours = HwAt(data, size, 0);
    std::uint32_t candidate = 0;
    if (size >= 4)
        std::memcpy(&candidate, data + size - 4, 4);
    if (packet) {
        Require(packet->operation == (data[6] << 8 | data[7]));
        Require(packet->senderHw == HwAt(data, size, 8));
        Require(std::memcmp(&packet->senderIp, data + 14, 4) == 0);
        Require(std::memcmp(&packet->targetIp, data + 24, 4) == 0);
        // Our own hardware address never makes an address taken.
        Require(!ArpShowsInUse(*packet, candidate, packet->senderHw));
        (void)ArpShowsInUse(*packet, candidate, ours);
    }

    // A probe from the input's values reads back as a probe that does not show the address
    // taken to its sender, and does to anyone else.
    std::uint8_t built[ARP_PACKET_SIZE];
    BuildArpProbe(built, ours, candidate);
    const auto probe = ReadArpPacket(built);
    Require(probe && probe->operation == ARP_REQUEST && probe->senderIp == 0 &&
            probe->targetIp == candidate && probe->senderHw == ours);
    Require(!ArpShowsInUse(*probe, candidate, ours));
    HardwareAddress other = ours;
    other[5] ^= 1;
    Require(ArpShowsInUse(*probe, candidate, other));
    return 0;
}
