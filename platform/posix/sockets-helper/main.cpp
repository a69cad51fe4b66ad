// tavisol-sockets: opens one of the three sockets that the kernel keeps from an ordinary user
// (UDP port 67, a raw ICMP socket, an ARP packet socket on one interface) for the program
// that ran it, hands it over as SCM_RIGHTS on the socket pair it got as standard input, and
// exits.
//
// It is the one file of Tavisol that holds capabilities (cap_net_bind_service and
// cap_net_raw; its mode keeps it to the group tavisol), so the programs that load Qt and read
// their environment hold none. It therefore trusts nothing of its caller: it takes no
// argument, runs only with an empty environment, reads no file, reads one request from a
// fixed list (request.h) and refuses anything else. The parser runs with no capability
// effective, and every capability is dropped for good (with no_new_privs) before it says a
// word to the caller.
//
// Exit status: 0 the socket was handed over, 1 refused, 2 the system would not open it or
// the reply could not be sent. The reason goes to stderr and, as the reply, to the caller.
#include "platform/posix/sockets-helper/capabilities.h"
#include "platform/posix/sockets-helper/channel.h"
#include "platform/posix/sockets-helper/open_socket.h"
#include "platform/posix/sockets-helper/reply.h"
#include "platform/posix/sockets-helper/request.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

extern char** environ;

namespace {

using tvhelper::kChannel;
using tvhelper::Reply;

// The caller does not wait for ever; neither does the helper.
constexpr int kRequestTimeoutMs = 5000;

// Descriptors 0 to 2 are always open, so no socket of ours can land on stderr; nothing the
// caller left open beyond them stays open.
void TidyDescriptors() {
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            ::open("/dev/null", O_RDWR); // takes the lowest free number: this one
    if (::close_range(3, ~0u, 0) != 0)
        for (int fd = 3; fd < 1024; ++fd)
            ::close(fd);
}

void Say(const char* what, const std::string& why) {
    std::fprintf(stderr, "tavisol-sockets: %s: %s\n", what, why.c_str());
}

// Ends a run without a socket. The capabilities go first; without that nothing more is said
// to the caller.
int Finish(const Reply& reply, bool answerCaller) {
    std::string why;
    const bool dropped = tvhelper::DropAllCapabilities(&why);
    Say(reply.outcome == Reply::Outcome::Refused ? "refused" : "failed", reply.text);
    if (!dropped) {
        Say("failed", why);
        return 2;
    }
    if (answerCaller)
        tvhelper::SendReply(kChannel, tvhelper::WriteReply(reply), -1);
    return reply.outcome == Reply::Outcome::Refused ? 1 : 2;
}

int Refuse(const std::string& why, bool answerCaller = true) {
    return Finish({Reply::Outcome::Refused, 0, why}, answerCaller);
}

// The socket, with the one capability it needs effective for just that long.
tvhelper::OpenedSocket OpenWithCapability(const tvhelper::SocketRequest& request) {
    const int capability = tvhelper::CapabilityFor(request.kind);
    tvhelper::SetEffective({capability});
    tvhelper::OpenedSocket opened = tvhelper::OpenRequestedSocket(request);
    if (!tvhelper::SetEffective({})) {
        const int error = errno;
        if (opened.fd >= 0)
            ::close(opened.fd);
        return {-1, error, "cannot lower its capabilities again"};
    }
    if ((opened.error == EPERM || opened.error == EACCES) && !tvhelper::Permitted(capability))
        opened.why += capability == CAP_NET_RAW ? " (it holds no cap_net_raw)"
                                                : " (it holds no cap_net_bind_service)";
    return opened;
}

} // namespace

int main(int argc, char**) {
    if (!tvhelper::SetEffective({}))
        return 2;
    TidyDescriptors();
    if (argc != 1)
        return Refuse("tavisol-sockets takes no arguments");
    if (environ && environ[0])
        return Refuse("tavisol-sockets runs only with an empty environment");
    std::string why;
    if (!tvhelper::IsChannel(kChannel, &why))
        return Refuse(why, false);

    auto datagram =
        tvhelper::ReceiveRequest(kChannel, kRequestTimeoutMs, tvhelper::kMaxRequestBytes, &why);
    if (!datagram)
        return Refuse(why);
    if (tvhelper::AnotherRequestWaiting(kChannel))
        return Refuse("more than one request (one per run)");
    tvhelper::RequestReading reading = tvhelper::ReadRequest(*datagram);
    if (!reading.request)
        return Refuse(reading.refusal);

    tvhelper::OpenedSocket opened = OpenWithCapability(*reading.request);
    if (opened.fd < 0)
        return Finish({Reply::Outcome::Failed, opened.error, opened.why}, true);
    if (!tvhelper::DropAllCapabilities(&why)) {
        ::close(opened.fd);
        Say("failed", why);
        return 2;
    }
    if (!tvhelper::SendReply(kChannel, tvhelper::WriteReply({Reply::Outcome::Ok, 0, {}}),
                             opened.fd)) {
        Say("failed", "the program did not take the socket");
        return 2;
    }
    return 0;
}
