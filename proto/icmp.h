// ICMP echo (RFC 792) as the in-use check sends and reads it, with the Internet checksum
// of RFC 1071.
//
// Echo request as built here (the IP header is the platform's):
//
//   0      1      2             4             6             8                12
//   +------+------+-------------+-------------+-------------+-----------------+------------+
//   | type | code |  checksum   | identifier  |  sequence   |   time stamp    | data 0x45..|
//   |  8   |  0   |             | little-end. | little-end. |  little-endian  |            |
//   +------+------+-------------+-------------+-------------+-----------------+------------+
//
// Identifier, sequence and time stamp are stored in the host's little-endian order; the
// checksum is summed over little-endian words and stored the same way, which puts the
// standard Internet checksum on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::uint8_t ICMP_ECHO_REPLY = 0;
inline constexpr std::uint8_t ICMP_ECHO_REQUEST = 8;
inline constexpr std::size_t ICMP_ECHO_HEADER_SIZE = 12; // header and time stamp
inline constexpr std::uint8_t ICMP_ECHO_FILL = 0x45;

// RFC 1071 over little-endian 16-bit words, an odd last byte added as itself; the low 16
// bits of the result are the checksum. 61 62 63 gives 0x9D3B.
std::uint16_t Checksum(std::span<const std::uint8_t> bytes);

// Builds an echo request with dataSize bytes of data at the start of buffer. Returns its
// length (dataSize + 12), or 0 when the buffer cannot hold it.
std::size_t BuildEchoRequest(std::span<std::uint8_t> buffer, std::size_t dataSize,
                             std::uint16_t identifier, std::uint16_t sequence,
                             std::uint32_t timeStamp);

// What a received datagram (IP header first, as a raw socket delivers it) says.
struct EchoAnswer {
    bool tooShort = true; // shorter than its IP header and 8 bytes
    std::size_t ipHeaderLength = 0;
    std::uint8_t type = 0;
    std::uint16_t identifier = 0; // little-endian at ICMP offset 4
    std::uint16_t sequence = 0;   // little-endian at ICMP offset 6
    std::uint32_t timeStamp = 0;  // little-endian at ICMP offset 8; 0 when not received
};

EchoAnswer ReadEchoAnswer(std::span<const std::uint8_t> datagram);
