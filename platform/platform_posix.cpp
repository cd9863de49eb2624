// The platform layer's descriptors, errors and process set-up on POSIX
// systems, with what a feature test found beyond POSIX.1-2017.
#include "platform/platform.h"

#include "platform/system.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#if BRENZOLT_HAS_MALLOPT_ARENA_MAX
#include <malloc.h>
#endif
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace brenzolt {

namespace sys {

const int kNotFound = ENOENT, kExists = EEXIST, kIsDirectory = EISDIR, kNoSpace = ENOSPC,
          kIoError = EIO;

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

bool readAhead([[maybe_unused]] int fd, [[maybe_unused]] std::uint64_t offset,
               [[maybe_unused]] std::uint64_t size) {
#if BRENZOLT_HAS_POSIX_FADVISE
    if (inMemory(fd))
        return false;
    ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(size), POSIX_FADV_WILLNEED);
    return true;
#else
    return false;
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
    return fd >= 0 && (::close(fd) == 0 || errno == EINTR);
}

int lastError() {
    return errno;
}

void setLastError(int error) {
    errno = error;
}

std::string reasonOf(int error) {
    return std::strerror(error);
}

std::size_t mostDescriptors() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1 << 20;
    return static_cast<std::size_t>(limit.rlim_cur);
}

} // namespace sys

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool prepareProcess() {
    // The runtime sets memory aside to report a failed allocation as it
    // starts, where it can: some 72 KiB, on a heap whose first growth takes
    // 132 KiB. With less than 256 KiB of address space left it may have none
    // (and no grid converts in so little), and a failed allocation would end
    // the process unreported. Measured, not allocated: the heap stays as it
    // was (where /proc tells the size of the process).
#if BRENZOLT_HAS_PROC
    struct rlimit limit {};
    char size[64] = {};
    int statm = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    ssize_t n = statm >= 0 ? ::read(statm, size, sizeof size - 1) : -1;
    if (statm >= 0)
        ::close(statm);
    if (n > 0 && ::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < std::strtoull(size, nullptr, 10) * ::sysconf(_SC_PAGESIZE) + (256 << 10))
        return false;
#else
    // Elsewhere the room is tried: taken and given back at once, off the heap.
    void* room = ::mmap(nullptr, 256 << 10, PROT_NONE, MAP_PRIVATE | MAP_ANON, -1, 0);
    if (room == MAP_FAILED)
        return false;
    ::munmap(room, 256 << 10);
#endif
#if BRENZOLT_HAS_PTHREAD_SETATTR_DEFAULT_NP
    // Threads that format take a few hundred KiB of stack and the one heap,
    // not 8 MiB and a heap of 64 MiB each, so that a limit on the address
    // space (ulimit -v) leaves room for all of them. Where the system cannot
    // say so, fewer of them start under such a limit; the text is the same.
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
    return true;
}

} // namespace brenzolt
