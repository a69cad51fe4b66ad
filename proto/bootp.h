// BOOTP/DHCP message layout and the read-only operations the server applies
// to a received datagram: recognising a request, searching for our own
// marker, walking the options, and the three option readers built on the walk.
//
// Relies on RFC 951 (BOOTP message layout), RFC 2131 (DHCP over BOOTP: magic
// cookie, broadcast flag, message types) and RFC 2132 (option encoding and
// codes).
//
// Everything here is pure. Functions take the datagram as a span of any length
// and never read past its end. The request test, the marker search and the
// message-type byte read a byte the span does not hold as zero, exactly as in
// the zero-cleared 548-byte receive buffer; the option walk does not: it ends
// at the span's end, and an option cut there is not handed on (see the walk).
// The program's readers pass the whole receive buffer, where the two agree.
// Packet bytes are only ever read one at a time at a named offset, never
// reinterpreted as a struct.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

/*
 * Message layout (RFC 951, cookie from RFC 2131). Offsets in bytes; multi-byte
 * numbers are big-endian.
 *
 *     0        1        2        3
 *   +--------+--------+--------+--------+
 *   |   op   | htype  |  hlen  |  hops  |    0
 *   +--------+--------+--------+--------+
 *   |                xid                |    4
 *   +-----------------+-----------------+
 *   |      secs       |      flags      |    8   flags bit 15 = broadcast
 *   +-----------------+-----------------+
 *   |              ciaddr               |   12
 *   |              yiaddr               |   16
 *   |              siaddr               |   20
 *   |              giaddr               |   24
 *   +-----------------------------------+
 *   |           chaddr (16)             |   28   bytes 28..33: the 6-byte
 *   +-----------------------------------+        hardware address, whatever
 *   |           sname (64)              |   44   hlen says
 *   +-----------------------------------+
 *   |           file (128)              |  108
 *   +-----------------------------------+
 *   |       cookie 99.130.83.99         |  236
 *   +-----------------------------------+
 *   |           options                 |  240   308 bytes in a request,
 *   +-----------------------------------+         60 in a reply
 */
struct BOOTP_PACKET {
    static constexpr std::size_t OP = 0;
    static constexpr std::size_t HTYPE = 1;
    static constexpr std::size_t HLEN = 2;
    static constexpr std::size_t HOPS = 3;
    static constexpr std::size_t XID = 4;
    static constexpr std::size_t XID_SIZE = 4;
    static constexpr std::size_t SECS = 8;
    static constexpr std::size_t SECS_SIZE = 2;
    static constexpr std::size_t FLAGS = 10;
    static constexpr std::size_t FLAGS_SIZE = 2;
    static constexpr std::size_t CIADDR = 12;
    static constexpr std::size_t YIADDR = 16;
    static constexpr std::size_t SIADDR = 20;
    static constexpr std::size_t GIADDR = 24;
    static constexpr std::size_t ADDR_SIZE = 4;
    static constexpr std::size_t CHADDR = 28;
    static constexpr std::size_t CHADDR_SIZE = 16;
    static constexpr std::size_t HWADDR_SIZE = 6; // the part of chaddr we use
    static constexpr std::size_t SNAME = 44;
    static constexpr std::size_t SNAME_SIZE = 64;
    static constexpr std::size_t BOOTFILE = 108;
    static constexpr std::size_t BOOTFILE_SIZE = 128;
    static constexpr std::size_t COOKIE = 236;
    static constexpr std::size_t COOKIE_SIZE = 4;
    static constexpr std::size_t OPTIONS = 240;
    static constexpr std::size_t OPTIONS_REQUEST_SIZE = 308;
    static constexpr std::size_t OPTIONS_REPLY_SIZE = 60;
};

