// libFuzzer target for proto/icmp: reading an arbitrary datagram as the raw socket
// delivers it, the checksum over arbitrary bytes, and echo requests built from arbitrary
// values (RFC 792, RFC 1071).
//
// libFuzzer hands over an exact-size heap copy, so AddressSanitizer reports any read past
// the datagram, however its IP header length byte lies. Properties checked for every
// input abort on violation.
//
//   fuzz_icmp [corpus_dir]
#include "proto/icmp.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// RFC 1071 over big-endian words with the carry folded at every step: shares neither
// byte order nor folding with the code under test.
std::uint16_t NetworkOrderChecksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const std::uint32_t low = i + 1 < bytes.size() ? bytes[i + 1] : 0;
        sum += std::uint32_t{bytes[i]} << 8 | low;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

std::uint32_t LittleEndian(std::span<const std::uint8_t> bytes, std::size_t offset,
                           std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width && offset + i < bytes.size(); ++i) {
        value |= std::uint32_t{bytes[offset + i]} << (8 * i);
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> datagram(data, size);

    const EchoAnswer answer = ReadEchoAnswer(datagram);
    const std::size_t headerLength = size == 0 ? 0 : static_cast<std::size_t>(data[0] & 0x0F) * 4;
    Require(answer.tooShort == (size < headerLength + 8));
    if (!answer.tooShort) {
        Require(answer.ipHeaderLength == headerLength);
        Require(answer.type == data[headerLength]);
        Require(answer.identifier == LittleEndian(datagram, headerLength + 4, 2));
        Require(answer.sequence == LittleEndian(datagram, headerLength + 6, 2));
        // A time stamp cut short by the datagram's end reads its missing bytes as zero.
        Require(answer.timeStamp == LittleEndian(datagram, headerLength + 8, 4));
    }

    const std::uint16_t sum = Checksum(datagram);
    Require(static_cast<std::uint16_t>(sum << 8 | sum >> 8) == NetworkOrderChecksum(datagram));

    // A request from the input's first bytes, read back as the kernel would echo it.
    const auto identifier = static_cast<std::uint16_t>(LittleEndian(datagram, 0, 2));
    const auto sequence = static_cast<std::uint16_t>(LittleEndian(datagram, 2, 2));
    const std::uint32_t stamp = LittleEndian(datagram, 4, 4);
    const std::size_t dataSize = size % 2001;
    std::vector<std::uint8_t> packet(20 + 2012, 0xAA);
    packet[0] = 0x45;
    const std::span<std::uint8_t> buffer = std::span(packet).subspan(20);
    const std::size_t length = BuildEchoRequest(buffer, dataSize, identifier, sequence, stamp);
    Require(length == dataSize + ICMP_ECHO_HEADER_SIZE);
    Require(Checksum(buffer.first(length)) == 0);
    Require(std::all_of(buffer.begin() + ICMP_ECHO_HEADER_SIZE, buffer.begin() + length,
                        [](std::uint8_t b) { return b == ICMP_ECHO_FILL; }));
    Require(std::all_of(buffer.begin() + length, buffer.end(),
                        [](std::uint8_t b) { return b == 0xAA; }));
    const EchoAnswer echoed = ReadEchoAnswer(std::span(packet).first(20 + length));
    Require(!echoed.tooShort && echoed.type == ICMP_ECHO_REQUEST);
    Require(echoed.identifier == identifier && echoed.sequence == sequence);
    Require(echoed.timeStamp == stamp);
    return 0;
}
