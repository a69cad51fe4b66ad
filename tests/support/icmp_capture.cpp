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

bool IcmpCapture::SendEchoRequest(const std::string& to) {
    // Type 8, code 0, identifier 0x7E57, sequence 1; checksum over the 8 bytes.
    std::uint8_t request[8] = {8, 0, 0, 0, 0x7E, 0x57, 0, 1};
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < sizeof request; i += 2)
        sum += std::uint32_t{request[i]} << 8 | request[i + 1];
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    request[2] = static_cast<std::uint8_t>(~sum >> 8);
    request[3] = static_cast<std::uint8_t>(~sum & 0xFF);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (::inet_pton(AF_INET, to.c_str(), &address.sin_addr) != 1)
        return false;
    return ::sendto(m_fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&address),
                    sizeof address) == static_cast<ssize_t>(sizeof request);
}

} // namespace testlab
