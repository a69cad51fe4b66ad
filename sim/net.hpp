// Socket plumbing for the simulator: the UDP responder of a configured
// appliance, the packet sockets an unconfigured one broadcasts from and hears
// its answer on, the web server's listener, the interface set-up once an
// address is granted, and the signal descriptor that lets the event loop stop
// cleanly on SIGTERM/SIGINT.
#pragma once

#include "packet.hpp"

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

// Owns a file descriptor; closes it on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();

    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }

private:
    int fd_ = -1;
};

// Thrown for failures worth a one-line message and exit status 1.
struct SysError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string errno_text(const std::string& what);
std::string format_addr(const sockaddr_in& a);

// UDP socket on 0.0.0.0:port, address reusable so several test runs (or a
// lingering socket) do not block each other.
Fd open_udp_listener(std::uint16_t port);

struct Datagram {
    Bytes data;
    sockaddr_in from{};
    int ifindex = 0; // the interface it came in by, when the socket asked (0: not known)
};
// One datagram, or nullopt if nothing was waiting.
std::optional<Datagram> receive(int fd);
void send_to(int fd, const Bytes& data, const sockaddr_in& to);

// Makes receive() on fd tell the interface each datagram came in by (IP_PKTINFO).
void report_arrival_interface(int fd);
// Sends out of interface ifindex straight onto its link, as an appliance answers whoever
// asked on the link its question came in by: no gateway is used, and a destination outside
// every subnet of ours is taken as on the link rather than unreachable.
void send_on_link(int fd, const Bytes& data, const sockaddr_in& to, int ifindex);

struct Interface {
    int index = 0;
    Mac mac{};
};
// nullopt if the interface does not exist.
std::optional<Interface> find_interface(const std::string& name);

// AF_PACKET socket that only sends: protocol 0 means the kernel queues
// nothing for us to read.
Fd open_packet_sender();
void send_frame(int fd, const Interface& iface, const Bytes& frame);
// The frame to the Ethernet broadcast address out of iface: sendto's result, errno as it left it.
ssize_t send_frame_once(int fd, const Interface& iface, const Bytes& frame, int flags);

// AF_PACKET socket on iface that receives the IPv4 UDP datagrams for port 68,
// whatever addresses the interface has: an appliance waiting for its first
// address cannot rely on the IP stack to deliver them, and neither does a
// real client.
Fd open_bootp_client_listener(const Interface& iface);
// The same for any UDP destination port.
Fd open_link_udp_listener(const Interface& iface, std::uint16_t port);

struct LinkPacket {
    Bytes data; // from the IPv4 header on
    bool link_broadcast = false;
    Mac link_source{};          // the sender's hardware address
    bool checksum_final = true; // false: the sender's offload left a partial UDP sum
};
// One packet, or nullopt if nothing was waiting.
std::optional<LinkPacket> receive_link(int fd);

// Non-blocking TCP listener on 0.0.0.0:port.
Fd open_tcp_listener(std::uint16_t port);

std::string ipv4_text(std::uint32_t host_order);

// Runs a program (PATH lookup, no shell) and waits for it; throws SysError
// unless it exits 0. Its standard output goes to our stderr so that it cannot
// mix with the lines tests read from our stdout.
void run_program(const std::vector<std::string>& argv);

// Replaces every IPv4 address and route of iface with address/prefix (none if
// prefix is negative) and, when router is not 0, a default route through it.
void set_ipv4(const std::string& iface, std::uint32_t address, int prefix, std::uint32_t router);

// True when some ancestor process is in another network namespace than ours,
// i.e. we were started inside a namespace of our own such as a lab node; false
// when that cannot be shown.
bool in_separate_net_namespace();

// Blocks SIGTERM, SIGINT and SIGHUP and returns a descriptor that becomes
// readable when one arrives.
Fd open_stop_signals();

} // namespace sim
