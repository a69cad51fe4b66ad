// Windows Sockets over BSD sockets. The program's logic leans on Windows semantics, so they
// are reproduced here rather than approximated:
//  - SO_RCVTIMEO / SO_SNDTIMEO take a 4-byte count of milliseconds;
//  - a timed-out blocking call fails with WSAETIMEDOUT, a non-blocking one with
//    WSAEWOULDBLOCK;
//  - recvfrom into a buffer shorter than the datagram consumes it and fails with
//    WSAEMSGSIZE (found with MSG_TRUNC); a datagram of 0 bytes is a receive of 0;
//  - WSAAsyncSelect makes the socket non-blocking and hands it to the back end's loop;
//  - errors are WSAE* numbers, kept per thread for WSAGetLastError;
//  - a datagram for 255.255.255.255 reaches the LAN even where no route covers it
//    (posix/broadcast.h);
//  - a receive can name the interface a datagram came in by, and a send the interface it
//    leaves by (platform/ifsocket.h): IP_PKTINFO, as on Windows;
//  - socket handles are never reused, so a message queued for a closed socket finds
//    WSAENOTSOCK instead of a stranger's descriptor; no handle is 0;
//  - where Linux refuses an ordinary user what Windows grants every user (binding UDP port
//    67, a raw ICMP socket), tavisol-sockets opens the socket (posix/privileged.h) and it
//    takes the place of the program's own under the same handle.
#include "platform/posix_sockets.h"

#include "platform/ifsocket.h"
#include "platform/posix/broadcast.h"
#include "platform/posix/privileged.h"
#include "platform/posix/libc_sockets.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <sys/time.h>
#include <vector>

namespace {

thread_local int t_lastError = 0;

// An option as the program set it, kept so that it can be set again on a socket that
// tavisol-sockets opened in place of the program's own.
struct RecordedOption {
    int level;
    int name;
    std::vector<char> value;
};

struct SocketEntry {
    int fd;
    bool nonBlocking;
    // An unprivileged ICMP echo socket standing in for a raw ICMP socket: what it receives
    // lacks the IP header a raw socket delivers, so one is put in front.
    bool pingSocket = false;
    int af = 0, type = 0, protocol = 0; // as the program asked for the socket
    std::vector<RecordedOption> options;
};

// Sockets are made and used on the user-interface thread, but a test's driver may look at
// them from its own; the map is small and locked.
std::mutex g_mutex;
std::map<SOCKET, SocketEntry> g_sockets;
SOCKET g_nextHandle = 0x100;
int g_startupCount = 0;

struct Injection {
    std::string call;
    int error;
    int count;
    int filter;
};
std::vector<Injection> g_injections;
tvposix::FailureObserver g_observer;

int WsaFromErrno(int e) {
    switch (e) {
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAENOTSOCK;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    default:
        return WSAEINVAL;
    }
}

void Report(const char* call, int error, int port, const char* detail,
            const std::string& local = {}) {
    t_lastError = error;
    tvposix::FailureObserver observer;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        observer = g_observer;
    }
    if (observer)
        observer({call, error, port, detail ? detail : "", local});
}

// Something the program was not told of, because Windows would have done as asked: goes to
// the observer as a failure with error 0, and leaves the last error alone.
void Notice(const char* call, const std::string& detail) {
    tvposix::FailureObserver observer;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        observer = g_observer;
    }
    if (observer)
        observer({call, 0, 0, detail});
}

int FailWith(const char* call, int error, int port = 0, const char* detail = nullptr,
             const std::string& local = {}) {
    Report(call, error, port, detail, local);
    return SOCKET_ERROR;
}

int FailWithErrno(const char* call, int port = 0, const std::string& local = {}) {
    int e = errno;
    return FailWith(call, WsaFromErrno(e), port, std::strerror(e), local);
}

// Dotted text of an IPv4 address other than the wildcard, else empty.
std::string SpecificAddress(in_addr address) {
    if (address.s_addr == htonl(INADDR_ANY))
        return {};
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string AddressOf(const struct sockaddr* name, int namelen) {
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in)) || name->sa_family != AF_INET)
        return {};
    sockaddr_in in;
    std::memcpy(&in, name, sizeof in);
    return SpecificAddress(in.sin_addr);
}

// The address a socket is bound to, when it is a specific one.
std::string BoundAddress(int fd) {
    sockaddr_in own{};
    socklen_t len = sizeof own;
    if (libc::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &len) != 0 ||
        own.sin_family != AF_INET)
        return {};
    return SpecificAddress(own.sin_addr);
}

