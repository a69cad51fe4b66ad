// rtnetlink neighbour dumps (RTM_GETNEIGH), parsed within the bytes received.
#include "platform/posix/neighbour.h"

#include <cstring>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tvposix {

namespace {

constexpr std::uint16_t kHeld = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT;

// One RTM_NEWNEIGH message's body (after the netlink header), bounded by its length.
bool EntryShowsInUse(const std::uint8_t* body, std::size_t length, std::uint32_t ifIndex,
                     std::uint32_t address) {
    if (length < sizeof(ndmsg))
        return false;
    ndmsg entry;
    std::memcpy(&entry, body, sizeof entry);
    if (entry.ndm_family != AF_INET || static_cast<std::uint32_t>(entry.ndm_ifindex) != ifIndex ||
        (entry.ndm_state & kHeld) == 0)
        return false;
    bool forAddress = false, withHardware = false;
    std::size_t at = NLMSG_ALIGN(sizeof(ndmsg));
    while (at + sizeof(rtattr) <= length) {
        rtattr attribute;
        std::memcpy(&attribute, body + at, sizeof attribute);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > length - at)
            break;
        const std::uint8_t* value = body + at + RTA_LENGTH(0);
        const std::size_t valueLength = attribute.rta_len - RTA_LENGTH(0);
        if (attribute.rta_type == NDA_DST && valueLength == 4)
            forAddress = std::memcmp(value, &address, 4) == 0;
        if (attribute.rta_type == NDA_LLADDR && valueLength > 0) {
            for (std::size_t i = 0; i < valueLength; ++i)
                withHardware = withHardware || value[i] != 0;
        }
        at += RTA_ALIGN(attribute.rta_len);
    }
    return forAddress && withHardware;
}

} // namespace

bool NeighbourDumpShowsInUse(std::span<const std::uint8_t> replies, std::uint32_t ifIndex,
                             std::uint32_t address) {
    std::size_t at = 0;
    while (at + sizeof(nlmsghdr) <= replies.size()) {
        nlmsghdr header;
        std::memcpy(&header, replies.data() + at, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > replies.size() - at)
            return false;
        if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR)
            return false;
        if (header.nlmsg_type == RTM_NEWNEIGH &&
            EntryShowsInUse(replies.data() + at + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN,
                            ifIndex, address))
            return true;
        at += NLMSG_ALIGN(header.nlmsg_len);
    }
    return false;
}

bool NeighbourShowsInUse(std::uint32_t ifIndex, std::uint32_t address) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return false;
    struct {
        nlmsghdr header;
        ndmsg body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.ndm_family = AF_INET;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    bool inUse = false;
    if (::sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) == static_cast<ssize_t>(sizeof request)) {
        std::vector<std::uint8_t> buffer(32768);
        bool done = false;
        while (!done && !inUse) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 200) <= 0)
                break;
            ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            std::span<const std::uint8_t> replies(buffer.data(), static_cast<std::size_t>(n));
            inUse = NeighbourDumpShowsInUse(replies, ifIndex, address);
            // The dump ends with NLMSG_DONE (or an error) in the last datagram.
            nlmsghdr last{};
            std::size_t at = 0;
            while (at + sizeof(nlmsghdr) <= replies.size()) {
                std::memcpy(&last, replies.data() + at, sizeof last);
                if (last.nlmsg_len < sizeof(nlmsghdr))
                    break;
                if (last.nlmsg_type == NLMSG_DONE || last.nlmsg_type == NLMSG_ERROR)
                    done = true;
                at += NLMSG_ALIGN(last.nlmsg_len);
            }
        }
    }
    ::close(fd);
    return inUse;
}

} // namespace tvposix
