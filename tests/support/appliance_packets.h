// What an appliance puts on the wire, written by the tests' own byte code: the answer to the
// discovery probe, and the BOOTP/DHCP request of an appliance that has no address yet.
//
// Nothing here uses proto/: the program reads these bytes with proto/, so a wrong offset
// there must not be mirrored by the same wrong offset here. Offsets are spelt out from
// RFC 951 (fixed part), RFC 2131 (magic cookie) and RFC 2132 (options).
#pragma once

#include "tests/support/udp_peer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace testlab {

// The answer to the probe: the host name, NUL-terminated, in a 40-byte field, then the
// six-byte hardware address; 46 bytes in all.
Bytes DiscoveryReply(const std::string& hostName);

/*
 * A request as the appliances broadcast it, 548 bytes unless told otherwise:
 *
 *     0  op (1)          1  htype (1)        2  hlen (6)          3  hops
 *     4  xid             8  secs            10  flags (broadcast)
 *    12  ciaddr         16  yiaddr          20  siaddr           24  giaddr
 *    28  chaddr, 16 bytes: the hardware address in the first six
 *    44  sname, 64 bytes
 *   108  file, 128 bytes: the family's marker text by default
 *   236  cookie 63 82 53 63
 *   240  options: 53 (DHCPDISCOVER unless told), then those added, then End; zeros after
 */
class BootpRequest {
public:
    BootpRequest();

    BootpRequest& Op(std::uint8_t op);
    BootpRequest& HardwareLength(std::uint8_t hlen);
    // Up to 16 bytes of chaddr; the rest stays zero.
    BootpRequest& Chaddr(const Bytes& bytes);
    BootpRequest& Cookie(std::array<std::uint8_t, 4> cookie);
    // Leaves the marker out of the file field (it may still come in an option).
    BootpRequest& WithoutMarkerInFile();
    // Appends an option after those already added; the value's length is its length byte.
    BootpRequest& Option(std::uint8_t code, const std::string& value);
    BootpRequest& HostName(const std::string& name) { return Option(12, name); }
    // The datagram's length: shorter cuts the bytes off, longer pads with zeros.
    BootpRequest& Size(std::size_t size);
    // Fields that a server copies into its reply. Unless told: hops 0, xid 5A 17 C0 DE,
    // secs 0, flags 80 00 (broadcast), ciaddr and giaddr 0.0.0.0.
    BootpRequest& Hops(std::uint8_t hops);
    BootpRequest& Xid(std::array<std::uint8_t, 4> xid);
    BootpRequest& Secs(std::uint16_t secs);
    BootpRequest& Flags(std::uint16_t flags);
    BootpRequest& Ciaddr(std::array<std::uint8_t, 4> address);
    BootpRequest& Giaddr(std::array<std::uint8_t, 4> address);
    // The value of the leading option 53 (DHCPDISCOVER unless told); or no leading option 53,
    // so that a type can only come from an option added later, or not at all.
    BootpRequest& MessageType(std::uint8_t type);
    BootpRequest& WithoutMessageType();

    Bytes Build() const;

private:
    std::uint8_t m_op = 1;
    std::uint8_t m_hlen = 6;
    Bytes m_chaddr;
    std::array<std::uint8_t, 4> m_cookie{0x63, 0x82, 0x53, 0x63};
    bool m_markerInFile = true;
    Bytes m_options; // encoded, without End
    std::size_t m_size = 548;
    std::uint8_t m_hops = 0;
    std::array<std::uint8_t, 4> m_xid{0x5A, 0x17, 0xC0, 0xDE};
    std::uint16_t m_secs = 0;
    std::uint16_t m_flags = 0x8000;
    std::array<std::uint8_t, 4> m_ciaddr{};
    std::array<std::uint8_t, 4> m_giaddr{};
    bool m_leadingType = true; // m_options starts with 53, 1, type
};

// The family's marker text, as the appliances write it.
inline constexpr const char* kApplianceMarker = "Kestova Vellumcrest2";

} // namespace testlab
