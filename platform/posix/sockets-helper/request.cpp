// The request reader of tavisol-sockets (see request.h). It runs in a process that holds
// network capabilities, on bytes any local user can write, so it accepts exactly the
// spellings of request.h and says plainly what else it got.
#include "platform/posix/sockets-helper/request.h"

namespace tvhelper {

namespace {

constexpr std::string_view kPrefix = "TAVISOL-SOCKETS/1 ";
constexpr std::string_view kBootps = "bootps";
constexpr std::string_view kIcmp = "icmp";
constexpr std::string_view kArp = "arp";

RequestReading Refuse(std::string why) {
    return {std::nullopt, std::move(why)};
}

// The caller's bytes as they may appear in a message: printable ASCII, the rest as '?'.
std::string Quoted(std::string_view text) {
    std::string out = "'";
    for (char c : text)
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    return out + "'";
}

bool IsNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

} // namespace

bool IsValidInterfaceName(std::string_view name) {
    if (name.empty() || name.size() > kMaxInterfaceName || name == "." || name == "..")
        return false;
    for (char c : name)
        if (!IsNameCharacter(c))
            return false;
    return true;
}

RequestReading ReadRequest(std::span<const unsigned char> datagram) {
    if (datagram.empty())
        return Refuse("empty request");
    if (datagram.size() > kMaxRequestBytes)
        return Refuse("request longer than " + std::to_string(kMaxRequestBytes) + " bytes");
    const std::string_view text(reinterpret_cast<const char*>(datagram.data()), datagram.size());
    if (text.substr(0, kPrefix.size()) != kPrefix)
        return Refuse("not a request of this version (it begins " +
                      Quoted(text.substr(0, kPrefix.size())) + ", not " + Quoted(kPrefix) + ")");
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos)
        return Refuse("request without its line feed (cut short?)");
    if (end + 1 != text.size())
        return Refuse("more than one line in the request");
    const std::string_view body = text.substr(kPrefix.size(), end - kPrefix.size());
    for (char c : body)
        if (c < 0x20 || c >= 0x7f)
            return Refuse("control or non-ASCII byte in the request");

    const std::size_t space = body.find(' ');
    const std::string_view kind = body.substr(0, space);
    const bool hasArgument = space != std::string_view::npos;
    const std::string_view argument = hasArgument ? body.substr(space + 1) : std::string_view();
    if (kind == kBootps || kind == kIcmp) {
        if (hasArgument)
            return Refuse(Quoted(kind) + " takes no argument");
        return {SocketRequest{kind == kBootps ? SocketKind::BootpServer : SocketKind::RawIcmp, {}},
                {}};
    }
    if (kind == kArp) {
        if (!hasArgument || argument.empty())
            return Refuse("'arp' needs an interface name");
        if (!IsValidInterfaceName(argument))
            return Refuse("interface name " + Quoted(argument) +
                          " is not valid (1 to 15 of A-Z a-z 0-9 . _ -)");
        return {SocketRequest{SocketKind::ArpPacket, std::string(argument)}, {}};
    }
    return Refuse("socket " + Quoted(kind) +
                  " is not on the list (bootps: UDP port 67; icmp: raw ICMP; arp IFNAME)");
}

std::string WriteRequest(const SocketRequest& request) {
    std::string text(kPrefix);
    switch (request.kind) {
    case SocketKind::BootpServer:
        text += kBootps;
        break;
    case SocketKind::RawIcmp:
        text += kIcmp;
        break;
    case SocketKind::ArpPacket:
        text += std::string(kArp) + " " + request.interface;
        break;
    }
    return text + "\n";
}

} // namespace tvhelper
