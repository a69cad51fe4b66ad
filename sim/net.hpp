// Socket plumbing for the simulator: the UDP responder of a configured
// appliance, the packet socket an unconfigured one broadcasts from, and the
// signal descriptor that lets the event loop stop cleanly on SIGTERM/SIGINT.
#pragma once

#include "packet.hpp"

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

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
};
// One datagram, or nullopt if nothing was waiting.
std::optional<Datagram> receive(int fd);
void send_to(int fd, const Bytes& data, const sockaddr_in& to);

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

// Blocks SIGTERM, SIGINT and SIGHUP and returns a descriptor that becomes
// readable when one arrives.
Fd open_stop_signals();

} // namespace sim
