// The in-use check's ARP probe on Linux (RFC 5227 probes, RFC 826 packets).
//
// With a packet socket (cap_net_raw, or one from tavisol-sockets) the probe goes out as a
// real RFC 5227 probe and every ARP packet of the link is read back during the wait. Without
// one, an ordinary user can still make the kernel resolve the address: an empty datagram to
// the discard port puts an ARP request on the link (from our own address, not a probe), and
// the neighbour table shows whether a machine answered.
#include "platform/inuse.h"

#include "platform/posix/neighbour.h"
#include "platform/posix/privileged.h"
#include "platform/posix_sockets.h"
#include "proto/arp.h"
#include "platform/posix/libc_sockets.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// How often the neighbour table is read while waiting: each read is one netlink dump.
constexpr std::chrono::milliseconds kNeighbourPoll{20};
// The discard service: whatever reaches a machine there is thrown away.
constexpr std::uint16_t kDiscardPort = 9;

struct Watch {
    int fd;
    bool packetSocket; // else a datagram socket whose send started the kernel's resolution
    DWORD dwIfIndex;
    HardwareAddress ours;
};

std::string AddressText(DWORD dwAddr) {
    in_addr address{};
    address.s_addr = dwAddr;
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

BOOL Fail(const NET_INTERFACE& iface, int error, const std::string& why) {
    tvposix::ReportFailure("ARP probe", error, why + " on " + iface.strName,
                           AddressText(iface.dwAddr));
    return FALSE;
}

// The interface's Ethernet address; false for a link without one (a tunnel, say).
bool EthernetAddress(const std::string& name, HardwareAddress& hw, std::string& why) {
    int fd = libc::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFHWADDR, &request) == 0;
    if (!ok)
        why = std::strerror(errno);
    else if (request.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        why = "not an Ethernet link";
        ok = false;
    }
    ::close(fd);
    if (ok)
        std::memcpy(hw.data(), request.ifr_hwaddr.sa_data, hw.size());
    return ok;
}

} // namespace

struct CArpProbe::Impl {
    std::vector<Watch> watches;
    DWORD dwAddress = 0;
    std::optional<Clock::time_point> firstSend;

    void CloseAll() {
        // Closing a packet socket waits for the kernel's RCU grace period (10 ms and more),
        // which the dialog's thread need not sit through.
        std::vector<int> packetSockets;
        for (const Watch& w : watches) {
            if (w.packetSocket)
                packetSockets.push_back(w.fd);
            else
                ::close(w.fd);
        }
        if (!packetSockets.empty())
            std::thread([fds = std::move(packetSockets)] {
                for (int fd : fds)
                    ::close(fd);
            }).detach();
        watches.clear();
        firstSend.reset();
    }

    // Reads what the packet socket holds; true when a packet shows the address taken.
    bool DrainShowsInUse(const Watch& w) {
        std::uint8_t packet[1500];
        for (;;) {
            sockaddr_ll from{};
            socklen_t fromLen = sizeof from;
            ssize_t n = libc::recvfrom(w.fd, packet, sizeof packet, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0)
                return false;
            // Our own probe as it left is handed back with PACKET_OUTGOING; the decision
            // drops it by its sender hardware address as well.
            if (from.sll_pkttype == PACKET_OUTGOING)
                continue;
            auto arp = ReadArpPacket(std::span<const std::uint8_t>(packet, std::size_t(n)));
            if (arp && ArpShowsInUse(*arp, dwAddress, w.ours))
                return true;
        }
    }
};

CArpProbe::CArpProbe() : m_pImpl(std::make_unique<Impl>()) {}

CArpProbe::~CArpProbe() {
    m_pImpl->CloseAll();
}

