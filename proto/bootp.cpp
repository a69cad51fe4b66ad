// Read-only BOOTP/DHCP datagram operations: request test, marker search,
// option walk and the option readers used by discovery and request handling.
//
// Relies on RFC 951 (layout), RFC 2131 (cookie) and RFC 2132 (options).
// All reads go through ByteReader or through spans whose bounds were checked
// first, so no datagram, however short or malformed, is read past its end.
#include "proto/bootp.h"

#include "proto/byte_reader.h"

#include <algorithm>

namespace {

// Options and the marker live inside the receive buffer; bytes a longer span
// carries beyond it were never part of the datagram the server acts on.
ByteReader ReceiveArea(std::span<const std::uint8_t> buf) {
    return ByteReader(buf).Prefix(BOOTP_RECV_SIZE);
}

bool MarkerStartsAt(std::span<const std::uint8_t> buf, std::size_t start) {
    for (std::size_t i = 0; i < BOOTP_MARKER_MATCH_LENGTH; ++i) {
        if (buf[start + i] != static_cast<std::uint8_t>(BOOTP_MARKER[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

bool IsBootRequest(std::span<const std::uint8_t> buf) {
    const ByteReader packet(buf);
    if (packet.U8(BOOTP_PACKET::OP) != BOOTREQUEST) {
        return false;
    }
    for (std::size_t i = 0; i < BOOTP_COOKIE_BYTES.size(); ++i) {
        if (packet.U8(BOOTP_PACKET::COOKIE + i) != BOOTP_COOKIE_BYTES[i]) {
            return false;
        }
    }
    return true;
}

bool HasBootpMarker(std::span<const std::uint8_t> buf) {
    const std::span<const std::uint8_t> area = buf.first(std::min(buf.size(), BOOTP_RECV_SIZE));
    if (area.size() < BOOTP_MARKER_FIRST_START + BOOTP_MARKER_MATCH_LENGTH) {
        return false;
    }
    const std::size_t lastStart = area.size() - BOOTP_MARKER_MATCH_LENGTH;
    for (std::size_t start = BOOTP_MARKER_FIRST_START; start <= lastStart; ++start) {
        if (MarkerStartsAt(area, start)) {
            return true;
        }
    }
    return false;
}

BootpWalkEnd WalkBootpOptions(std::span<const std::uint8_t> buf,
                              const BootpOptionVisitor& visitor) {
    const ByteReader area = ReceiveArea(buf);
    std::size_t position = BOOTP_PACKET::OPTIONS;
    while (position < area.Size()) {
        const std::uint8_t code = area.U8(position);
        if (code == OPTION_PAD) {
            ++position;
            continue;
        }
        if (code == OPTION_END) {
            return BootpWalkEnd::EndOption;
        }
        const std::size_t lengthAt = position + 1;
        if (!area.Holds(lengthAt, 1)) {
            return BootpWalkEnd::Truncated;
        }
        const std::size_t length = area.U8(lengthAt);
        const std::size_t valueAt = lengthAt + 1;
        if (!area.Holds(valueAt, length)) {
            return BootpWalkEnd::Truncated;
        }
        const BootpOption option{position, code, area.Bytes(valueAt, length)};
        if (visitor(option) == BootpWalkStep::Stop) {
            return BootpWalkEnd::Stopped;
        }
        position = valueAt + length;
    }
    return BootpWalkEnd::Exhausted;
}

std::optional<std::span<const std::uint8_t>>
FindDiscoveryHostName(std::span<const std::uint8_t> buf) {
    std::optional<std::span<const std::uint8_t>> hostName;
    WalkBootpOptions(buf, [&](const BootpOption& option) {
        if (option.code == OPTION_HOST_NAME) {
            hostName = option.value;
        }
        return BootpWalkStep::Continue;
    });
    return hostName;
}

bool HostNameOptionMatches(std::span<const std::uint8_t> buf,
                           std::span<const std::uint8_t> remembered) {
    bool matched = false;
    WalkBootpOptions(buf, [&](const BootpOption& option) {
        if (option.code != OPTION_HOST_NAME) {
            return BootpWalkStep::Continue;
        }
        const std::size_t n = std::min(option.length(), remembered.size());
        if (std::equal(option.value.begin(), option.value.begin() + n, remembered.begin())) {
            matched = true;
            return BootpWalkStep::Stop;
        }
        return BootpWalkStep::Continue;
    });
    return matched;
}

BootRequestOptions ReadBootRequest(std::span<const std::uint8_t> buf) {
    const ByteReader area = ReceiveArea(buf);
    BootRequestOptions result;
    WalkBootpOptions(buf, [&](const BootpOption& option) {
        if (option.code == OPTION_HOST_NAME) {
            result.hostName = option.value;
            return BootpWalkStep::Stop;
        }
        if (option.code == OPTION_MESSAGE_TYPE) {
            // The type byte is read without consulting the length, so a zero
            // length yields the next byte; through the reader, past the end
            // of the datagram that byte is zero.
            result.messageType = area.U8(option.offset + OPTION_HEADER_SIZE);
        }
        return BootpWalkStep::Continue;
    });
    return result;
}
