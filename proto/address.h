// Dotted IPv4 address texts: the classic parser and the normalisation of typed texts.
//
// The classic rules (as the original BSD inet_addr, RFC 1123 section 2.1 notwithstanding):
// up to four parts separated by '.'; each part decimal, octal after a leading '0',
// hexadecimal after "0x" or "0X"; an empty part reads as 0; with fewer than four parts the
// last one fills the remaining bytes (a.b.c with c as 16 bits, a.b with b as 24 bits, a
// alone as 32 bits); white space may follow the text; anything else, a part too large for
// its bytes, or the all-ones result makes the text invalid.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// The four address bytes in network order, or nothing when the text is not an address.
// 255.255.255.255 counts as invalid: it is the classic parser's error value.
std::optional<std::array<std::uint8_t, 4>> ParseDottedAddress(std::string_view text);

// The same as the value the Windows inet_addr returns: the bytes in network order as they
// lie in memory, or 0xFFFFFFFF (INADDR_NONE) for an invalid text.
std::uint32_t ClassicInetAddr(std::string_view text);

inline constexpr std::uint32_t ADDRESS_NONE = 0xFFFFFFFF;

// Normalises a typed address text of at most 15 characters in place, in its 16-byte buffer:
// three passes, each removing a '0' at the start and a '0' right behind each '.', so that
// up to three leading zeros of every part go and a part of zeros becomes empty. The text is
// acceptable when it then holds exactly three dots and parses. 192.168.0.10 becomes
// 192.168..10, which still parses to 192.168.0.10.
bool NormalizeAddressText(std::span<char, 16> text);

// The canonical dotted form of four address bytes ("192.168.0.10").
std::array<char, 16> DottedText(std::array<std::uint8_t, 4> address);
