// Builds the simulator's datagrams byte by byte. Offsets are written out as
// numbers rather than derived from structs so that a reader can compare them
// against a packet dump without knowing anything about padding rules.
#include "packet.hpp"

#include <algorithm>
#include <stdexcept>

namespace sim {

void ByteWriter::put16(std::uint16_t v) {
    put8(static_cast<std::uint8_t>(v >> 8));
    put8(static_cast<std::uint8_t>(v));
}

void ByteWriter::put32(std::uint32_t v) {
    put16(static_cast<std::uint16_t>(v >> 16));
    put16(static_cast<std::uint16_t>(v));
}

void ByteWriter::set(std::size_t off, const std::uint8_t* p, std::size_t n) {
    if (buf_.size() < off + n)
        buf_.resize(off + n, 0);
    std::copy(p, p + n, buf_.begin() + static_cast<std::ptrdiff_t>(off));
}

void ByteWriter::set8(std::size_t off, std::uint8_t v) {
    set(off, &v, 1);
}

void ByteWriter::set16(std::size_t off, std::uint16_t v) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    set(off, b, 2);
}

void ByteWriter::set32(std::size_t off, std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24),
                               static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    set(off, b, 4);
}

// Reply layout: 0..39 host name (NUL-terminated, zero-padded), 40..45 MAC.
Bytes build_probe_reply(const ReplyConfig& cfg) {
    ByteWriter w(kReplySize);
    if (cfg.no_nul) {
        if (cfg.name.empty())
            throw std::invalid_argument("a NUL-free name field needs a non-empty name");
        for (std::size_t i = 0; i < kReplyNameField; ++i)
            w.set8(i, cfg.name[i % cfg.name.size()]);
    } else {
        w.set(0, cfg.name.data(), std::min(cfg.name.size(), kReplyNameField - 1));
    }
    w.set(40, cfg.hw.data(), cfg.hw.size());
    Bytes out = w.take();
    if (cfg.length)
        out.resize(*cfg.length, 0);
    return out;
}

