// The 300-byte BOOTP/DHCP reply of the one-shot responder (RFC 951 size, RFC 2131 use,
// RFC 2132 options); the layout is drawn in proto/bootp.h.
#pragma once

#include "proto/bootp.h"

#include <array>
#include <cstdint>
#include <span>

struct BootReplyValues {
    std::array<std::uint8_t, 4> yourAddress{};   // yiaddr: the address being assigned
    std::array<std::uint8_t, 4> serverAddress{}; // siaddr and option 54
    std::array<std::uint8_t, 4> subnetMask{};    // option 1
    std::array<std::uint8_t, 4> router{};        // option 3
    // The request's DHCP message type, BOOTP_NO_MESSAGE_TYPE for a plain BOOTP request.
    // DHCPDISCOVER is answered with DHCPOFFER, DHCPREQUEST with DHCPACK.
    int requestType = BOOTP_NO_MESSAGE_TYPE;
};

// Writes an address as its four network-order bytes at the cursor and advances it.
void PutAddress(std::span<std::uint8_t>& cursor, const std::array<std::uint8_t, 4>& address);
// Writes a 32-bit value big-endian at the start of dest; moves nothing.
void PutLong(std::uint32_t value, std::span<std::uint8_t> dest);

// The reply to `request` (at least its first 240 bytes are copied; bytes the span does not
// hold read as zero): op 2, secs 0, yiaddr and siaddr from the values, every other field of
// the fixed part and the cookie as the request has them; options 1 and 3, then for a DHCP
// request 53, 54, 51, 58 and 59; End; zeros to the end. Returns false, writing nothing, for
// a DHCP message type other than DHCPDISCOVER and DHCPREQUEST: nothing sensible answers a
// release, a decline or an inform with an address.
bool BuildBootReply(std::span<const std::uint8_t> request, const BootReplyValues& values,
                    std::span<std::uint8_t, BOOTP_REPLY_SIZE> reply);
