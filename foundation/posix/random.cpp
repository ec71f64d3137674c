// Unpredictable bytes on POSIX: read from /dev/urandom.
#include "foundation/random.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool FillRandom(void* p, size_t n) {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char* pBytes = static_cast<unsigned char*>(p);
    size_t filled = 0;
    while (filled < n) {
        const ssize_t got = read(fd, pBytes + filled, n - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
    }
    close(fd);
    return filled == n;
}
