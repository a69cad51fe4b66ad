// The responder's reply bytes.
#include "proto/bootp_reply.h"

#include <algorithm>

void PutAddress(std::span<std::uint8_t>& cursor, const std::array<std::uint8_t, 4>& address) {
    std::copy(address.begin(), address.end(), cursor.begin());
    cursor = cursor.subspan(4);
}

void PutLong(std::uint32_t value, std::span<std::uint8_t> dest) {
    dest[0] = static_cast<std::uint8_t>(value >> 24);
    dest[1] = static_cast<std::uint8_t>(value >> 16);
    dest[2] = static_cast<std::uint8_t>(value >> 8);
    dest[3] = static_cast<std::uint8_t>(value);
}

namespace {
void PutOption(std::span<std::uint8_t>& cursor, std::uint8_t code, std::uint8_t length) {
    cursor[0] = code;
    cursor[1] = length;
    cursor = cursor.subspan(OPTION_HEADER_SIZE);
}

void PutSeconds(std::span<std::uint8_t>& cursor, std::uint8_t code, std::uint32_t seconds) {
    PutOption(cursor, code, OPTION_LENGTH_SECONDS);
    PutLong(seconds, cursor);
    cursor = cursor.subspan(4);
}
} // namespace

bool BuildBootReply(std::span<const std::uint8_t> request, const BootReplyValues& values,
                    std::span<std::uint8_t, BOOTP_REPLY_SIZE> reply) {
    std::uint8_t answerType = 0;
    if (values.requestType == DHCPDISCOVER)
        answerType = DHCPOFFER;
    else if (values.requestType == DHCPREQUEST)
        answerType = DHCPACK;
    else if (values.requestType != BOOTP_NO_MESSAGE_TYPE)
        return false;

    std::fill(reply.begin(), reply.end(), 0);
    std::size_t fixed = std::min<std::size_t>(request.size(), BOOTP_PACKET::OPTIONS);
    std::copy_n(request.begin(), fixed, reply.begin());

    reply[BOOTP_PACKET::OP] = BOOTREPLY;
    reply[BOOTP_PACKET::SECS] = 0;
    reply[BOOTP_PACKET::SECS + 1] = 0;
    std::copy(values.yourAddress.begin(), values.yourAddress.end(),
              reply.begin() + BOOTP_PACKET::YIADDR);
    std::copy(values.serverAddress.begin(), values.serverAddress.end(),
              reply.begin() + BOOTP_PACKET::SIADDR);

    std::span<std::uint8_t> cursor = std::span<std::uint8_t>(reply).subspan(BOOTP_PACKET::OPTIONS);
    PutOption(cursor, OPTION_SUBNET_MASK, OPTION_LENGTH_ADDRESS);
    PutAddress(cursor, values.subnetMask);
    PutOption(cursor, OPTION_ROUTER, OPTION_LENGTH_ADDRESS);
    PutAddress(cursor, values.router);
    if (answerType != 0) {
        PutOption(cursor, OPTION_MESSAGE_TYPE, OPTION_LENGTH_MESSAGE_TYPE);
        cursor[0] = answerType;
        cursor = cursor.subspan(1);
        PutOption(cursor, OPTION_SERVER_ID, OPTION_LENGTH_ADDRESS);
        PutAddress(cursor, values.serverAddress);
        PutSeconds(cursor, OPTION_LEASE_TIME, LEASE_TIME_SECONDS);
        PutSeconds(cursor, OPTION_RENEWAL_TIME, RENEWAL_TIME_SECONDS);
        PutSeconds(cursor, OPTION_REBINDING_TIME, REBINDING_TIME_SECONDS);
    }
    cursor[0] = OPTION_END;
    return true;
}
