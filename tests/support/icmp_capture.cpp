// A raw ICMP socket for the tests.
#include "tests/support/icmp_capture.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testlab {

IcmpCapture::IcmpCapture() {
    m_fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
}

IcmpCapture::~IcmpCapture() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<IcmpCapture::Message> IcmpCapture::Next(std::uint8_t type, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        pollfd pfd{m_fd, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0)
            return std::nullopt;
        std::vector<std::uint8_t> datagram(65536);
        ssize_t n = ::recv(m_fd, datagram.data(), datagram.size(), 0);
        if (n < 20)
            continue;
        datagram.resize(static_cast<std::size_t>(n));
        // IPv4 header: its length in 32-bit words in the low half of byte 0, the
        // destination at 16.
        const std::size_t headerLength = static_cast<std::size_t>(datagram[0] & 0x0F) * 4;
        if (datagram.size() <= headerLength || datagram[headerLength] != type)
            continue;
        char to[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, datagram.data() + 16, to, sizeof to);
        return Message{to, std::vector<std::uint8_t>(datagram.begin() +
                                                         static_cast<std::ptrdiff_t>(headerLength),
                                                     datagram.end())};
    }
}

} // namespace testlab
