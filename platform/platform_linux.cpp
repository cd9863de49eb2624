// The platform layer's system calls on Linux.
#include "platform/platform.h"

#include "platform/system.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace brenzolt {

namespace {

FileId fileIdOf(const struct stat& st) {
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Whether `name` in `directory` is the file `id`, the name itself not followed.
bool isNamed(int directory, const char* name, const FileId& id) {
    struct stat st {};
    return ::fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && fileIdOf(st) == id;
}

// What a signal must undo (sys::Undo), and whether it must wait (sys::SignalsHeld).
// A signal handler is given no argument, so this is the one piece of
// process-wide state.
struct PendingUndo {
    int directory;
    char name[NAME_MAX + 1];
    FileId id;
    int emptied;
    volatile std::sig_atomic_t armed, held, waiting;
};
PendingUndo pendingUndo;

extern "C" void undoAndEnd(int signal) {
    if (pendingUndo.held) {
        pendingUndo.waiting = signal;
        return;
    }
    if (pendingUndo.armed && pendingUndo.name[0] != '\0' &&
        isNamed(pendingUndo.directory, pendingUndo.name, pendingUndo.id))
        ::unlinkat(pendingUndo.directory, pendingUndo.name, 0);
    if (pendingUndo.armed && pendingUndo.emptied >= 0)
        (void)!::ftruncate(pendingUndo.emptied, 0);
    // Ends the process as the signal would have: the caller sees the signal.
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Where a name that is not there yet leads: to the name that the last of
// any links to nothing would create. The first open has applied the system's
// rules for following them.
std::string endOfLinks(std::string path) {
    char target[PATH_MAX];
    for (int links = 0; links < 40; ++links) {
        ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || n == sizeof target)
            break;
        std::string next(target, static_cast<std::size_t>(n));
        path = next.starts_with('/') ? next : path.substr(0, path.rfind('/') + 1) + next;
    }
    return path;
}

} // namespace

namespace sys {

const int kNotFound = ENOENT, kExists = EEXIST, kIsDirectory = EISDIR;

int writeAll(int fd, const char* data, std::size_t size, std::int64_t offset) {
    while (size > 0) {
        ssize_t n = offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
        if (n < 0 && errno != EINTR)
            return errno;
        n = std::max<ssize_t>(n, 0);
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += offset < 0 ? 0 : n;
    }
    return 0;
}

void readAhead(int fd, std::uint64_t offset, std::uint64_t size) {
    ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(size), POSIX_FADV_WILLNEED);
}

std::int64_t readSome(int fd, void* buffer, std::size_t size, std::int64_t offset, int& error) {
    for (;;) {
        ssize_t n = offset < 0 ? ::read(fd, buffer, size) : ::pread(fd, buffer, size, offset);
        if (n >= 0 || errno != EINTR) {
            error = n < 0 ? errno : error;
            return n;
        }
    }
}

// One byte at a time, so that a script can pipe the answers and keep the
// rest of its input.
std::string readLine(int fd) {
    std::string line;
    char c;
    int error = 0;
    while ((line.empty() || line.back() != '\n') && readSome(fd, &c, 1, -1, error) == 1)
        line.push_back(c);
    return line;
}

int descriptorIfOpen(int fd) {
    return ::fcntl(fd, F_GETFD) == -1 ? -1 : fd;
}

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
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

bool factsOf(int fd, Facts& facts) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    facts = Facts{.id = fileIdOf(st),
                  .kind = S_ISREG(st.st_mode)   ? Kind::regular
                          : S_ISDIR(st.st_mode) ? Kind::directory
                          : S_ISCHR(st.st_mode) ? Kind::device
                                                : Kind::other,
                  .links = st.st_nlink,
                  .size = static_cast<std::uint64_t>(st.st_size),
                  .ownedByOther = st.st_uid != ::geteuid(),
                  .permissions = st.st_mode & 07777u,
                  .group = st.st_gid};
    return true;
}

bool isSameFile(int a, int b) {
    Facts one, other;
    return a >= 0 && b >= 0 && factsOf(a, one) && factsOf(b, other) && one.id == other.id;
}

int openForReading(const std::string& name) {
    return ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
}

int openForWriting(const std::string& name) {
    return ::open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
}

