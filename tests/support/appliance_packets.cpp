// The appliance's packets, byte by byte at named offsets.
#include "tests/support/appliance_packets.h"

#include <algorithm>
#include <cstring>

namespace testlab {

namespace {
// Discovery answer.
constexpr std::size_t kReplyNameField = 40;
constexpr std::size_t kReplyHwAddr = 40;
constexpr std::size_t kReplySize = 46;

// BOOTP fixed part (RFC 951) and the DHCP cookie (RFC 2131).
constexpr std::size_t kOp = 0;
constexpr std::size_t kHtype = 1;
constexpr std::size_t kHlen = 2;
constexpr std::size_t kHops = 3;
constexpr std::size_t kXid = 4;
constexpr std::size_t kSecs = 8;
constexpr std::size_t kFlags = 10;
constexpr std::size_t kCiaddr = 12;
constexpr std::size_t kGiaddr = 24;
constexpr std::size_t kChaddr = 28;
constexpr std::size_t kChaddrSize = 16;
constexpr std::size_t kFile = 108;
constexpr std::size_t kCookie = 236;
constexpr std::size_t kOptions = 240;
constexpr std::size_t kFullSize = 548;

constexpr std::uint8_t kOptionMessageType = 53;
constexpr std::uint8_t kDhcpDiscover = 1;
constexpr std::uint8_t kOptionEnd = 255;

// A constant, not a vector: requests are built by the tests' static tables too, before
// this file's dynamic initialisers may have run.
constexpr std::array<std::uint8_t, 6> kDefaultChaddr{0x00, 0x0A, 0x1B, 0xFF, 0x20, 0x3C};

// Writes bytes at an offset of a buffer that may be shorter than the full request, so
// that a cut request loses exactly what lies past its end.
void Put(Bytes& out, std::size_t offset, const Bytes& bytes) {
    for (std::size_t i = 0; i < bytes.size() && offset + i < out.size(); ++i)
        out[offset + i] = bytes[i];
}

Bytes TextBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
} // namespace

Bytes DiscoveryReply(const std::string& hostName) {
    Bytes out(kReplySize, 0);
    std::size_t n = std::min(hostName.size(), kReplyNameField - 1);
    std::memcpy(out.data(), hostName.data(), n);
    Put(out, kReplyHwAddr, Bytes(kDefaultChaddr.begin(), kDefaultChaddr.end()));
    return out;
}

BootpRequest::BootpRequest() : m_chaddr(kDefaultChaddr.begin(), kDefaultChaddr.end()) {
    m_options = {kOptionMessageType, 1, kDhcpDiscover};
}

BootpRequest& BootpRequest::Op(std::uint8_t op) {
    m_op = op;
    return *this;
}

BootpRequest& BootpRequest::HardwareLength(std::uint8_t hlen) {
    m_hlen = hlen;
    return *this;
}

BootpRequest& BootpRequest::Chaddr(const Bytes& bytes) {
    m_chaddr.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(bytes.size(), kChaddrSize)));
    return *this;
}

BootpRequest& BootpRequest::Cookie(std::array<std::uint8_t, 4> cookie) {
    m_cookie = cookie;
    return *this;
}

BootpRequest& BootpRequest::WithoutMarkerInFile() {
    m_markerInFile = false;
    return *this;
}

BootpRequest& BootpRequest::Option(std::uint8_t code, const std::string& value) {
    m_options.push_back(code);
    m_options.push_back(static_cast<std::uint8_t>(value.size()));
    m_options.insert(m_options.end(), value.begin(), value.end());
    return *this;
}

BootpRequest& BootpRequest::Size(std::size_t size) {
    m_size = size;
    return *this;
}

BootpRequest& BootpRequest::Hops(std::uint8_t hops) {
    m_hops = hops;
    return *this;
}

BootpRequest& BootpRequest::Xid(std::array<std::uint8_t, 4> xid) {
    m_xid = xid;
    return *this;
}

BootpRequest& BootpRequest::Secs(std::uint16_t secs) {
    m_secs = secs;
    return *this;
}

BootpRequest& BootpRequest::Flags(std::uint16_t flags) {
    m_flags = flags;
    return *this;
}

BootpRequest& BootpRequest::Ciaddr(std::array<std::uint8_t, 4> address) {
    m_ciaddr = address;
    return *this;
}

BootpRequest& BootpRequest::Giaddr(std::array<std::uint8_t, 4> address) {
    m_giaddr = address;
    return *this;
}

BootpRequest& BootpRequest::MessageType(std::uint8_t type) {
    if (m_leadingType)
        m_options[2] = type;
    else
        m_options.insert(m_options.begin(), {kOptionMessageType, 1, type});
    m_leadingType = true;
    return *this;
}

BootpRequest& BootpRequest::WithoutMessageType() {
    if (m_leadingType)
        m_options.erase(m_options.begin(), m_options.begin() + 3);
    m_leadingType = false;
    return *this;
}

Bytes BootpRequest::Build() const {
    Bytes out(std::max(m_size, kFullSize), 0);
    out[kOp] = m_op;
    out[kHtype] = 1; // Ethernet
    out[kHlen] = m_hlen;
    out[kHops] = m_hops;
    Put(out, kXid, Bytes(m_xid.begin(), m_xid.end()));
    Put(out, kSecs, {static_cast<std::uint8_t>(m_secs >> 8), static_cast<std::uint8_t>(m_secs)});
    Put(out, kFlags, {static_cast<std::uint8_t>(m_flags >> 8), static_cast<std::uint8_t>(m_flags)});
    Put(out, kCiaddr, Bytes(m_ciaddr.begin(), m_ciaddr.end()));
    Put(out, kGiaddr, Bytes(m_giaddr.begin(), m_giaddr.end()));
    Put(out, kChaddr, m_chaddr);
    if (m_markerInFile)
        Put(out, kFile, TextBytes(kApplianceMarker));
    Put(out, kCookie, Bytes(m_cookie.begin(), m_cookie.end()));
    Bytes options = m_options;
    options.push_back(kOptionEnd);
    Put(out, kOptions, options);
    out.resize(m_size);
    return out;
}

} // namespace testlab
