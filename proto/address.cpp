// Dotted IPv4 address texts.
#include "proto/address.h"

#include <cstdio>
#include <cstring>

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// One part at text[pos...]: its value, and pos moved past it. An empty part is 0. False
// when the digits overflow 32 bits.
bool ParsePart(std::string_view text, std::size_t& pos, std::uint64_t& value) {
    value = 0;
    unsigned base = 10;
    if (pos < text.size() && text[pos] == '0') {
        base = 8;
        ++pos;
        if (pos < text.size() && (text[pos] == 'x' || text[pos] == 'X')) {
            base = 16;
            ++pos;
        }
    }
    for (; pos < text.size(); ++pos) {
        char c = text[pos];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        if (digit >= base)
            return false; // an 8 or 9 in an octal part
        value = value * base + digit;
        if (value > 0xFFFFFFFFu)
            return false;
    }
    return true;
}

} // namespace

std::optional<std::array<std::uint8_t, 4>> ParseDottedAddress(std::string_view text) {
    std::uint64_t parts[4] = {};
    std::size_t count = 0;
    std::size_t pos = 0;
    for (;;) {
        if (count == 4)
            return std::nullopt;
        if (!ParsePart(text, pos, parts[count]))
            return std::nullopt;
        ++count;
        if (pos < text.size() && text[pos] == '.') {
            ++pos;
            continue;
        }
        break;
    }
    // Only white space may follow.
    for (; pos < text.size(); ++pos)
        if (!IsSpace(text[pos]))
            return std::nullopt;

    std::uint64_t value = 0;
    switch (count) {
    case 1:
        value = parts[0];
        break;
    case 2:
        if (parts[0] > 0xFF || parts[1] > 0xFFFFFF)
            return std::nullopt;
        value = parts[0] << 24 | parts[1];
        break;
    case 3:
        if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF)
            return std::nullopt;
        value = parts[0] << 24 | parts[1] << 16 | parts[2];
        break;
    default:
        for (std::uint64_t p : parts)
            if (p > 0xFF)
                return std::nullopt;
        value = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
        break;
    }
    if (value == 0xFFFFFFFFu)
        return std::nullopt;
    return std::array<std::uint8_t, 4>{
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::uint32_t ClassicInetAddr(std::string_view text) {
    auto bytes = ParseDottedAddress(text);
    if (!bytes)
        return ADDRESS_NONE;
    std::uint32_t value;
    std::memcpy(&value, bytes->data(), 4);
    return value;
}

bool NormalizeAddressText(std::span<char, 16> text) {
    text[15] = '\0'; // at most 15 characters, whatever the buffer held
    auto removeAt = [&](std::size_t pos) {
        std::memmove(&text[pos], &text[pos + 1], 15 - pos);
        text[15] = '\0';
    };
    for (int pass = 0; pass < 3; ++pass) {
        if (text[0] == '0')
            removeAt(0);
        // The character that moves into a position is not looked at again in this pass.
        for (std::size_t pos = 1; pos < 16; ++pos) {
            if (text[pos - 1] == '.' && text[pos] == '0')
                removeAt(pos);
        }
    }
    std::size_t length = std::strlen(text.data());
    std::size_t dots = 0;
    for (std::size_t i = 0; i < length; ++i)
        dots += text[i] == '.';
    return dots == 3 && ParseDottedAddress(std::string_view(text.data(), length)).has_value();
}

std::array<char, 16> DottedText(std::array<std::uint8_t, 4> address) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%u.%u.%u.%u", address[0], address[1], address[2],
                  address[3]);
    return text;
}
