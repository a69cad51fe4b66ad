// libFuzzer target for proto/address: the classic dotted-address parser and the in-place
// normalisation of typed texts, on arbitrary bytes.
//
// Properties checked for every input (a violation aborts):
// - the typed result and the in-memory word agree, and an accepted address survives the
//   trip through its canonical text and through normalisation of that text;
// - where the C library's inet_aton follows the same rules (every part non-empty, no bare
//   "0x", no white space, printable ASCII only) both accept the same texts with the same
//   value, except the all-ones value, which is our error value;
// - normalising a 16-byte heap buffer (exact size, so AddressSanitizer sees any stray
//   access) removes nothing but up to three leading zeros of each part, keeps the text
//   within 15 characters, and accepts exactly when three dots remain and the text parses,
//   never to all ones. The buffer holds what the dialog reads of a longer typed text: its
//   first 15 characters.
//
//   fuzz_address -max_len=40 -dict=tests/fuzz/fuzz_address.dict [corpus_dir]
#include "proto/address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::vector<std::string_view> Parts(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t dot = text.find('.');
        parts.push_back(text.substr(0, dot));
        if (dot == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(dot + 1);
    }
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Texts on which the C library and the classic rules cannot differ: it refuses empty parts
// and a "0x" without digits, and its white-space handling is looser than ours.
bool InetAtonAgrees(std::string_view text) {
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; })) {
        return false;
    }
    for (std::string_view part : Parts(text)) {
        if (part.empty()) {
            return false;
        }
        if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X') &&
            (part.size() == 2 || !IsHexDigit(part[2]))) {
            return false;
        }
    }
    return true;
}

// Each part loses its leading zeros, three at most.
std::string ExpectedNormalisation(std::string_view typed) {
    std::string out;
    bool first = true;
    for (std::string_view part : Parts(typed)) {
        if (!first) {
            out += '.';
        }
        first = false;
        std::size_t zeros = 0;
        while (zeros < 3 && zeros < part.size() && part[zeros] == '0') {
            ++zeros;
        }
        out += part.substr(zeros);
    }
    return out;
}

void CheckParser(std::string_view text) {
    const std::optional<std::array<std::uint8_t, 4>> address = ParseDottedAddress(text);
    const std::uint32_t word = ClassicInetAddr(text);
    if (!address) {
        Require(word == ADDRESS_NONE);
    } else {
        Require(std::memcmp(&word, address->data(), 4) == 0);
        Require(*address != (std::array<std::uint8_t, 4>{255, 255, 255, 255}));

        const auto canonical = DottedText(*address);
        Require(canonical[15] == '\0');
        Require(ParseDottedAddress(canonical.data()) == address);
        auto buffer = std::make_unique<char[]>(16);
        std::copy(canonical.begin(), canonical.end(), buffer.get());
        Require(NormalizeAddressText(std::span<char, 16>(buffer.get(), 16)));
        Require(ParseDottedAddress(buffer.get()) == address);
    }

    if (InetAtonAgrees(text)) {
        const std::string terminated(text);
        in_addr library{};
        const bool libraryAccepts = inet_aton(terminated.c_str(), &library) != 0;
        const bool allOnes = libraryAccepts && library.s_addr == 0xFFFFFFFFu;
        Require(address.has_value() == (libraryAccepts && !allOnes));
        if (address) {
            Require(std::memcmp(&library.s_addr, address->data(), 4) == 0);
        }
    }
}

void CheckNormaliser(std::span<const std::uint8_t> data) {
    std::array<char, 16> typedBuffer{};
    std::copy_n(data.begin(), std::min<std::size_t>(data.size(), 16), typedBuffer.begin());
    const std::string typed(typedBuffer.data(), strnlen(typedBuffer.data(), 15));

    auto buffer = std::make_unique<char[]>(16);
    std::copy(typedBuffer.begin(), typedBuffer.end(), buffer.get());
    const bool accepted = NormalizeAddressText(std::span<char, 16>(buffer.get(), 16));

    Require(buffer[15] == '\0');
    const std::string result(buffer.get());
    Require(result == ExpectedNormalisation(typed));
    const bool threeDots = std::count(result.begin(), result.end(), '.') == 3;
    Require(accepted == (threeDots && ParseDottedAddress(result).has_value()));
    // What the assign dialog then hands the appliance: never the all-ones address.
    if (accepted)
        Require(ClassicInetAddr(buffer.get()) != ADDRESS_NONE);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckParser(std::string_view(reinterpret_cast<const char*>(data), size));
    CheckNormaliser(std::span<const std::uint8_t>(data, size));
    return 0;
}
