// The platform layer's descriptors, errors and process set-up on POSIX
// systems, with what a feature test found beyond POSIX.1-2017.
#include "platform/platform.h"

#include "platform/system.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#if BRENZOLT_HAS_MALLOPT_ARENA_MAX
#include <malloc.h>
#endif
#include <unistd.h>

namespace brenzolt {

namespace sys {

const int kNotFound = ENOENT, kExists = EEXIST, kIsDirectory = EISDIR;

bool writeAll(int fd, const char* data, std::size_t size, std::int64_t offset) {
    while (size > 0) {
        ssize_t n = offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
        if (n < 0 && errno != EINTR)
            return false;
        n = std::max<ssize_t>(n, 0);
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += offset < 0 ? 0 : n;
    }
    return true;
}

void readAhead([[maybe_unused]] int fd, [[maybe_unused]] std::uint64_t offset,
               [[maybe_unused]] std::uint64_t size) {
#if BRENZOLT_HAS_POSIX_FADVISE
    ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(size), POSIX_FADV_WILLNEED);
#endif
}

std::int64_t readSome(int fd, void* buffer, std::size_t size, std::int64_t offset) {
    for (;;) {
        ssize_t n = offset < 0 ? ::read(fd, buffer, size) : ::pread(fd, buffer, size, offset);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

int duplicate(int fd) {
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

bool closeChecked(int fd) {
    // Retrying an interrupted close could close someone else's descriptor.
    return ::close(fd) == 0 || errno == EINTR;
}

int lastError() {
    return errno;
}

std::string reasonOf(int error) {
    return std::strerror(error);
}

} // namespace sys

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void prepareProcess() {
    // Threads that format take a few hundred KiB of stack and the one heap,
    // not 8 MiB and a heap of 64 MiB each, so that a limit on the address
    // space (ulimit -v) leaves room for all of them. Where the system cannot
    // say so, fewer of them start under such a limit; the text is the same.
#if BRENZOLT_HAS_PTHREAD_SETATTR_DEFAULT_NP
    pthread_attr_t small;
    if (::pthread_attr_init(&small) == 0) {
        if (::pthread_attr_setstacksize(&small, 256 << 10) == 0)
            ::pthread_setattr_default_np(&small);
        ::pthread_attr_destroy(&small);
    }
#endif
#if BRENZOLT_HAS_MALLOPT_ARENA_MAX
    ::mallopt(M_ARENA_MAX, 1);
#endif
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN); // a write past the file size limit fails with EFBIG
    sys::undoOnSignals();
}

} // namespace brenzolt
