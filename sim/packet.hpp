// Byte layouts the simulated appliance puts on the wire: the 46-byte answer to
// a discovery probe, the BOOTP/DHCP request of an appliance without an address,
// and the IPv4/UDP/Ethernet framing that request needs when sent from a packet
// socket; and the reading side of the workstation's BOOTP/DHCP reply. Written
// independently of the application's own protocol code on purpose, with every
// offset spelled out, so the two can check each other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;

inline constexpr std::size_t kReplyNameField = 40;
inline constexpr std::size_t kReplySize = 46;

// Appends big-endian integers; writes at fixed offsets grow the buffer as
// needed so layouts can be expressed as "field X lives at offset Y".
class ByteWriter {
public:
    explicit ByteWriter(std::size_t size = 0) : buf_(size, 0) {}

    void put8(std::uint8_t v) { buf_.push_back(v); }
    void put16(std::uint16_t v);
    void put32(std::uint32_t v);
    void put(const Bytes& b) { buf_.insert(buf_.end(), b.begin(), b.end()); }

    void set8(std::size_t off, std::uint8_t v);
    void set16(std::size_t off, std::uint16_t v);
    void set32(std::size_t off, std::uint32_t v);
    void set(std::size_t off, const std::uint8_t* p, std::size_t n);
    void set(std::size_t off, const Bytes& b) { set(off, b.data(), b.size()); }

    std::size_t size() const { return buf_.size(); }
    Bytes take() { return std::move(buf_); }

private:
    Bytes buf_;
};

struct ReplyConfig {
    Bytes name;
    Mac hw{};
    // Fill the whole name field with (repeated) name bytes, leaving no NUL.
    bool no_nul = false;
    // Final datagram length; shorter cuts, longer zero-extends.
    std::optional<std::size_t> length;
};

Bytes build_probe_reply(const ReplyConfig& cfg);

enum class MarkerPlace { File, Option, At, None };

struct BootpConfig {
    std::uint8_t op = 1;
    std::uint32_t xid = 0;
    std::uint8_t message_type = 1; // option 53: 1 DISCOVER, 3 REQUEST
    // Options 50 and 54, which a REQUEST that follows an offer carries.
    std::optional<std::uint32_t> requested_address;
    std::optional<std::uint32_t> server_id;
    Mac hw{};
    Bytes name;
    int name_option_count = 1;
    Bytes second_name; // value of the 2nd+ option 12 and of the one after End
    bool option_after_end = false;
    bool bad_cookie = false;
    MarkerPlace marker_place = MarkerPlace::File;
    std::uint8_t marker_option = 60;
    std::size_t marker_offset = 0; // for MarkerPlace::At
    Bytes marker;
    // Total BOOTP length; unset means 548, or more if the options need it.
    std::optional<std::size_t> length;
};

inline constexpr std::size_t kBootpDefaultSize = 548;
inline constexpr std::size_t kBootpFileOffset = 108;

Bytes build_bootp(const BootpConfig& cfg);

// Internet checksum (RFC 1071) over data, seeded with a partial sum.
std::uint16_t inet_checksum(const std::uint8_t* data, std::size_t len, std::uint32_t seed = 0);

// Ethernet + IPv4 + UDP around payload, as a client without an address sends
// it: 0.0.0.0:src_port -> 255.255.255.255:dst_port, ff:ff:ff:ff:ff:ff.
Bytes build_broadcast_frame(const Mac& eth_src, std::uint16_t ip_id, std::uint16_t src_port,
                            std::uint16_t dst_port, const Bytes& payload);

// An IPv4/UDP datagram as read from a packet socket, headers checked.
struct UdpDatagram {
    std::uint32_t src = 0;
    std::uint32_t dst = 0;
    std::uint16_t src_port = 0;
    std::uint16_t dst_port = 0;
    Bytes payload;
};

// Reads an IPv4 packet (starting at its IPv4 header). Returns an explanation
// instead when the packet is not a whole, well-formed UDP datagram. The UDP
// checksum is only checked when udp_checksum_final: a packet that never left
// the machine (veth) may still carry the partial sum that checksum offloading
// leaves for hardware that is not there.
struct UdpParse {
    std::optional<UdpDatagram> datagram;
    std::string error;
};
UdpParse parse_ipv4_udp(const Bytes& packet, bool udp_checksum_final);

// The fields of a BOOTP/DHCP reply that a client acts on.
struct BootpReply {
    std::uint8_t op = 0;
    std::uint32_t xid = 0;
    Mac chaddr{}; // first 6 bytes of the field
    std::uint32_t yiaddr = 0;
    std::uint32_t siaddr = 0;
    bool cookie_ok = false;
    // First occurrence of each option; unset when absent.
    std::optional<std::uint8_t> message_type; // 53
    std::optional<Bytes> mask;                // 1
    std::optional<Bytes> router;              // 3
    std::optional<Bytes> server_id;           // 54
};

// reply is unset only when the payload is too short for a BOOTP header and
// cookie. error is set as well when the options cannot be trusted (one runs
// past the end, option 53 is not 1 byte, no End option); reply then still
// holds the header fields, so the client can tell whether the answer was
// meant for it. Options are only read when the cookie is right.
struct BootpParse {
    std::optional<BootpReply> reply;
    std::string error;
};
BootpParse parse_bootp_reply(const Bytes& payload);

} // namespace sim
