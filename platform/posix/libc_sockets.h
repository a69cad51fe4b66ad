// The C library's own socket calls. winapi.h renames socket() and gethostbyname() while the
// C headers are read, so that the Windows-style ones can take their names, and overloads the
// other calls for SOCKET; platform/posix and the tests that play a far end which is no part
// of the program reach the originals through these declarations.
#pragma once

#include "platform/winapi.h"

#include <cstddef>

namespace libc {
extern "C" {
int socket(int domain, int type, int protocol) noexcept;
int bind(int fd, const struct sockaddr* addr, socklen_t len) noexcept;
int setsockopt(int fd, int level, int optname, const void* optval, socklen_t optlen) noexcept;
ssize_t sendto(int fd, const void* buf, std::size_t n, int flags, const struct sockaddr* addr,
               socklen_t addrLen);
ssize_t recvfrom(int fd, void* buf, std::size_t n, int flags, struct sockaddr* addr,
                 socklen_t* addrLen);
int getsockname(int fd, struct sockaddr* addr, socklen_t* addrLen) noexcept;
struct hostent* gethostbyname(const char* name);
}
} // namespace libc
