// Stands for a library that a local user preloads into tavisol-sockets (LD_PRELOAD): once
// loaded it leaves the file that TAVISOL_PRELOAD_MARKER names, so a test sees it ran.
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {
__attribute__((constructor)) void LeaveMarker() {
    if (const char* path = std::getenv("TAVISOL_PRELOAD_MARKER")) {
        int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            ::close(fd);
    }
}
} // namespace