// 0, or the error a test asked this call to fail with.
int Injected(const char* call, int subject) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto it = g_injections.begin(); it != g_injections.end(); ++it) {
        if (it->call != call || (it->filter != -1 && it->filter != subject))
            continue;
        int error = it->error;
        if (it->count > 0 && --it->count == 0)
            g_injections.erase(it);
        return error;
    }
    return 0;
}

bool Lookup(SOCKET s, SocketEntry& entry) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_sockets.find(s);
    if (it == g_sockets.end())
        return false;
    entry = it->second;
    return true;
}

bool Started() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_startupCount > 0;
}

int PortOf(const struct sockaddr* name, int namelen) {
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in)))
        return 0;
    sockaddr_in in;
    std::memcpy(&in, name, sizeof in);
    return ntohs(in.sin_port);
}

// A raw ICMP socket delivers the IP header in front of the message; the kernel's echo socket
// delivers the message alone. Put a plain 20-byte IPv4 header (source the sender) in front,
// so the program reads both alike.
int ReceiveFromPingSocket(const SocketEntry& entry, char* buf, int len, int flags,
                          struct sockaddr* from, int* fromlen) {
    constexpr int kIpHeader = 20;
    std::vector<char> message(65536);
    sockaddr_in source{};
    socklen_t sourceLen = sizeof source;
    ssize_t n = libc::recvfrom(entry.fd, message.data(), message.size(), flags,
                               reinterpret_cast<sockaddr*>(&source), &sourceLen);
    if (n < 0) {
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && !entry.nonBlocking)
            return FailWith("recvfrom", WSAETIMEDOUT);
        return FailWithErrno("recvfrom");
    }
    int total = kIpHeader + static_cast<int>(n);
    unsigned char header[kIpHeader] = {0x45,
                                       0,
                                       static_cast<unsigned char>(total >> 8),
                                       static_cast<unsigned char>(total & 0xff),
                                       0,
                                       0,
                                       0,
                                       0,
                                       64,
                                       IPPROTO_ICMP};
    std::memcpy(header + 12, &source.sin_addr, 4);
    if (from) {
        std::memcpy(from, &source, sizeof source);
        *fromlen = static_cast<int>(sizeof source);
    }
    if (total > len) {
        std::memcpy(buf, header, static_cast<std::size_t>(std::min(len, kIpHeader)));
        if (len > kIpHeader)
            std::memcpy(buf + kIpHeader, message.data(), static_cast<std::size_t>(len - kIpHeader));
        return FailWith("recvfrom", WSAEMSGSIZE);
    }
    std::memcpy(buf, header, kIpHeader);
    std::memcpy(buf + kIpHeader, message.data(), static_cast<std::size_t>(n));
    return total;
}

struct OptionResult {
    int error = 0;      // a WSAE* code, 0 when the option is set
    std::string detail; // the system's words for the failure
    std::string notice; // set, but less than asked for
};

OptionResult OptionErrno() {
    int e = errno;
    return {WsaFromErrno(e), std::strerror(e), {}};
}

// Sets an option on a descriptor with Windows semantics.
OptionResult ApplyOption(int fd, int level, int optname, const char* optval, int optlen) {
    if (!optval || optlen < 0)
        return {WSAEFAULT, {}, {}};
    if (level == SOL_SOCKET && (optname == SO_RCVTIMEO || optname == SO_SNDTIMEO)) {
        // Windows takes a DWORD of milliseconds; 0 means wait for ever, as it does here.
        if (optlen < static_cast<int>(sizeof(DWORD)))
            return {WSAEFAULT, {}, {}};
        DWORD ms;
        std::memcpy(&ms, optval, sizeof ms);
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(ms / 1000);
        tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
        if (libc::setsockopt(fd, level, optname, &tv, sizeof tv) != 0)
            return OptionErrno();
        return {};
    }
    if (level == SOL_SOCKET && optname == SO_RCVBUF) {
        // Windows grants the size asked for; Linux silently caps it at net.core.rmem_max
        // unless the process may go beyond (CAP_NET_ADMIN). Go beyond where allowed, and
        // where not, say so: a capped buffer loses the tail of a burst.
        if (optlen < static_cast<int>(sizeof(int)))
            return {WSAEFAULT, {}, {}};
        int size;
        std::memcpy(&size, optval, sizeof size);
        if (libc::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0)
            return {};
        if (libc::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0)
            return OptionErrno();
        int granted = 0; // Linux reports twice the size it charges datagrams against
        socklen_t len = sizeof granted;
        if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) == 0 && granted / 2 < size)
            return {0,
                    {},
                    "receive buffer of " + std::to_string(granted / 2) + " bytes instead of " +
                        std::to_string(size) + " (net.core.rmem_max)"};
        return {};
    }
    if (libc::setsockopt(fd, level, optname, optval, static_cast<socklen_t>(optlen)) != 0)
        return OptionErrno();
    return {};
}

