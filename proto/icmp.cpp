// ICMP echo request and answer bytes.
#include "proto/icmp.h"

#include <algorithm>

namespace {
std::uint32_t LittleEndianAt(std::span<const std::uint8_t> bytes, std::size_t offset,
                             std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        if (offset + i < bytes.size())
            value |= std::uint32_t{bytes[offset + i]} << (8 * i);
    return value;
}

void PutLittleEndian(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value,
                     std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
} // namespace

std::uint16_t Checksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2)
        sum += std::uint32_t{bytes[i]} | std::uint32_t{bytes[i + 1]} << 8;
    if (i < bytes.size())
        sum += bytes[i];
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<std::uint16_t>(~sum);
}

std::size_t BuildEchoRequest(std::span<std::uint8_t> buffer, std::size_t dataSize,
                             std::uint16_t identifier, std::uint16_t sequence,
                             std::uint32_t timeStamp) {
    std::size_t length = dataSize + ICMP_ECHO_HEADER_SIZE;
    if (length < dataSize || length > buffer.size())
        return 0;
    std::span<std::uint8_t> message = buffer.first(length);
    std::fill(message.begin(), message.end(), ICMP_ECHO_FILL);
    std::fill(message.begin(), message.begin() + ICMP_ECHO_HEADER_SIZE, 0);
    message[0] = ICMP_ECHO_REQUEST;
    message[1] = 0;
    PutLittleEndian(message, 4, identifier, 2);
    PutLittleEndian(message, 6, sequence, 2);
    PutLittleEndian(message, 8, timeStamp, 4);
    PutLittleEndian(message, 2, Checksum(message), 2);
    return length;
}

EchoAnswer ReadEchoAnswer(std::span<const std::uint8_t> datagram) {
    EchoAnswer answer;
    if (datagram.empty())
        return answer;
    answer.ipHeaderLength = static_cast<std::size_t>(datagram[0] & 0x0F) * 4;
    if (datagram.size() < answer.ipHeaderLength + 8)
        return answer;
    answer.tooShort = false;
    std::span<const std::uint8_t> icmp = datagram.subspan(answer.ipHeaderLength);
    answer.type = icmp[0];
    answer.identifier = static_cast<std::uint16_t>(LittleEndianAt(icmp, 4, 2));
    answer.sequence = static_cast<std::uint16_t>(LittleEndianAt(icmp, 6, 2));
    answer.timeStamp = LittleEndianAt(icmp, 8, 4); // bytes past the datagram read as 0
    return answer;
}
