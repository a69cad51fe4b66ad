// Hardware-address text for BOOTP clients (chaddr, RFC 951 / RFC 2131).
#include "proto/hwaddr.h"

#include "proto/bootp.h"

static_assert(HWADDR_TEXT_LENGTH == 3 * BOOTP_PACKET::HWADDR_SIZE - 1);

void FormatHardwareAddress(std::span<const std::uint8_t, 6> hw, std::span<char, 18> text) {
    // One spelling per address, so equal addresses always give equal text.
    constexpr char digits[] = "0123456789ABCDEF";
    std::size_t out = 0;
    for (std::size_t i = 0; i < hw.size(); ++i) {
        if (i != 0) {
            text[out++] = '-';
        }
        text[out++] = digits[hw[i] >> 4];
        text[out++] = digits[hw[i] & 0x0F];
    }
}
