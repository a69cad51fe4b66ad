// A slow or silent client must never hold up the probe responder that shares
// the event loop, so every socket here is non-blocking and every connection
// has a deadline.
#include "http.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace sim {

namespace {

constexpr std::size_t kMaxHead = 8192;
constexpr std::size_t kMaxConnections = 32;
constexpr auto kConnectionLife = std::chrono::seconds(3);

std::string html_escape(const Bytes& raw) {
    std::string out;
    for (std::uint8_t b : raw) {
        switch (b) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += static_cast<char>(b);
        }
    }
    return out;
}

const char* reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    default:
        return "Error";
    }
}

std::string page(const std::string& title, const std::string& text) {
    return "<!DOCTYPE html>\n<html><head><title>" + title + "</title></head>\n<body><h1>" + title +
           "</h1>\n<p>" + text + "</p></body></html>\n";
}

std::string render(const HttpAnswer& a, bool with_body) {
    std::string r = "HTTP/1.0 " + std::to_string(a.status) + " " + reason(a.status) + "\r\n";
    r += "Content-Type: text/html\r\n";
    r += "Content-Length: " + std::to_string(a.body.size()) + "\r\n";
    if (a.status == 405)
        r += "Allow: GET, HEAD\r\n";
    r += "Connection: close\r\n\r\n";
    if (with_body)
        r += a.body;
    return r;
}

} // namespace

HttpAnswer admin_answer(const std::string& method, const std::string& target, const Bytes& name,
                        const std::string& address) {
    if (method != "GET" && method != "HEAD")
        return {405, page("Method not allowed", "Only GET and HEAD are served here.")};
    const std::string path = target.substr(0, target.find_first_of("?#"));
    if (path == "/admin/" || path == "/admin/index.html")
        return {200,
                page("Administration", "Admin page of " + html_escape(name) + " at " + address)};
    return {404, page("Not found",
                      "There is no page at " + html_escape({path.begin(), path.end()}) + ".")};
}

std::string admin_response(const std::string& head, const Bytes& name, const std::string& address) {
    const std::string line = head.substr(0, head.find_first_of("\r\n"));
    const auto sp1 = line.find(' ');
    const auto sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0 ||
        line.find(' ', sp2 + 1) != std::string::npos || sp2 == sp1 + 1)
        return render({400, page("Bad request", "The request line is not understood.")}, true);
    const std::string method = line.substr(0, sp1);
    const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    return render(admin_answer(method, target, name, address), method != "HEAD");
}

AdminServer::AdminServer(std::uint16_t port, Bytes name, std::string address, bool verbose)
    : listener_(open_tcp_listener(port)), name_(std::move(name)), address_(std::move(address)),
      verbose_(verbose) {}

void AdminServer::want(std::vector<pollfd>& fds) const {
    fds.push_back({listener_.get(), POLLIN, 0});
    for (const auto& c : conns_)
        fds.push_back(
            {c.fd.get(), static_cast<short>(c.sent < c.out.size() ? POLLOUT : POLLIN), 0});
}

void AdminServer::dispatch(const std::vector<pollfd>& fds) {
    for (const auto& p : fds) {
        if (!p.revents)
            continue;
        if (p.fd == listener_.get()) {
            accept_all();
            continue;
        }
        for (auto it = conns_.begin(); it != conns_.end(); ++it) {
            if (it->fd.get() != p.fd)
                continue;
            if (!on_ready(*it, p.revents))
                conns_.erase(it);
            break;
        }
    }
}

void AdminServer::accept_all() {
    for (;;) {
        Fd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd.get() < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
                return;
            throw SysError(errno_text("accept"));
        }
        // Past the limit the newcomer is closed, not an old one: the old ones
        // run out soon anyway.
        if (conns_.size() >= kMaxConnections)
            continue;
        Conn c;
        c.fd = std::move(fd);
        c.deadline = Clock::now() + kConnectionLife;
        conns_.push_back(std::move(c));
    }
}

bool AdminServer::on_ready(Conn& c, short revents) {
    if (c.sent < c.out.size()) {
        ssize_t n = ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.sent += static_cast<std::size_t>(n);
        if (c.sent == c.out.size())
            // Half-close, then read until the client closes: closing with its
            // bytes unread would reset the connection and could destroy the
            // answer before the client has read it.
            ::shutdown(c.fd.get(), SHUT_WR);
        return true;
    }
    if (!(revents & (POLLIN | POLLHUP | POLLERR)))
        return true;
    char buf[2048];
    ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, 0);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0)
        return false;
    if (c.answered)
        return true; // draining
    c.in.append(buf, static_cast<std::size_t>(n));
    auto end = c.in.find("\r\n\r\n");
    if (end == std::string::npos)
        end = c.in.find("\n\n");
    if (end == std::string::npos && c.in.size() <= kMaxHead)
        return true;
    c.out = admin_response(c.in, name_, address_);
    c.answered = true;
    if (verbose_) {
        const std::string line = c.in.substr(0, c.in.find_first_of("\r\n"));
        const std::string status = c.out.substr(9, 3);
        std::printf("http \"%s\" -> %s\n", line.c_str(), status.c_str());
        std::fflush(stdout);
    }
    return true;
}

std::optional<AdminServer::Clock::time_point> AdminServer::expire(Clock::time_point now) {
    std::optional<Clock::time_point> next;
    for (auto it = conns_.begin(); it != conns_.end();) {
        if (it->deadline <= now) {
            it = conns_.erase(it);
            continue;
        }
        if (!next || it->deadline < *next)
            next = it->deadline;
        ++it;
    }
    return next;
}

} // namespace sim
