// A UDP peer for tests: plays an appliance (or anything else on the LAN) with ordinary
// BSD sockets, independent of the program's socket layer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testlab {

using Bytes = std::vector<std::uint8_t>;

class UdpPeer {
public:
    // Binds to address:port (port 0: any), with SO_REUSEADDR and SO_BROADCAST. A datagram to
    // 255.255.255.255 leaves by the interface that holds the bound address.
    UdpPeer(const std::string& address, int port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool ok() const { return m_fd >= 0; }
    bool SendTo(const std::string& address, int port, const Bytes& payload);
    // Waits up to timeoutMs for one datagram; false on time-out. With arrivalIndex, also the
    // index of the interface it came in by (a broadcast of this host's own comes in by the
    // interface it went out of).
    bool Receive(Bytes& payload, std::string& fromAddress, int& fromPort, int timeoutMs,
                 unsigned* arrivalIndex = nullptr);

private:
    int m_fd = -1;
};

// True when a UDP port can be bound on all addresses right now.
bool PortIsFree(int port);

} // namespace testlab
