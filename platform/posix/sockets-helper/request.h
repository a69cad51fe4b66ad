// The one request the program sends tavisol-sockets: a single line of ASCII, alone in one
// datagram of the socket pair between them.
//
//   request   = "TAVISOL-SOCKETS/1 " kind LF
//   kind      = "bootps"               a UDP socket bound to 0.0.0.0 port 67
//             | "icmp"                 a raw ICMP socket (AF_INET, SOCK_RAW, IPPROTO_ICMP)
//             | "arp " interface       an AF_PACKET/SOCK_DGRAM socket for ETH_P_ARP frames,
//                                      bound to that interface
//   interface = 1 to 15 of A-Z a-z 0-9 "." "_" "-", not "." or ".."
//
// Nothing else is a request: no other spelling, no second line, no byte after the LF. The
// reader is pure, so that it can be fuzzed and tested as bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tvhelper {

enum class SocketKind { BootpServer, RawIcmp, ArpPacket };

struct SocketRequest {
    SocketKind kind;
    std::string interface; // ArpPacket only
};

// Longest request there is ("arp" and a 15-character name); anything longer is refused.
constexpr std::size_t kMaxRequestBytes = 40;
constexpr std::size_t kMaxInterfaceName = 15; // IFNAMSIZ less the terminator

// A request, or else why it is refused, in words fit for a message.
struct RequestReading {
    std::optional<SocketRequest> request;
    std::string refusal;
};

RequestReading ReadRequest(std::span<const unsigned char> datagram);

// The request's one spelling; ReadRequest reads it back as it was.
std::string WriteRequest(const SocketRequest& request);

bool IsValidInterfaceName(std::string_view name);

} // namespace tvhelper
