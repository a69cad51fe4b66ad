// Running tavisol-sockets for one socket and taking it over (see privileged.h).
#include "platform/posix/privileged.h"

#include "platform/posix/sockets-helper/open_socket.h"
#include "platform/posix/sockets-helper/reply.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>

namespace tvposix {

namespace {

constexpr int kReplyTimeoutMs = 5000;
constexpr const char kNotPermitted[] = "tavisol-sockets not installed or not permitted";

std::mutex g_pathMutex;
std::string g_pathForTests;

std::string ExecutableDirectory() {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    std::string exe(path, static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// The helper is trusted, but a stale or foreign file could stand in its place: only the
// socket asked for is taken.
bool IsSocketAskedFor(int fd, const tvhelper::SocketRequest& request) {
    const int domain = tvhelper::SocketOption(fd, SO_DOMAIN),
              type = tvhelper::SocketOption(fd, SO_TYPE);
    switch (request.kind) {
    case tvhelper::SocketKind::BootpServer: {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        return domain == AF_INET && type == SOCK_DGRAM &&
               tvhelper::SocketOption(fd, SO_PROTOCOL) == IPPROTO_UDP &&
               ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
               local.sin_port == htons(67) && local.sin_addr.s_addr == htonl(INADDR_ANY);
    }
    case tvhelper::SocketKind::RawIcmp:
        return domain == AF_INET && type == SOCK_RAW &&
               tvhelper::SocketOption(fd, SO_PROTOCOL) == IPPROTO_ICMP;
    case tvhelper::SocketKind::ArpPacket: {
        sockaddr_ll link{};
        socklen_t length = sizeof link;
        return domain == AF_PACKET && type == SOCK_DGRAM &&
               ::getsockname(fd, reinterpret_cast<sockaddr*>(&link), &length) == 0 &&
               link.sll_protocol == htons(ETH_P_ARP) &&
               link.sll_ifindex == static_cast<int>(::if_nametoindex(request.interface.c_str()));
    }
    }
    return false;
}

// Starts the helper with `channel` as its standard input, /dev/null as its output, no
// other descriptor, default signal handling and an empty environment.
int Spawn(const std::string& path, int channel, pid_t* pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, channel, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char name[] = "tavisol-sockets";
    char* argv[] = {name, nullptr};
    char* envp[] = {nullptr};
    int error = ::posix_spawn(pid, path.c_str(), &actions, &attributes, argv, envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

// Waits for the helper to end, which it does right after its reply; one that lingers (or
// never answered) is killed rather than waited for without end.
void Reap(pid_t pid, bool answered) {
    int pidfd = answered ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1;
    if (pidfd >= 0) {
        pollfd exited{pidfd, POLLIN, 0};
        int ready;
        do
            ready = ::poll(&exited, 1, kReplyTimeoutMs);
        while (ready < 0 && errno == EINTR);
        ::close(pidfd);
        answered = ready > 0;
    }
    if (!answered)
        ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The reply and the descriptor that came with it (-1 when none did).
std::optional<tvhelper::Reply> ReceiveReply(int channel, int* fd, std::string* why) {
    *fd = -1;
    pollfd wait{channel, POLLIN, 0};
    int ready;
    do
        ready = ::poll(&wait, 1, kReplyTimeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        *why = "tavisol-sockets did not answer";
        return std::nullopt;
    }
    unsigned char text[512];
    iovec part{text, sizeof text};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    // A helper that ends with a request of ours unread leaves a connection reset to be
    // reported once, ahead of the reply it did send.
    ssize_t n;
    int resets = 0;
    do
        n = ::recvmsg(channel, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    while (n < 0 && (errno == EINTR || (errno == ECONNRESET && resets++ == 0)));
    if (n <= 0) {
        *why = "tavisol-sockets ended without an answer";
        return std::nullopt;
    }
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
            header->cmsg_len == CMSG_LEN(sizeof(int)) && *fd < 0)
            std::memcpy(fd, CMSG_DATA(header), sizeof *fd);
    }
    const bool cut = (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
    auto reply = cut ? std::nullopt : tvhelper::ReadReply({text, static_cast<std::size_t>(n)});
    if (!reply) {
        *why = "tavisol-sockets gave an answer that is not one";
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    return reply;
}

HelperOutcome NotPermitted(const std::string& detail) {
    return {-1, 0, std::string(kNotPermitted) + " (" + detail + ")"};
}

} // namespace

std::string SocketsHelperPath() {
    {
        std::lock_guard<std::mutex> lock(g_pathMutex);
        if (!g_pathForTests.empty())
            return g_pathForTests;
    }
    const std::string dir = ExecutableDirectory();
    const std::string installed = dir + "/" + TAVISOL_SOCKETS_HELPER_FROM_BINDIR;
    const std::string buildTop = dir + "/" + TAVISOL_SOCKETS_HELPER_FROM_TOP;
    if (!Exists(installed) && Exists(buildTop))
        return buildTop;
    return installed;
}

void SetSocketsHelperPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_pathMutex);
    g_pathForTests = path;
}

HelperOutcome OpenThroughSocketsHelper(const tvhelper::SocketRequest& request) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return {-1, 0, std::string("no socket pair for tavisol-sockets: ") + std::strerror(errno)};
    // The helper's end must not sit on 0 to 2 itself, where the file actions would clobber it.
    if (pair[1] <= 2) {
        int moved = ::fcntl(pair[1], F_DUPFD_CLOEXEC, 3);
        ::close(pair[1]);
        pair[1] = moved;
    }
    const std::string path = SocketsHelperPath();
    pid_t pid = -1;
    int spawnError = pair[1] < 0 ? errno : Spawn(path, pair[1], &pid);
    if (pair[1] >= 0)
        ::close(pair[1]);
    if (spawnError != 0) {
        ::close(pair[0]);
        return NotPermitted(path + ": " + std::strerror(spawnError));
    }

    const std::string text = tvhelper::WriteRequest(request);
    ::send(pair[0], text.data(), text.size(), MSG_NOSIGNAL);
    int fd = -1;
    std::string why;
    std::optional<tvhelper::Reply> reply = ReceiveReply(pair[0], &fd, &why);
    ::close(pair[0]);
    Reap(pid, reply.has_value());

    if (reply && reply->outcome == tvhelper::Reply::Outcome::Ok && fd >= 0 &&
        IsSocketAskedFor(fd, request))
        return {fd, 0, {}};
    if (fd >= 0)
        ::close(fd);
    if (!reply)
        return {-1, 0, why};
    switch (reply->outcome) {
    case tvhelper::Reply::Outcome::Ok:
        return {-1, 0, "tavisol-sockets handed over no socket of the kind asked for"};
    case tvhelper::Reply::Outcome::Refused:
        return {-1, 0, "tavisol-sockets refused: " + reply->text};
    case tvhelper::Reply::Outcome::Failed:
        // Without its capabilities the helper is no better off than the program.
        if (reply->error == EPERM || reply->error == EACCES)
            return NotPermitted(reply->text);
        return {-1, reply->error, "tavisol-sockets: " + reply->text};
    }
    return {-1, 0, why};
}

int OpenArpPacketSocket(const char* ifname, std::string* why) {
    tvhelper::SocketRequest request{tvhelper::SocketKind::ArpPacket, ifname ? ifname : ""};
    tvhelper::OpenedSocket direct = tvhelper::OpenRequestedSocket(request);
    if (direct.fd >= 0)
        return direct.fd;
    if (direct.error != EPERM && direct.error != EACCES) {
        if (why)
            *why = direct.why;
        return -1;
    }
    HelperOutcome helped = OpenThroughSocketsHelper(request);
    if (helped.fd < 0 && why)
        *why = helped.error ? helped.why : direct.why + "; " + helped.why;
    return helped.fd;
}

} // namespace tvposix
