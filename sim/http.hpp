// The administration web page of a simulated appliance that has been given an
// address: enough HTTP for a browser or a test to open /admin/ and find the
// appliance's name and address on it. One request per connection.
#pragma once

#include "net.hpp"

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// What GET/HEAD target gets: status line and body (body kept for HEAD too,
// to compute Content-Length).
struct HttpAnswer {
    int status = 200;
    std::string body;
};
HttpAnswer admin_answer(const std::string& method, const std::string& target, const Bytes& name,
                        const std::string& address);

// The whole response for one request head ("GET /x HTTP/1.1\r\n..."), or for
// garbage a 400.
std::string admin_response(const std::string& head, const Bytes& name, const std::string& address);

class AdminServer {
public:
    using Clock = std::chrono::steady_clock;

    AdminServer(std::uint16_t port, Bytes name, std::string address, bool verbose);

    // Adds the descriptors to wait on; dispatch() takes the results back.
    void want(std::vector<pollfd>& fds) const;
    void dispatch(const std::vector<pollfd>& fds);
    // Closes connections past their deadline; returns the time of the next one.
    std::optional<Clock::time_point> expire(Clock::time_point now);

private:
    struct Conn {
        Fd fd;
        std::string in;
        std::string out;
        std::size_t sent = 0;
        bool answered = false;
        Clock::time_point deadline;
    };
    void accept_all();
    // false: the connection is finished and can go.
    bool on_ready(Conn& c, short revents);

    Fd listener_;
    Bytes name_;
    std::string address_;
    bool verbose_;
    std::list<Conn> conns_;
};

} // namespace sim
