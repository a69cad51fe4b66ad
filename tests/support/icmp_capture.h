// The ICMP messages that reach the private network's host, caught by a raw ICMP socket of the
// test's own (ordinary BSD sockets, independent of the program's socket layer). An echo
// request the program sends to one of the workstation's own addresses comes back in through
// loopback, so it is read here as the kernel delivers it, IP header and all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testlab {

class IcmpCapture {
public:
    IcmpCapture();
    ~IcmpCapture();
    IcmpCapture(const IcmpCapture&) = delete;
    IcmpCapture& operator=(const IcmpCapture&) = delete;

    bool ok() const { return m_fd >= 0; }

    struct Message {
        std::string to;                 // the IP header's destination
        std::vector<std::uint8_t> icmp; // from the ICMP header to the datagram's end
    };
    // The next message of this ICMP type within timeoutMs.
    std::optional<Message> Next(std::uint8_t type, int timeoutMs);

    // Sends an echo request to `to` (dotted), as another program of the workstation would.
    bool SendEchoRequest(const std::string& to);

private:
    int m_fd = -1;
};

} // namespace testlab