namespace {

constexpr std::uint8_t kOptPad = 0;
constexpr std::uint8_t kOptMask = 1;
constexpr std::uint8_t kOptRouter = 3;
constexpr std::uint8_t kOptHostName = 12;
constexpr std::uint8_t kOptRequestedAddress = 50;
constexpr std::uint8_t kOptServerId = 54;
constexpr std::uint8_t kOptMessageType = 53;
constexpr std::uint8_t kOptParamRequest = 55;
constexpr std::uint8_t kOptEnd = 255;

constexpr std::uint32_t kMagicCookie = 0x63825363;

Bytes be32(std::uint32_t v) {
    return Bytes{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                 static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

std::uint16_t get16(const Bytes& b, std::size_t off) {
    return static_cast<std::uint16_t>(b[off] << 8 | b[off + 1]);
}

std::uint32_t get32(const Bytes& b, std::size_t off) {
    return static_cast<std::uint32_t>(b[off]) << 24 | static_cast<std::uint32_t>(b[off + 1]) << 16 |
           static_cast<std::uint32_t>(b[off + 2]) << 8 | b[off + 3];
}

void put_option(ByteWriter& w, std::uint8_t code, const Bytes& value) {
    if (value.size() > 255)
        throw std::invalid_argument("DHCP option value longer than 255 bytes");
    w.put8(code);
    w.put8(static_cast<std::uint8_t>(value.size()));
    w.put(value);
}

} // namespace

// BOOTP layout (RFC 951 / 2131):
//   0 op  1 htype  2 hlen  3 hops  4 xid(4)  8 secs(2)  10 flags(2)
//   12 ciaddr  16 yiaddr  20 siaddr  24 giaddr  28 chaddr(16)
//   44 sname(64)  108 file(128)  236 magic cookie(4)  240 options
Bytes build_bootp(const BootpConfig& cfg) {
    ByteWriter w(240);
    w.set8(0, cfg.op);
    w.set8(1, 1); // htype: Ethernet
    w.set8(2, 6); // hlen
    w.set8(3, 0); // hops
    w.set32(4, cfg.xid);
    w.set16(8, 0);       // secs
    w.set16(10, 0x8000); // flags: broadcast, we cannot receive unicast yet
    // ciaddr, yiaddr, siaddr, giaddr, the rest of chaddr and sname stay zero.
    w.set(28, cfg.hw.data(), cfg.hw.size());
    if (cfg.bad_cookie)
        w.set32(236, kMagicCookie - 1); // one bit away from the real cookie
    else
        w.set32(236, kMagicCookie);

    put_option(w, kOptMessageType, Bytes{cfg.message_type});
    if (cfg.requested_address)
        put_option(w, kOptRequestedAddress, be32(*cfg.requested_address));
    if (cfg.server_id)
        put_option(w, kOptServerId, be32(*cfg.server_id));
    for (int i = 0; i < cfg.name_option_count; ++i)
        put_option(w, kOptHostName, i == 0 ? cfg.name : cfg.second_name);
    if (cfg.marker_place == MarkerPlace::Option)
        put_option(w, cfg.marker_option, cfg.marker);
    // What a small embedded client typically asks for: mask, router, DNS,
    // host name, domain, broadcast address.
    put_option(w, kOptParamRequest, Bytes{1, 3, 6, 12, 15, 28});
    w.put8(kOptEnd);
    if (cfg.option_after_end)
        put_option(w, kOptHostName, cfg.second_name);

    if (cfg.marker_place == MarkerPlace::File)
        w.set(kBootpFileOffset, cfg.marker);
    std::size_t length = cfg.length.value_or(std::max(kBootpDefaultSize, w.size()));
    // Raw placement may reach past the requested length; whatever lies beyond
    // it is cut below, exactly as a truncated packet would lose it.
    if (cfg.marker_place == MarkerPlace::At)
        w.set(cfg.marker_offset, cfg.marker);

    Bytes out = w.take();
    out.resize(length, kOptPad);
    return out;
}

std::uint16_t inet_checksum(const std::uint8_t* data, std::size_t len, std::uint32_t seed) {
    std::uint32_t sum = seed;
    for (std::size_t i = 0; i + 1 < len; i += 2)
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (len % 2)
        sum += static_cast<std::uint32_t>(data[len - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// Frame layout: 0 Ethernet(14)  14 IPv4(20)  34 UDP(8)  42 payload.
Bytes build_broadcast_frame(const Mac& eth_src, std::uint16_t ip_id, std::uint16_t src_port,
                            std::uint16_t dst_port, const Bytes& payload) {
    constexpr std::size_t kEth = 0, kIp = 14, kUdp = 34, kData = 42;
    const std::size_t udp_len = 8 + payload.size();
    const std::size_t ip_len = 20 + udp_len;
    if (ip_len > 0xffff)
        throw std::invalid_argument("payload too large for IPv4");

    ByteWriter w(kData);
    const Mac broadcast{0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    w.set(kEth + 0, broadcast.data(), 6);
    w.set(kEth + 6, eth_src.data(), 6);
    w.set16(kEth + 12, 0x0800);

    w.set8(kIp + 0, 0x45); // version 4, 5-word header
    w.set8(kIp + 1, 0);    // TOS
    w.set16(kIp + 2, static_cast<std::uint16_t>(ip_len));
    w.set16(kIp + 4, ip_id);
    w.set16(kIp + 6, 0); // no fragmentation flags
    w.set8(kIp + 8, 64); // TTL
    w.set8(kIp + 9, 17); // UDP
    w.set16(kIp + 10, 0);
    w.set32(kIp + 12, 0x00000000); // no address yet
    w.set32(kIp + 16, 0xffffffff);

    w.set16(kUdp + 0, src_port);
    w.set16(kUdp + 2, dst_port);
    w.set16(kUdp + 4, static_cast<std::uint16_t>(udp_len));
    w.set16(kUdp + 6, 0);
    w.set(kData, payload);

    Bytes f = w.take();
    const std::uint16_t ip_sum = inet_checksum(f.data() + kIp, 20);
    f[kIp + 10] = static_cast<std::uint8_t>(ip_sum >> 8);
    f[kIp + 11] = static_cast<std::uint8_t>(ip_sum);

    // Pseudo-header: src 0.0.0.0, dst 255.255.255.255, protocol, UDP length.
    std::uint32_t pseudo = 0xffff + 0xffff + 17 + static_cast<std::uint32_t>(udp_len);
    std::uint16_t udp_sum = inet_checksum(f.data() + kUdp, udp_len, pseudo);
    if (udp_sum == 0)
        udp_sum = 0xffff; // 0 would mean "no checksum"
    f[kUdp + 6] = static_cast<std::uint8_t>(udp_sum >> 8);
    f[kUdp + 7] = static_cast<std::uint8_t>(udp_sum);
    return f;
}

// IPv4 header: 0 version/IHL  2 total length  6 flags/fragment offset
// 9 protocol  10 checksum  12 source  16 destination; UDP header after it:
// 0 source port  2 destination port  4 length  6 checksum.
UdpParse parse_ipv4_udp(const Bytes& p, bool udp_checksum_final) {
    UdpParse r;
    if (p.size() < 20 || p[0] >> 4 != 4) {
        r.error = "not an IPv4 packet";
        return r;
    }
    const std::size_t ihl = static_cast<std::size_t>(p[0] & 0x0f) * 4;
    const std::size_t total = get16(p, 2);
    // Ethernet pads short frames, so the packet may be longer than it says.
    if (ihl < 20 || total < ihl || total > p.size()) {
        r.error = "IPv4 header or total length inconsistent";
        return r;
    }
    if (inet_checksum(p.data(), ihl) != 0) {
        r.error = "IPv4 header checksum wrong";
        return r;
    }
    if (p[9] != 17) {
        r.error = "not UDP";
        return r;
    }
    if (get16(p, 6) & 0x3fff) { // more-fragments flag or an offset
        r.error = "IPv4 fragment";
        return r;
    }
    const std::size_t udp_len = total - ihl >= 8 ? get16(p, ihl + 4) : 0;
    if (udp_len < 8 || ihl + udp_len > total) {
        r.error = "UDP length inconsistent";
        return r;
    }
    if (udp_checksum_final && get16(p, ihl + 6) != 0) {
        std::uint32_t pseudo = 0;
        for (std::size_t off = 12; off < 20; off += 2)
            pseudo += get16(p, off);
        pseudo += 17 + static_cast<std::uint32_t>(udp_len);
        if (inet_checksum(p.data() + ihl, udp_len, pseudo) != 0) {
            r.error = "UDP checksum wrong";
            return r;
        }
    }
    UdpDatagram d;
    d.src = get32(p, 12);
    d.dst = get32(p, 16);
    d.src_port = get16(p, ihl);
    d.dst_port = get16(p, ihl + 2);
    d.payload.assign(p.begin() + static_cast<std::ptrdiff_t>(ihl + 8),
                     p.begin() + static_cast<std::ptrdiff_t>(ihl + udp_len));
    r.datagram = std::move(d);
    return r;
}

BootpParse parse_bootp_reply(const Bytes& p) {
    BootpParse r;
    if (p.size() < 240) {
        r.error =
            "shorter than a BOOTP header with cookie (" + std::to_string(p.size()) + " bytes)";
        return r;
    }
    BootpReply b;
    b.op = p[0];
    b.xid = get32(p, 4);
    b.yiaddr = get32(p, 16);
    b.siaddr = get32(p, 20);
    std::copy(p.begin() + 28, p.begin() + 34, b.chaddr.begin());
    b.cookie_ok = get32(p, 236) == kMagicCookie;
    if (!b.cookie_ok) {
        r.reply = b;
        return r;
    }
    std::size_t i = 240;
    for (;;) {
        if (i >= p.size()) {
            r.error = "options area has no End option";
            r.reply = b;
            return r;
        }
        const std::uint8_t code = p[i];
        if (code == kOptEnd)
            break;
        if (code == kOptPad) {
            ++i;
            continue;
        }
        if (i + 1 >= p.size() || i + 2 + p[i + 1] > p.size()) {
            r.error = "option " + std::to_string(code) + " at offset " + std::to_string(i) +
                      " runs past the end";
            r.reply = b;
            return r;
        }
        const Bytes value(p.begin() + static_cast<std::ptrdiff_t>(i + 2),
                          p.begin() + static_cast<std::ptrdiff_t>(i + 2 + p[i + 1]));
        auto keep_first = [&value](std::optional<Bytes>& slot) {
            if (!slot)
                slot = value;
        };
        switch (code) {
        case kOptMessageType:
            // Read as "no option 53" it would turn into a plain BOOTP answer.
            if (value.size() != 1) {
                r.error = "option 53 of length " + std::to_string(value.size());
                r.reply = b;
                return r;
            }
            if (!b.message_type)
                b.message_type = value[0];
            break;
        case kOptMask:
            keep_first(b.mask);
            break;
        case kOptRouter:
            keep_first(b.router);
            break;
        case kOptServerId:
            keep_first(b.server_id);
            break;
        }
        i += 2 + value.size();
    }
    r.reply = b;
    return r;
}

} // namespace sim
