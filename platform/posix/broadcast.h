// The limited broadcast (255.255.255.255) on a LAN without a gateway.
#pragma once

#include <cstddef>
#include <netinet/in.h>
#include <sys/types.h>

namespace tvposix {

// Windows puts a datagram for 255.255.255.255 on the LAN whether or not a route covers it;
// Linux finds no route to it on a LAN without a default gateway (a workstation cabled
// straight to an appliance, say) and fails with ENETUNREACH. This sends it out of every
// interface that is up and can broadcast instead, as the LAN would have it. Returns the
// datagram's size when it went out of at least one, otherwise -1 with errno set.
ssize_t SendOnEveryBroadcastInterface(int fd, const void* buf, std::size_t n, int flags,
                                      const sockaddr_in& to);

} // namespace tvposix
