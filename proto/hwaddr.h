// Text form of a client's 6-byte hardware address: "00-0A-1B-FF-20-3C".
//
// The address comes from chaddr (RFC 951, RFC 2131). Only its first six bytes
// are used, whatever hlen says: a peer's hlen is not trusted to size a read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Characters written by FormatHardwareAddress: six pairs of hex digits and
// five separators.
inline constexpr std::size_t HWADDR_TEXT_LENGTH = 17;

// Writes exactly HWADDR_TEXT_LENGTH characters, upper-case hex joined by '-'.
// No terminator is written: callers pass an 18-byte buffer cleared to zeros,
// whose last byte stays the terminator.
void FormatHardwareAddress(std::span<const std::uint8_t, 6> hw, std::span<char, 18> text);