// The fields follow one another with no gaps; a typo in an offset fails here.
static_assert(BOOTP_PACKET::SECS == BOOTP_PACKET::XID + BOOTP_PACKET::XID_SIZE);
static_assert(BOOTP_PACKET::FLAGS == BOOTP_PACKET::SECS + BOOTP_PACKET::SECS_SIZE);
static_assert(BOOTP_PACKET::CIADDR == BOOTP_PACKET::FLAGS + BOOTP_PACKET::FLAGS_SIZE);
static_assert(BOOTP_PACKET::CHADDR == BOOTP_PACKET::GIADDR + BOOTP_PACKET::ADDR_SIZE);
static_assert(BOOTP_PACKET::SNAME == BOOTP_PACKET::CHADDR + BOOTP_PACKET::CHADDR_SIZE);
static_assert(BOOTP_PACKET::BOOTFILE == BOOTP_PACKET::SNAME + BOOTP_PACKET::SNAME_SIZE);
static_assert(BOOTP_PACKET::COOKIE == BOOTP_PACKET::BOOTFILE + BOOTP_PACKET::BOOTFILE_SIZE);
static_assert(BOOTP_PACKET::OPTIONS == BOOTP_PACKET::COOKIE + BOOTP_PACKET::COOKIE_SIZE);

// Receive buffer: fixed part, cookie and the 308-byte request option area.
inline constexpr std::size_t BOOTP_RECV_SIZE = 548;
// Reply: fixed part plus a 64-byte vendor area (cookie + 60 bytes of options).
inline constexpr std::size_t BOOTP_REPLY_SIZE = 300;
static_assert(BOOTP_RECV_SIZE == BOOTP_PACKET::OPTIONS + BOOTP_PACKET::OPTIONS_REQUEST_SIZE);
static_assert(BOOTP_REPLY_SIZE == BOOTP_PACKET::OPTIONS + BOOTP_PACKET::OPTIONS_REPLY_SIZE);

// op values (RFC 951).
inline constexpr std::uint8_t BOOTREQUEST = 1;
inline constexpr std::uint8_t BOOTREPLY = 2;

// Magic cookie (RFC 2131 section 3): the bytes on the wire, and the same four
// bytes read as one little-endian 32-bit value.
inline constexpr std::array<std::uint8_t, 4> BOOTP_COOKIE_BYTES{99, 130, 83, 99};
inline constexpr std::uint32_t BOOTP_COOKIE = 0x63538263;
static_assert(BOOTP_COOKIE ==
              (std::uint32_t{BOOTP_COOKIE_BYTES[0]} | std::uint32_t{BOOTP_COOKIE_BYTES[1]} << 8 |
               std::uint32_t{BOOTP_COOKIE_BYTES[2]} << 16 |
               std::uint32_t{BOOTP_COOKIE_BYTES[3]} << 24));

// Marker text looked for from the file field onward. Only the first
// BOOTP_MARKER_MATCH_LENGTH characters are compared, so whatever follows
// them (the final '2' or anything else) does not matter.
inline constexpr char BOOTP_MARKER[] = "Kestova Vellumcrest2";
inline constexpr std::size_t BOOTP_MARKER_MATCH_LENGTH = 19;
// Search window for the marker's first byte: from the start of file to the
// last start whose compared bytes still fit in the receive buffer.
inline constexpr std::size_t BOOTP_MARKER_FIRST_START = BOOTP_PACKET::BOOTFILE;
inline constexpr std::size_t BOOTP_MARKER_LAST_START = BOOTP_RECV_SIZE - BOOTP_MARKER_MATCH_LENGTH;
static_assert(sizeof(BOOTP_MARKER) - 1 == 20);
static_assert(BOOTP_MARKER_LAST_START == 529);

// Option codes (RFC 2132).
inline constexpr std::uint8_t OPTION_PAD = 0;
inline constexpr std::uint8_t OPTION_SUBNET_MASK = 1;
inline constexpr std::uint8_t OPTION_ROUTER = 3;
inline constexpr std::uint8_t OPTION_HOST_NAME = 12;
inline constexpr std::uint8_t OPTION_LEASE_TIME = 51;
inline constexpr std::uint8_t OPTION_MESSAGE_TYPE = 53;
inline constexpr std::uint8_t OPTION_SERVER_ID = 54;
inline constexpr std::uint8_t OPTION_RENEWAL_TIME = 58;
inline constexpr std::uint8_t OPTION_REBINDING_TIME = 59;
inline constexpr std::uint8_t OPTION_END = 255;

