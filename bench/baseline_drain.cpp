// The bare baseline of the benchmarks: a UDP socket on the port the program listens on,
// drained as fast as one thread can, doing nothing with what it reads. What the program takes
// longer than this is the program's own cost.
//
//   tavisol-bench-drain --port P --expect N [--rcvbuf BYTES] [--idle-ms MS] [--timeout-ms MS]
//
// Prints "ready" once bound; afterwards one line
//   drained count=C first_ns=T0 last_ns=T1
// (CLOCK_MONOTONIC nanoseconds of the first and the last datagram read) once N datagrams
// were read, nothing came for the idle time after the first, or the time-out passed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::uint64_t MonotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

int Usage() {
    std::fputs("usage: tavisol-bench-drain --port P --expect N [--rcvbuf BYTES] [--idle-ms MS] "
               "[--timeout-ms MS]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    long port = -1, expect = -1, rcvbuf = 0, idleMs = 1000, timeoutMs = 30000;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        long value = std::strtol(argv[i + 1], nullptr, 10);
        if (opt == "--port")
            port = value;
        else if (opt == "--expect")
            expect = value;
        else if (opt == "--rcvbuf")
            rcvbuf = value;
        else if (opt == "--idle-ms")
            idleMs = value;
        else if (opt == "--timeout-ms")
            timeoutMs = value;
        else
            return Usage();
    }
    if (argc % 2 == 0 || port <= 0 || port > 65535 || expect <= 0)
        return Usage();

    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    if (rcvbuf > 0) {
        // The same buffer as the program's listener gets: beyond the system's cap where the
        // process may, up to the cap otherwise.
        int size = static_cast<int>(rcvbuf);
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("bind");
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);

    char buffer[2048];
    long count = 0;
    std::uint64_t first = 0, last = 0;
    const std::uint64_t start = MonotonicNs();
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n >= 0) {
            last = MonotonicNs();
            if (count++ == 0)
                first = last;
            if (count >= expect)
                break;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            std::perror("recv");
            return 1;
        }
        std::uint64_t now = MonotonicNs();
        std::uint64_t until = count ? last + static_cast<std::uint64_t>(idleMs) * 1000000ull
                                    : start + static_cast<std::uint64_t>(timeoutMs) * 1000000ull;
        if (now >= until)
            break;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>((until - now) / 1000000ull) + 1);
    }
    std::printf("drained count=%ld first_ns=%llu last_ns=%llu\n", count,
                static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
    return 0;
}