BOOL CArpProbe::Send(const NET_INTERFACE& iface, DWORD dwAddress) {
    m_pImpl->dwAddress = dwAddress;
    if (!m_pImpl->firstSend)
        m_pImpl->firstSend = Clock::now();
    const int subject = static_cast<int>(iface.dwIndex);
    if (int error = tvposix::TakeInjectedFailure("ARP probe", subject))
        return Fail(iface, error, "injected failure");

    Watch w{-1, false, iface.dwIndex, {}};
    std::string why;
    if (!EthernetAddress(iface.strName, w.ours, why))
        return Fail(iface, WSAEAFNOSUPPORT, "no Ethernet address (" + why + ")");

    std::string packetWhy;
    int injected = tvposix::TakeInjectedFailure("ARP packet socket", subject);
    w.fd = injected ? -1 : tvposix::OpenArpPacketSocket(iface.strName.c_str(), &packetWhy);
    if (w.fd >= 0) {
        std::uint8_t probe[ARP_PACKET_SIZE];
        BuildArpProbe(probe, w.ours, dwAddress);
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_protocol = htons(ETH_P_ARP);
        to.sll_ifindex = static_cast<int>(iface.dwIndex);
        to.sll_halen = ETH_ALEN;
        std::memset(to.sll_addr, 0xFF, ETH_ALEN);
        if (libc::sendto(w.fd, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to) == static_cast<ssize_t>(sizeof probe)) {
            w.packetSocket = true;
            m_pImpl->watches.push_back(w);
            return TRUE;
        }
        packetWhy = std::string("sending the probe: ") + std::strerror(errno);
        ::close(w.fd);
    }

    // The kernel's own resolution, bound to the interface so that it is asked there even for
    // an address that no route puts on this link.
    w.fd = libc::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (w.fd < 0)
        return Fail(iface, tvposix::WsaErrorFromErrno(errno), std::strerror(errno));
    if (libc::setsockopt(w.fd, SOL_SOCKET, SO_BINDTODEVICE, iface.strName.c_str(),
                         static_cast<socklen_t>(iface.strName.size())) != 0 &&
        !iface.SubnetHolds(dwAddress)) {
        int e = errno;
        ::close(w.fd);
        return Fail(iface, tvposix::WsaErrorFromErrno(e),
                    std::string("no packet socket (") + packetWhy +
                        "), and the kernel cannot be asked there: " + std::strerror(e));
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kDiscardPort);
    to.sin_addr.s_addr = dwAddress;
    // An unresolved neighbour queues the datagram and the send succeeds; EAGAIN is a full
    // queue, which still means resolution is under way.
    if (libc::sendto(w.fd, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0 &&
        errno != EAGAIN) {
        int e = errno;
        ::close(w.fd);
        return Fail(iface, tvposix::WsaErrorFromErrno(e),
                    std::string("no packet socket (") + packetWhy +
                        "), and the kernel would not resolve the address: " + std::strerror(e));
    }
    m_pImpl->watches.push_back(w);
    return TRUE;
}

BOOL CArpProbe::Answered(DWORD dwWindowMs) {
    Impl& impl = *m_pImpl;
    if (impl.watches.empty()) {
        tvposix::ReportFailure("ARP probe", WSAENETDOWN, "it went out of no interface", "");
        return FALSE;
    }
    const Clock::time_point deadline = *impl.firstSend + std::chrono::milliseconds(dwWindowMs);
    bool neighbours = false;
    std::vector<pollfd> ready;
    std::vector<const Watch*> polled;
    for (const Watch& w : impl.watches) {
        if (w.packetSocket) {
            ready.push_back({w.fd, POLLIN, 0});
            polled.push_back(&w);
        } else {
            neighbours = true;
        }
    }
    for (;;) {
        for (std::size_t i = 0; i < ready.size(); ++i)
            if (impl.DrainShowsInUse(*polled[i]))
                return TRUE;
        if (neighbours) {
            for (const Watch& w : impl.watches)
                if (!w.packetSocket && tvposix::NeighbourShowsInUse(w.dwIfIndex, impl.dwAddress))
                    return TRUE;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return FALSE;
        int timeout =
            static_cast<int>(neighbours ? std::min(left, kNeighbourPoll).count() : left.count());
        if (ready.empty())
            ::usleep(static_cast<useconds_t>(timeout) * 1000);
        else
            ::poll(ready.data(), ready.size(), timeout);
    }
}

void CArpProbe::Close() {
    m_pImpl->CloseAll();
}

int EchoWithoutRawSocket(DWORD, DWORD) {
    WSASetLastError(WSAEOPNOTSUPP);
    return SOCKET_ERROR;
}