// DHCP message types carried in option 53 (RFC 2132 section 9.6).
inline constexpr std::uint8_t DHCPDISCOVER = 1;
inline constexpr std::uint8_t DHCPOFFER = 2;
inline constexpr std::uint8_t DHCPREQUEST = 3;
inline constexpr std::uint8_t DHCPACK = 5;

// byte 0 is BOOTREQUEST and bytes 236..239 are the magic cookie. A datagram
// too short to hold the cookie is not a request.
bool IsBootRequest(std::span<const std::uint8_t> buf);

// True if the first BOOTP_MARKER_MATCH_LENGTH characters of BOOTP_MARKER occur,
// case-sensitively, starting anywhere from offset 108 to 529. The match may run
// from file across the cookie into the options. Only starts whose compared
// bytes lie inside both the span and the 548-byte receive area count.
bool HasBootpMarker(std::span<const std::uint8_t> buf);

/*
 * Option walk (RFC 2132 section 2). From offset 240:
 *
 *   +------+                      +------+
 *   |  0   |  Pad: skip one byte  | 255  |  End: stop
 *   +------+                      +------+
 *   +------+------+----------------------+
 *   | code | len  | value (len bytes)    |  anything else
 *   +------+------+----------------------+
 *
 * Only the 548-byte receive area is walked, even if the span is longer.
 *
 * Truncation: an option whose length byte or value would reach past offset
 * 547 or past the span's end is not handed to the visitor and ends the walk.
 * A truncated value is not a value the peer sent; passing on the part that
 * happens to fit (or zeros from the cleared buffer) would make us act on bytes
 * the peer never chose.
 */
struct BootpOption {
    std::size_t offset; // of the code byte within the datagram
    std::uint8_t code;
    std::span<const std::uint8_t> value; // inside the datagram
    std::size_t length() const { return value.size(); }
};

enum class BootpWalkStep { Continue, Stop };

// Why a walk ended; lets a caller tell a well-formed option area from a cut one.
enum class BootpWalkEnd {
    EndOption, // met option 255
    Stopped,   // the visitor asked to stop
    Exhausted, // ran out of bytes between options (trailing pads count here)
    Truncated, // an option's length byte or value did not fit; see above
};

using BootpOptionVisitor = std::function<BootpWalkStep(const BootpOption&)>;

BootpWalkEnd WalkBootpOptions(std::span<const std::uint8_t> buf, const BootpOptionVisitor& visitor);

// Discovery: the value of the last option 12 before End or the end of the
// walk; a later option 12 replaces an earlier one.
std::optional<std::span<const std::uint8_t>>
FindDiscoveryHostName(std::span<const std::uint8_t> buf);

// The responder's host-name check: true if some option 12 before End has a
// value equal to the remembered name over the value's length. `remembered` is
// the whole field the name is kept in, compared byte for byte as it stands, so
// a value shorter than the name matches its beginning and an option 12 of
// length 0 always matches. A value longer than the field is compared over the
// field: that part of it is all that could have been remembered.
bool HostNameOptionMatches(std::span<const std::uint8_t> buf,
                           std::span<const std::uint8_t> remembered);

inline constexpr int BOOTP_NO_MESSAGE_TYPE = -1;

struct BootRequestOptions {
    std::optional<std::span<const std::uint8_t>> hostName;
    int messageType = BOOTP_NO_MESSAGE_TYPE;
};

// Request handling: the first option 12 supplies the host name and ends the
// walk, so a message type that follows it is never seen. For option 53 the
// byte after the length byte is the type whatever the length says; a later 53
// replaces an earlier one. With a length of 0 that byte is the next option's
// code, or zero if the datagram ends there.
BootRequestOptions ReadBootRequest(std::span<const std::uint8_t> buf);

