// Readers for the simulator's command-line values, shared by its modes. Each throws
// UsageError, which every mode turns into exit status 2 with its usage text.
#pragma once

#include "packet.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace sim {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// OPT is the option as typed ("--port"); it only labels the error.
// Decimal, or hexadecimal after 0x; never octal, so "010" is ten.
unsigned long parse_number(const std::string& opt, const char* text, unsigned long lo,
                           unsigned long hi);
// An even number of hex digits, any case.
Bytes parse_hex(const std::string& opt, const std::string& text);
// Dotted IPv4 address, returned in host order.
std::uint32_t parse_ipv4(const std::string& opt, const std::string& text);
// 00:0A:1B:FF:20:3C, 00-0A-1B-FF-20-3C or 000A1BFF203C.
Mac parse_mac(const std::string& opt, const std::string& text);

} // namespace sim