// The last value set for each option, in the order the options were first set.
void RecordOption(SOCKET s, int level, int optname, const char* optval, int optlen) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_sockets.find(s);
    if (it == g_sockets.end())
        return;
    std::vector<char> value(optval, optval + optlen);
    for (RecordedOption& option : it->second.options) {
        if (option.level == level && option.name == optname) {
            option.value = std::move(value);
            return;
        }
    }
    it->second.options.push_back({level, optname, std::move(value)});
}

// Puts the helper's socket in the place of the program's own: the same handle and the same
// descriptor number (so a loop that watches it sees no change), the options the program has
// set and its non-blocking mode. False, with the helper's socket closed, when an option
// does not take; the program's socket is then untouched.
bool TakeOver(SOCKET s, int helperFd, std::string* why) {
    SocketEntry entry;
    if (!Lookup(s, entry)) {
        ::close(helperFd);
        *why = "the socket was closed meanwhile";
        return false;
    }
    for (const RecordedOption& option : entry.options) {
        OptionResult result = ApplyOption(helperFd, option.level, option.name, option.value.data(),
                                          static_cast<int>(option.value.size()));
        if (result.error) {
            ::close(helperFd);
            *why = "the socket of tavisol-sockets refused an option: " + result.detail;
            return false;
        }
    }
    int fl = ::fcntl(helperFd, F_GETFL, 0);
    if (entry.nonBlocking && (fl < 0 || ::fcntl(helperFd, F_SETFL, fl | O_NONBLOCK) < 0)) {
        *why = std::string("the socket of tavisol-sockets: ") + std::strerror(errno);
        ::close(helperFd);
        return false;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_sockets.find(s);
    bool placed = it != g_sockets.end() && ::dup3(helperFd, it->second.fd, O_CLOEXEC) >= 0;
    if (!placed)
        *why = std::string("cannot take the socket of tavisol-sockets: ") + std::strerror(errno);
    ::close(helperFd);
    return placed;
}

// A bind that Linux refuses an ordinary user and Windows does not: UDP port 67 on any
// address, the one tavisol-sockets opens.
bool IsBootpServerBind(const SocketEntry& entry, const struct sockaddr* name, int namelen) {
    if (entry.af != AF_INET || entry.type != SOCK_DGRAM ||
        (entry.protocol != 0 && entry.protocol != IPPROTO_UDP) ||
        namelen < static_cast<int>(sizeof(sockaddr_in)))
        return false;
    sockaddr_in in;
    std::memcpy(&in, name, sizeof in);
    return in.sin_family == AF_INET && ntohs(in.sin_port) == 67 &&
           in.sin_addr.s_addr == htonl(INADDR_ANY);
}

// The program's bind of port 67 was refused for want of privilege (`refusal`, an errno):
// tavisol-sockets' socket takes its place, or the bind fails as it did, with the helper's
// reason added; where the helper met another error (the port is taken), that one.
int BindThroughHelper(SOCKET s, int refusal) {
    tvposix::HelperOutcome helped =
        tvposix::OpenThroughSocketsHelper({tvhelper::SocketKind::BootpServer, {}});
    if (helped.fd >= 0 && TakeOver(s, helped.fd, &helped.why))
        return 0;
    if (helped.error)
        return FailWith("bind", WsaFromErrno(helped.error), 67, helped.why.c_str());
    std::string detail = std::string(std::strerror(refusal)) + "; " + helped.why;
    return FailWith("bind", WsaFromErrno(refusal), 67, detail.c_str());
}

} // namespace

// ---- the seam ----------------------------------------------------------------------------

namespace tvposix {

void SetFailureObserver(FailureObserver observer) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_observer = std::move(observer);
}

void InjectFailure(const std::string& call, int error, int count, int filter) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_injections.push_back({call, error, count, filter});
}

void ClearInjectedFailures() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_injections.clear();
}