/*
 * Reply vendor area, offsets within the 300-byte reply (RFC 2132 encodings):
 *
 *   240 01 04 mask          Subnet Mask
 *   246 03 04 router        Router
 *   252 35 01 type          DHCP Message Type
 *   255 36 04 server        Server Identifier
 *   261 33 04 00 27 8D 00   Lease Time       2592000 s
 *   267 3A 04 00 13 C6 80   Renewal (T1)     1296000 s
 *   273 3B 04 00 22 9B 60   Rebinding (T2)   2268000 s
 *   279 FF                  End, zeros 280..299
 *
 * A plain BOOTP reply (no message type) stops after Router: End at 252, zeros
 * 253..299.
 */
inline constexpr std::size_t OPTION_HEADER_SIZE = 2; // code + length
inline constexpr std::uint8_t OPTION_LENGTH_ADDRESS = 4;
inline constexpr std::uint8_t OPTION_LENGTH_SECONDS = 4;
inline constexpr std::uint8_t OPTION_LENGTH_MESSAGE_TYPE = 1;

inline constexpr std::size_t REPLY_OFFSET_MASK = 240;
inline constexpr std::size_t REPLY_OFFSET_ROUTER = 246;
inline constexpr std::size_t REPLY_OFFSET_MESSAGE_TYPE = 252;
inline constexpr std::size_t REPLY_OFFSET_SERVER_ID = 255;
inline constexpr std::size_t REPLY_OFFSET_LEASE_TIME = 261;
inline constexpr std::size_t REPLY_OFFSET_RENEWAL_TIME = 267;
inline constexpr std::size_t REPLY_OFFSET_REBINDING_TIME = 273;
inline constexpr std::size_t REPLY_OFFSET_END = 279;
inline constexpr std::size_t REPLY_OFFSET_END_NO_TYPE = 252;

inline constexpr std::uint32_t LEASE_TIME_SECONDS = 2592000;     // 30 days
inline constexpr std::uint32_t RENEWAL_TIME_SECONDS = 1296000;   // half the lease
inline constexpr std::uint32_t REBINDING_TIME_SECONDS = 2268000; // 7/8 of the lease

// Each option starts where the previous one ends, and End fits in the reply.
static_assert(REPLY_OFFSET_MASK == BOOTP_PACKET::OPTIONS);
static_assert(REPLY_OFFSET_ROUTER ==
              REPLY_OFFSET_MASK + OPTION_HEADER_SIZE + OPTION_LENGTH_ADDRESS);
static_assert(REPLY_OFFSET_MESSAGE_TYPE ==
              REPLY_OFFSET_ROUTER + OPTION_HEADER_SIZE + OPTION_LENGTH_ADDRESS);
static_assert(REPLY_OFFSET_END_NO_TYPE == REPLY_OFFSET_MESSAGE_TYPE);
static_assert(REPLY_OFFSET_SERVER_ID ==
              REPLY_OFFSET_MESSAGE_TYPE + OPTION_HEADER_SIZE + OPTION_LENGTH_MESSAGE_TYPE);
static_assert(REPLY_OFFSET_LEASE_TIME ==
              REPLY_OFFSET_SERVER_ID + OPTION_HEADER_SIZE + OPTION_LENGTH_ADDRESS);
static_assert(REPLY_OFFSET_RENEWAL_TIME ==
              REPLY_OFFSET_LEASE_TIME + OPTION_HEADER_SIZE + OPTION_LENGTH_SECONDS);
static_assert(REPLY_OFFSET_REBINDING_TIME ==
              REPLY_OFFSET_RENEWAL_TIME + OPTION_HEADER_SIZE + OPTION_LENGTH_SECONDS);
static_assert(REPLY_OFFSET_END ==
              REPLY_OFFSET_REBINDING_TIME + OPTION_HEADER_SIZE + OPTION_LENGTH_SECONDS);
static_assert(REPLY_OFFSET_END < BOOTP_REPLY_SIZE);
static_assert(LEASE_TIME_SECONDS == 0x00278D00);
static_assert(RENEWAL_TIME_SECONDS == 0x0013C680);
static_assert(REBINDING_TIME_SECONDS == 0x00229B60);
