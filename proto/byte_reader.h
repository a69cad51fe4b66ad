// Bounds-checked read access to a received datagram.
//
// The server reads every datagram into a zero-cleared buffer, so a byte the
// peer did not send is zero. ByteReader gives the same view over a span of
// any length: reads past the end yield zero instead of touching memory the
// span does not own. Used by the BOOTP wire code (RFC 951, RFC 2131).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

class ByteReader {
public:
    constexpr explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    constexpr std::size_t Size() const { return bytes_.size(); }

    // Zero for an offset the span does not hold, as in the cleared buffer.
    constexpr std::uint8_t U8(std::size_t offset) const {
        return offset < bytes_.size() ? bytes_[offset] : std::uint8_t{0};
    }

    // True when [offset, offset + count) lies inside the span. Written so that
    // no sum can wrap around.
    constexpr bool Holds(std::size_t offset, std::size_t count) const {
        return offset <= bytes_.size() && count <= bytes_.size() - offset;
    }

    // The bytes [offset, offset + count); empty unless Holds(offset, count),
    // so a caller that skipped the check gets nothing rather than a bad span.
    constexpr std::span<const std::uint8_t> Bytes(std::size_t offset, std::size_t count) const {
        return Holds(offset, count) ? bytes_.subspan(offset, count)
                                    : std::span<const std::uint8_t>{};
    }

    // The first `count` bytes, or all of them if the span is shorter.
    constexpr ByteReader Prefix(std::size_t count) const {
        return ByteReader(bytes_.first(std::min(count, bytes_.size())));
    }

private:
    std::span<const std::uint8_t> bytes_;
};