int WsaErrorFromErrno(int e) {
    return WsaFromErrno(e);
}

int TakeInjectedFailure(const char* call, int subject) {
    return Injected(call, subject);
}

void ReportFailure(const char* call, int error, const std::string& detail,
                   const std::string& local) {
    Report(call, error, 0, detail.empty() ? nullptr : detail.c_str(), local);
}

void ResetForNewRun() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& [s, entry] : g_sockets)
        ::close(entry.fd);
    g_sockets.clear();
    g_startupCount = 0;
    g_injections.clear();
}

int OpenSocketCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<int>(g_sockets.size());
}

int StartupCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_startupCount;
}

int DescriptorOf(SOCKET s) {
    SocketEntry entry;
    return Lookup(s, entry) ? entry.fd : -1;
}

const char* WsaErrorName(int error) {
    switch (error) {
    case WSAEINTR:
        return "WSAEINTR";
    case WSAEACCES:
        return "WSAEACCES";
    case WSAEFAULT:
        return "WSAEFAULT";
    case WSAEINVAL:
        return "WSAEINVAL";
    case WSAEMFILE:
        return "WSAEMFILE";
    case WSAEWOULDBLOCK:
        return "WSAEWOULDBLOCK";
    case WSAENOTSOCK:
        return "WSAENOTSOCK";
    case WSAEMSGSIZE:
        return "WSAEMSGSIZE";
    case WSAENOPROTOOPT:
        return "WSAENOPROTOOPT";
    case WSAEPROTONOSUPPORT:
        return "WSAEPROTONOSUPPORT";
    case WSAESOCKTNOSUPPORT:
        return "WSAESOCKTNOSUPPORT";
    case WSAEOPNOTSUPP:
        return "WSAEOPNOTSUPP";
    case WSAEAFNOSUPPORT:
        return "WSAEAFNOSUPPORT";
    case WSAEADDRINUSE:
        return "WSAEADDRINUSE";
    case WSAEADDRNOTAVAIL:
        return "WSAEADDRNOTAVAIL";
    case WSAENETDOWN:
        return "WSAENETDOWN";
    case WSAENETUNREACH:
        return "WSAENETUNREACH";
    case WSAECONNRESET:
        return "WSAECONNRESET";
    case WSAENOBUFS:
        return "WSAENOBUFS";
    case WSAETIMEDOUT:
        return "WSAETIMEDOUT";
    case WSAECONNREFUSED:
        return "WSAECONNREFUSED";
    case WSAEHOSTUNREACH:
        return "WSAEHOSTUNREACH";
    case WSASYSNOTREADY:
        return "WSASYSNOTREADY";
    case WSAVERNOTSUPPORTED:
        return "WSAVERNOTSUPPORTED";
    case WSANOTINITIALISED:
        return "WSANOTINITIALISED";
    default:
        return "WSA error";
    }
}

} // namespace tvposix

// ---- Windows Sockets ---------------------------------------------------------------------

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
    if (int error = Injected("WSAStartup", wVersionRequested)) {
        Report("WSAStartup", error, 0, nullptr);
        return error; // WSAStartup returns its error instead of setting the last error
    }
    if ((wVersionRequested & 0xff) < 1) {
        Report("WSAStartup", WSAVERNOTSUPPORTED, 0, nullptr);
        return WSAVERNOTSUPPORTED;
    }
    if (lpWSAData) {
        std::memset(lpWSAData, 0, sizeof *lpWSAData);
        lpWSAData->wVersion = wVersionRequested;
        lpWSAData->wHighVersion = MAKEWORD(2, 2);
        std::strcpy(lpWSAData->szDescription, "Windows Sockets over BSD sockets");
        std::strcpy(lpWSAData->szSystemStatus, "Running");
        lpWSAData->iMaxSockets = 32767;
        lpWSAData->iMaxUdpDg = 65467;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_startupCount;
    return 0;
}

int WSACleanup() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_startupCount == 0) {
        t_lastError = WSANOTINITIALISED;
        return SOCKET_ERROR;
    }
    --g_startupCount;
    return 0;
}

int WSAGetLastError() {
    return t_lastError;
}
void WSASetLastError(int iError) {
    t_lastError = iError;
}