bool openDirectoryOf(int fd, const std::string& name, Directory& directory, std::string& base) {
    // An open file's path as the system found it when it was opened.
    char opened[PATH_MAX];
    ssize_t n =
        fd >= 0 ? ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), opened, PATH_MAX) : 0;
    std::string path =
        fd >= 0 ? std::string(opened, n > 0 && n < PATH_MAX ? n : 0) : endOfLinks(name);
    std::size_t slash = path.rfind('/');
    base = path.substr(slash + 1);
    std::string where = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    directory.fd = ::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Facts facts;
    // The file must be the one found under that name.
    if (directory.fd >= 0 && !base.empty() && base != "." && base != ".." &&
        (fd < 0 || (factsOf(fd, facts) && isNamed(directory.fd, base.c_str(), facts.id))))
        return true;
    if (directory.fd >= 0) {
        ::close(std::exchange(directory.fd, -1));
        errno = EISDIR;
    }
    return false;
}

bool openTemporaryDirectory(Directory& directory) {
    const char* path = std::getenv("TMPDIR");
    path = path != nullptr && *path == '/' ? path : "/tmp";
    directory.fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return directory.fd >= 0;
}

int createExclusive(const Directory& directory, const std::string& name) {
    return ::openat(directory.fd, name.c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
}

void removeIfSame(const Directory& directory, const std::string& name, const FileId& id) {
    if (isNamed(directory.fd, name.c_str(), id))
        ::unlinkat(directory.fd, name.c_str(), 0);
}

Placed putInPlace(const Directory& directory, const std::string& from, const std::string& to,
                  const FileId* replaced) {
    const char *source = from.c_str(), *target = to.c_str();
    int at = directory.fd;
    // Fails on a name that another run has taken since this one found it free;
    // without the exclusive rename, a hard link fails on it just the same.
    if (replaced == nullptr && ::renameat2(at, source, at, target, RENAME_NOREPLACE) != 0 &&
        (errno != EINVAL || ::linkat(at, source, at, target, 0) != 0 || ::unlinkat(at, source, 0)))
        return errno == EEXIST ? Placed::changed : Placed::failed;
    if (replaced == nullptr)
        return Placed::done;
    // In one step the old file comes out under the temporary name: unless it
    // is the file this run opened, another run's grid stood there, and goes back.
    if (::renameat2(at, source, at, target, RENAME_EXCHANGE) == 0) {
        bool same = isNamed(at, source, *replaced);
        same ? ::unlinkat(at, source, 0) : ::renameat2(at, source, at, target, RENAME_EXCHANGE);
        return same ? Placed::done : Placed::changed;
    }
    if (errno != EINVAL)
        return errno == ENOENT ? Placed::changed : Placed::failed;
    // Without the exchange: a check, then the rename.
    if (!isNamed(at, target, *replaced))
        return Placed::changed;
    return ::renameat(at, source, at, target) == 0 ? Placed::done : Placed::failed;
}

bool takeAttributes(int fd, const Facts* old) {
    mode_t mask = ::umask(0);
    ::umask(mask);
    // A group the user is not in stays the user's own; the owner never changes.
    if (old != nullptr)
        (void)!::fchown(fd, static_cast<uid_t>(-1), old->group);
    return ::fchmod(fd, old != nullptr ? old->permissions : 0666 & ~mask) == 0;
}

bool emptyFile(int fd) {
    return ::ftruncate(fd, 0) == 0;
}

bool flushData(int fd) {
    return ::fdatasync(fd) == 0;
}

bool flushDirectory(const Directory& directory) {
    return ::fsync(directory.fd) == 0;
}

void startWriteback(int fd, std::uint64_t offset, std::uint64_t length) {
    ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
}

void setUndo(const Undo& undo) {
    pendingUndo.armed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pendingUndo.directory = undo.directory != nullptr ? undo.directory->fd : -1;
    std::snprintf(pendingUndo.name, sizeof pendingUndo.name, "%s", undo.name.c_str());
    pendingUndo.id = undo.id;
    pendingUndo.emptied = undo.emptied;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pendingUndo.armed = 1;
}

SignalsHeld::SignalsHeld() {
    pendingUndo.held = 1;
}

// A signal that came meanwhile is handled now.
SignalsHeld::~SignalsHeld() {
    pendingUndo.held = 0;
    if (pendingUndo.waiting != 0)
        undoAndEnd(pendingUndo.waiting);
}

} // namespace sys

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void prepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN); // a write past the file size limit fails with EFBIG
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        // A signal the caller set to be ignored (nohup, a background job)
        // stays ignored.
        if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            continue;
        action.sa_handler = undoAndEnd;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace brenzolt
