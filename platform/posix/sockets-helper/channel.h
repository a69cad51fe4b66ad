// tavisol-sockets' end of the socket pair the program gives it as standard input: an
// AF_UNIX SOCK_SEQPACKET socket that carries one request in and one reply (and the socket)
// out.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tvhelper {

constexpr int kChannel = 0;

// Whether fd is what the program passes: an AF_UNIX SOCK_SEQPACKET socket. Else why not.
bool IsChannel(int fd, std::string* why);

// The first datagram, waiting at most timeoutMs for it; at most maxBytes + 1 bytes of it are
// kept, so a longer one shows as too long. Descriptors sent along are refused (the kernel
// closes them). nullopt with the reason when there is no request to read.
std::optional<std::vector<unsigned char>> ReceiveRequest(int fd, int timeoutMs,
                                                         std::size_t maxBytes, std::string* why);

// Whether a further datagram is already waiting behind the first.
bool AnotherRequestWaiting(int fd);

// Sends the reply, with `passFd` as SCM_RIGHTS when it is not -1.
bool SendReply(int fd, const std::string& reply, int passFd);

} // namespace tvhelper