SOCKET socket(int af, int type, int protocol) {
    bool rawIcmp = type == SOCK_RAW && protocol == IPPROTO_ICMP;
    const char* call = rawIcmp ? "socket(raw ICMP)" : "socket";
    if (!Started()) {
        FailWith(call, WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    if (int error = Injected("socket", type)) {
        FailWith(call, error);
        return INVALID_SOCKET;
    }
    bool pingSocket = false;
    std::string helperWhy;
    int fd = libc::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0 && rawIcmp && af == AF_INET && (errno == EPERM || errno == EACCES)) {
        // Without the right to raw sockets: tavisol-sockets' raw socket, else the kernel's
        // echo socket, which still lets the in-use check run where the system allows it
        // (net.ipv4.ping_group_range).
        int rawErrno = errno;
        tvposix::HelperOutcome helped =
            tvposix::OpenThroughSocketsHelper({tvhelper::SocketKind::RawIcmp, {}});
        fd = helped.fd;
        if (fd < 0) {
            helperWhy = helped.why;
            fd = libc::socket(af, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
            pingSocket = fd >= 0;
        }
        if (fd < 0)
            errno = rawErrno;
    }
    if (fd < 0) {
        int e = errno;
        std::string detail = std::strerror(e);
        if (!helperWhy.empty())
            detail += "; " + helperWhy;
        FailWith(call, WsaFromErrno(e), 0, detail.c_str());
        return INVALID_SOCKET;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    SOCKET s = g_nextHandle++;
    g_sockets[s] = {fd, false, pingSocket, af, type, protocol, {}};
    return s;
}

int bind(SOCKET s, const struct sockaddr* name, int namelen) {
    int port = PortOf(name, namelen);
    std::string local = AddressOf(name, namelen);
    SocketEntry entry;
    if (!Lookup(s, entry))
        return FailWith("bind", WSAENOTSOCK, port, nullptr, local);
    if (int error = Injected("bind", port))
        return FailWith("bind", error, port, nullptr, local);
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in)))
        return FailWith("bind", WSAEFAULT, port);
    if (libc::bind(entry.fd, name, static_cast<socklen_t>(namelen)) != 0) {
        if ((errno == EACCES || errno == EPERM) && IsBootpServerBind(entry, name, namelen))
            return BindThroughHelper(s, errno);
        return FailWithErrno("bind", port, local);
    }
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    SocketEntry entry;
    if (!Lookup(s, entry))
        return FailWith("setsockopt", WSAENOTSOCK);
    if (int error = Injected("setsockopt", optname))
        return FailWith("setsockopt", error);
    OptionResult result = ApplyOption(entry.fd, level, optname, optval, optlen);
    if (result.error)
        return FailWith("setsockopt", result.error, 0,
                        result.detail.empty() ? nullptr : result.detail.c_str());
    if (!result.notice.empty())
        Notice("SO_RCVBUF", result.notice);
    RecordOption(s, level, optname, optval, optlen);
    return 0;
}

namespace {

// sendto, by the interface with index ifIndex from address source when ifIndex is not 0.
int SendDatagram(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to,
                 int tolen, unsigned ifIndex, in_addr source) {
    const int port = PortOf(to, tolen);
    SocketEntry entry;
    if (!Lookup(s, entry))
        return FailWith("sendto", WSAENOTSOCK);
    // Which interface the datagram was to leave by: the one named, else the one the socket's
    // address belongs to.
    const std::string local = ifIndex != 0 ? SpecificAddress(source) : BoundAddress(entry.fd);
    if (int error = Injected("sendto", port))
        return FailWith("sendto", error, port, nullptr, local);
    if (!buf || len < 0)
        return FailWith("sendto", WSAEFAULT);
    ssize_t n;
    if (ifIndex != 0) {
        n = tvposix::SendOutOfInterface(entry.fd, buf, static_cast<std::size_t>(len),
                                        flags | MSG_NOSIGNAL, to,
                                        static_cast<socklen_t>(to ? tolen : 0), ifIndex, source);
    } else {
        n = libc::sendto(entry.fd, buf, static_cast<std::size_t>(len), flags | MSG_NOSIGNAL, to,
                         static_cast<socklen_t>(tolen));
        if (n < 0 && errno == ENETUNREACH && to && tolen >= static_cast<int>(sizeof(sockaddr_in)) &&
            to->sa_family == AF_INET &&
            reinterpret_cast<const sockaddr_in*>(to)->sin_addr.s_addr == htonl(INADDR_BROADCAST))
            n = tvposix::SendBroadcastWithoutRoute(entry.fd, buf, static_cast<std::size_t>(len),
                                                   flags | MSG_NOSIGNAL,
                                                   *reinterpret_cast<const sockaddr_in*>(to));
    }
    if (n < 0) {
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && !entry.nonBlocking)
            return FailWith("sendto", WSAETIMEDOUT, port, nullptr, local);
        return FailWithErrno("sendto", port, local);
    }
    return static_cast<int>(n);
}

