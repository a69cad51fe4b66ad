// The three sockets of tavisol-sockets' list, opened as the request names them. Shared by
// the helper, which raises the capability a socket needs around this call, and by the
// program, which first tries the same call itself (as root it needs no helper).
#pragma once

#include "platform/posix/sockets-helper/request.h"

#include <string>

namespace tvhelper {

struct OpenedSocket {
    int fd = -1;     // the socket (close-on-exec), or -1
    int error = 0;   // else the errno of the call that failed
    std::string why; // and what failed, for a person
};

OpenedSocket OpenRequestedSocket(const SocketRequest& request);

// The capability the kernel asks for that socket (CAP_NET_BIND_SERVICE, CAP_NET_RAW).
int CapabilityFor(SocketKind kind);

// An integer socket option at level SOL_SOCKET (SO_DOMAIN, SO_TYPE, ...), -1 when unknown.
int SocketOption(int fd, int option);

} // namespace tvhelper
