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
#include <malloc.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace brenzolt {

namespace {

FileId fileIdOf(const struct stat& st) {
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Whether `name` in `directory` is the file `id`, the name itself not followed.
bool isNamedAt(int directory, const char* name, const FileId& id) {
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
    volatile std::sig_atomic_t armed, held, waiting;
};
PendingUndo pendingUndo;

constexpr int kUndoneSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void undoAndEnd(int signal) {
    // Past the commit the signal is ignored: one that came in the meantime too.
    struct sigaction now {};
    if (::sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN)
        return;
    if (pendingUndo.held) {
        pendingUndo.waiting = signal;
        return;
    }
    if (pendingUndo.armed && pendingUndo.name[0] != '\0' &&
        isNamedAt(pendingUndo.directory, pendingUndo.name, pendingUndo.id))
        ::unlinkat(pendingUndo.directory, pendingUndo.name, 0);
    // Ends the process as the signal would have: the caller sees the signal.
    std::signal(signal, SIG_DFL);
    ::raise(signal);
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

// A name may hold any byte but '/' and NUL, quotes included; no window belongs
// to a console program alone.
const bool kQuotedAnswers = false;

bool isOwnConsoleWindow(int, int) {
    return false;
}

int descriptorIfOpen(int fd) {
    return ::fcntl(fd, F_GETFD) == -1 ? -1 : fd;
}

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
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

bool factsOf(int fd, Facts& facts) {
    struct stat st {};
    struct statx more {};
    if (::fstat(fd, &st) != 0)
        return false;
    bool mountPoint = ::statx(fd, "", AT_EMPTY_PATH, 0, &more) == 0 &&
                      (more.stx_attributes & more.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT);
    facts = Facts{.id = fileIdOf(st),
                  .kind = S_ISREG(st.st_mode)   ? Kind::regular
                          : S_ISDIR(st.st_mode) ? Kind::directory
                          : S_ISCHR(st.st_mode) ? Kind::device
                                                : Kind::other,
                  .links = st.st_nlink,
                  .size = static_cast<std::uint64_t>(st.st_size),
                  .ownedByOther = st.st_uid != ::geteuid(),
                  .mountPoint = mountPoint,
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

// A directory that may be written but not read (a drop box) is held by its
// path alone, which is all that names in it need.
bool openDirectory(const std::string& path, Directory& directory) {
    directory.fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory.fd < 0 && errno == EACCES)
        directory.fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    directory.path = path;
    return directory.fd >= 0;
}

bool openDirectoryOf(int fd, const std::string& name, Directory& directory, std::string& base) {
    // An open file's path as the system found it when it was opened.
    char opened[PATH_MAX];
    ssize_t n =
        fd >= 0 ? ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), opened, PATH_MAX) : 0;
    std::string path = fd >= 0 ? std::string(opened, n > 0 && n < PATH_MAX ? n : 0) : name;
    std::size_t slash = path.rfind('/');
    base = path.substr(slash + 1);
    Facts facts;
    // The file must be the one found under that name.
    if (openDirectory(slash == std::string::npos ? "." : path.substr(0, slash + 1), directory) &&
        !base.empty() && base != "." && base != ".." &&
        (fd < 0 || (factsOf(fd, facts) && isNamedAt(directory.fd, base.c_str(), facts.id))))
        return true;
    if (directory.fd >= 0) {
        ::close(std::exchange(directory.fd, -1));
        errno = fd < 0 ? EISDIR : ENOENT; // no file's name, or the file no longer at its name
    }
    return false;
}

bool openTemporaryDirectory(Directory& directory) {
    const char* path = std::getenv("TMPDIR");
    return openDirectory(path != nullptr && *path == '/' ? path : "/tmp", directory);
}

bool isLink(const Directory& directory, const std::string& name) {
    struct stat st {};
    return ::fstatat(directory.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(st.st_mode);
}

int createExclusive(const Directory& directory, const std::string& name) {
    return ::openat(directory.fd, name.c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
}

bool mayNotCreate(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

bool isNamed(const Directory& directory, const std::string& name, const FileId& id) {
    return isNamedAt(directory.fd, name.c_str(), id);
}

void removeIfSame(const Directory& directory, const std::string& name, const FileId& id) {
    if (isNamedAt(directory.fd, name.c_str(), id))
        ::unlinkat(directory.fd, name.c_str(), 0);
}

bool putInPlace(const Directory& directory, const std::string& from, const std::string& to, bool) {
    return ::renameat(directory.fd, from.c_str(), directory.fd, to.c_str()) == 0;
}

bool takeAttributes(int fd, const Facts* old, const Directory& directory) {
    // A group the user is not in stays the user's own; the owner never changes.
    if (old != nullptr) {
        (void)!::fchown(fd, static_cast<uid_t>(-1), old->group);
        return ::fchmod(fd, old->permissions) == 0;
    }
    // What a new file gets there, the directory's default access list or the
    // umask applied: a file without a name shows it.
    struct stat st {};
    int probe = ::openat(directory.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    bool shown = probe >= 0 && ::fstat(probe, &st) == 0;
    if (probe >= 0)
        ::close(probe);
    mode_t mask = ::umask(0);
    ::umask(mask);
    return ::fchmod(fd, shown ? st.st_mode & 07777 : 0666 & ~mask) == 0;
}

bool lockForWriting(int fd) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLKW, &whole) == 0;
}

// Blocks past the end are taken without moving it: the file holds what it
// held until it is written over.
bool reserve(int fd, std::uint64_t size) {
    return size == 0 || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0 ||
           errno == EOPNOTSUPP;
}

bool setSize(int fd, std::uint64_t size) {
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

bool flushData(int fd) {
    return ::fdatasync(fd) == 0;
}

bool flushDirectory(const Directory& directory) {
    // A directory held by its path alone cannot be flushed.
    return ::fsync(directory.fd) == 0 || errno == EBADF;
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

void ignoreSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (int signal : kUndoneSignals)
        ::sigaction(signal, &ignore, nullptr);
    pendingUndo.waiting = 0;
}

} // namespace sys

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void prepareProcess() {
    // Threads that format take a few hundred KiB of stack and the one heap,
    // not 8 MiB and a heap of 64 MiB each, so that a limit on the address
    // space (ulimit -v) leaves room for all of them.
    pthread_attr_t small;
    if (::pthread_attr_init(&small) == 0) {
        if (::pthread_attr_setstacksize(&small, 256 << 10) == 0)
            ::pthread_setattr_default_np(&small);
        ::pthread_attr_destroy(&small);
    }
    ::mallopt(M_ARENA_MAX, 1);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN); // a write past the file size limit fails with EFBIG
    for (int signal : kUndoneSignals) {
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