// recvfrom, and the arrival interface in *ifIndex when asked for.
int ReceiveDatagram(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen,
                    DWORD* ifIndex) {
    if (ifIndex)
        *ifIndex = 0;
    SocketEntry entry;
    if (!Lookup(s, entry))
        return FailWith("recvfrom", WSAENOTSOCK);
    // Whatever happens now, the program has received: the loop may report this socket
    // again if data is still waiting.
    tvposix::SocketReceived(s);
    if (int error = Injected("recvfrom", 0))
        return FailWith("recvfrom", error);
    if (!buf || len < 0)
        return FailWith("recvfrom", WSAEFAULT);
    if (from && (!fromlen || *fromlen < static_cast<int>(sizeof(sockaddr_in))))
        return FailWith("recvfrom", WSAEFAULT);
    if (entry.pingSocket)
        return ReceiveFromPingSocket(entry, buf, len, flags, from, fromlen);
    sockaddr_storage source{};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    iovec iov{buf, static_cast<std::size_t>(len)};
    msghdr msg{};
    msg.msg_name = &source;
    msg.msg_namelen = sizeof source;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (ifIndex) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
    }
    ssize_t n = ::recvmsg(entry.fd, &msg, flags | MSG_TRUNC);
    if (n < 0) {
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && !entry.nonBlocking)
            return FailWith("recvfrom", WSAETIMEDOUT);
        return FailWithErrno("recvfrom");
    }
    if (from) {
        std::size_t copy = sizeof(sockaddr_in);
        std::memcpy(from, &source, copy);
        *fromlen = static_cast<int>(copy);
    }
    if (ifIndex) {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                *ifIndex = static_cast<DWORD>(info.ipi_ifindex);
            }
        }
    }
    if (n > len)
        return FailWith("recvfrom", WSAEMSGSIZE);
    return static_cast<int>(n);
}

} // namespace

int sendto(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to, int tolen) {
    return SendDatagram(s, buf, len, flags, to, tolen, 0, in_addr{});
}

int recvfrom(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen) {
    return ReceiveDatagram(s, buf, len, flags, from, fromlen, nullptr);
}

int RecvFromInterface(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen,
                      DWORD* pdwIfIndex) {
    DWORD dwIfIndex = 0;
    int n = ReceiveDatagram(s, buf, len, flags, from, fromlen, &dwIfIndex);
    if (pdwIfIndex)
        *pdwIfIndex = dwIfIndex;
    return n;
}

int SendToInterface(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to,
                    int tolen, DWORD dwIfIndex, DWORD dwSourceAddr) {
    in_addr source{};
    source.s_addr = dwSourceAddr;
    if (dwIfIndex == 0)
        return FailWith("sendto", WSAEINVAL, PortOf(to, tolen));
    return SendDatagram(s, buf, len, flags, to, tolen, dwIfIndex, source);
}

int closesocket(SOCKET s) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_sockets.find(s);
        if (it == g_sockets.end()) {
            t_lastError = WSAENOTSOCK;
            return SOCKET_ERROR;
        }
        fd = it->second.fd;
        g_sockets.erase(it);
    }
    tvposix::UnwatchSocket(s);
    ::close(fd);
    return 0;
}

int WSAAsyncSelect(SOCKET s, HWND hWnd, UINT wMsg, long lEvent) {
    SocketEntry entry;
    if (!Lookup(s, entry))
        return FailWith("WSAAsyncSelect", WSAENOTSOCK);
    if (int error = Injected("WSAAsyncSelect", 0))
        return FailWith("WSAAsyncSelect", error);
    int fl = ::fcntl(entry.fd, F_GETFL, 0);
    if (fl < 0 || ::fcntl(entry.fd, F_SETFL, fl | O_NONBLOCK) < 0)
        return FailWithErrno("WSAAsyncSelect");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_sockets.find(s);
        if (it != g_sockets.end())
            it->second.nonBlocking = true;
    }
    if (lEvent == 0 || !hWnd)
        tvposix::UnwatchSocket(s);
    else
        tvposix::WatchSocket(s, entry.fd, hWnd, wMsg, lEvent);
    return 0;
}
