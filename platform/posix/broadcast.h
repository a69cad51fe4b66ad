// Datagrams out of one interface on Linux: the send that names its interface, and the limited
// broadcast (255.255.255.255) from a socket that names none, on a LAN without a gateway.
#pragma once

#include <cstddef>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace tvposix {

// Windows puts a datagram for 255.255.255.255 on a LAN whether or not a route covers it, out of
// one interface: its preferred one. Linux finds no route to it on a LAN without a default
// gateway (a workstation cabled straight to an appliance, say) and fails with ENETUNREACH.
// This sends it out of one interface instead, the first that is up and can broadcast, as
// Windows would. Which interfaces a broadcast of the program's goes out of is the program's
// own choice (platform/ifsocket.h); this only stands in for Windows where the program named
// none. Returns the datagram's size, or -1 with errno set.
ssize_t SendBroadcastWithoutRoute(int fd, const void* buf, std::size_t n, int flags,
                                  const sockaddr_in& to);

// sendmsg out of the interface with index ifIndex, from source (IP_PKTINFO): the kernel takes
// the interface as given, without a route lookup. Returns sendmsg's result, errno as it left it.
ssize_t SendOutOfInterface(int fd, const void* buf, std::size_t n, int flags,
                           const struct sockaddr* to, socklen_t tolen, unsigned ifIndex,
                           in_addr source);

} // namespace tvposix
