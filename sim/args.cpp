// Readers for the simulator's command-line values (see args.hpp).
#include "args.hpp"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>

namespace sim {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

unsigned long parse_number(const std::string& opt, const char* text, unsigned long lo,
                           unsigned long hi) {
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, hex ? 16 : 10);
    if (errno || end == text || *end || text[0] == '-' || text[0] == '+' || v < lo || v > hi)
        throw UsageError(opt + ": expected a number in " + std::to_string(lo) + ".." +
                         std::to_string(hi) + ", got '" + text + "'");
    return v;
}

Bytes parse_hex(const std::string& opt, const std::string& text) {
    if (text.size() % 2)
        throw UsageError(opt + ": odd number of hex digits");
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hex_digit(text[i]), low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0)
            throw UsageError(opt + ": not a hex string: '" + text + "'");
        out.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return out;
}

std::uint32_t parse_ipv4(const std::string& opt, const std::string& text) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1)
        throw UsageError(opt + ": not an IPv4 address: '" + text + "'");
    return ntohl(a.s_addr);
}

Mac parse_mac(const std::string& opt, const std::string& text) {
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c == ':' || c == '-') && i % 3 == 2 && text.size() == 17)
            continue;
        digits += c;
    }
    Mac mac{};
    bool ok = digits.size() == 12;
    for (std::size_t i = 0; ok && i < 6; ++i) {
        const int high = hex_digit(digits[2 * i]), low = hex_digit(digits[2 * i + 1]);
        ok = high >= 0 && low >= 0;
        mac[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    if (!ok)
        throw UsageError(opt + ": not a MAC address: '" + text + "'");
    return mac;
}

} // namespace sim
