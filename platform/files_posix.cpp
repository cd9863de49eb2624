// The platform layer's files on POSIX systems: the primitives the output
// policy is written over, and what a signal undoes. POSIX.1-2017 gives them
// all; what a system has beyond it (BRENZOLT_HAS_..., found by a feature
// test) makes some of them better:
//
//  extra                 without it
//  statx's mount root    a file mounted over its name is not known as one:
//                        its rename fails, and the output stays as it was
//  O_PATH                a directory that may be written but not read is not held
//  /proc/self/fd, or     the output's directory is found by its name, its
//  F_GETPATH             links resolved (realpath), and checked to hold it
//  O_TMPFILE             a new output gets the umask's permissions, not those
//                        of the directory's default access list
//  open-file locks       the lock is the process's: see lockForWriting
//  fallocate, or         room is reserved only where the old file had blocks
//  F_PREALLOCATE
//  F_FULLFSYNC           fdatasync, or fsync, is trusted to reach the disk
//  sync_file_range       posix_fadvise's "not needed" starts the writeback,
//                        where the system has it and listens
#include "platform/system.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace brenzolt::sys {

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

bool factsOf(int fd, Facts& facts) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    bool mountPoint = false;
#if BRENZOLT_HAS_STATX_MOUNT_ROOT
    struct statx more {};
    mountPoint = ::statx(fd, "", AT_EMPTY_PATH, 0, &more) == 0 &&
                 (more.stx_attributes & more.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT);
#endif
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
#if BRENZOLT_HAS_O_PATH
    if (directory.fd < 0 && errno == EACCES)
        directory.fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
    directory.path = path;
    return directory.fd >= 0;
}

// An open file's path as the system found it when it was opened, where the
// system tells; else the name with its links resolved, which the caller checks
// against the file. Empty when neither is known.
std::string pathOf([[maybe_unused]] int fd, [[maybe_unused]] const std::string& name) {
    char opened[PATH_MAX + 1] = {};
#if BRENZOLT_HAS_PROC_SELF_FD
    ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), opened, PATH_MAX);
    return std::string(opened, n > 0 && n < PATH_MAX ? n : 0);
#elif BRENZOLT_HAS_F_GETPATH
    return ::fcntl(fd, F_GETPATH, opened) == 0 ? opened : "";
#else
    return ::realpath(name.c_str(), opened) != nullptr ? opened : "";
#endif
}

bool openDirectoryOf(int fd, const std::string& name, Directory& directory, std::string& base) {
    std::string path = fd >= 0 ? pathOf(fd, name) : name;
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
    bool shown = false;
#if BRENZOLT_HAS_O_TMPFILE
    int probe = ::openat(directory.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    shown = probe >= 0 && ::fstat(probe, &st) == 0;
    if (probe >= 0)
        ::close(probe);
#else
    (void)directory;
#endif
    mode_t mask = ::umask(0);
    ::umask(mask);
    return ::fchmod(fd, shown ? st.st_mode & 07777 : 0666 & ~mask) == 0;
}

// A lock of the open file where the system has them. Elsewhere the lock is
// the process's: closing any descriptor of the file would drop it, so no
// thread of this run may open the output again while it is held (none does).
bool lockForWriting(int fd) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
#if BRENZOLT_HAS_OFD_LOCKS
    return ::fcntl(fd, F_OFD_SETLKW, &whole) == 0;
#else
    return ::fcntl(fd, F_SETLKW, &whole) == 0;
#endif
}

// Blocks past the end are taken without moving it: the file holds what it
// held until it is written over. A file system that cannot say so is
// trusted.
bool reserve(int fd, std::uint64_t size) {
    if (size == 0)
        return true;
#if BRENZOLT_HAS_FALLOCATE_KEEP_SIZE
    return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0 ||
           errno == EOPNOTSUPP;
#elif BRENZOLT_HAS_F_PREALLOCATE
    fstore_t room{.fst_flags = F_ALLOCATEALL,
                  .fst_posmode = F_PEOFPOSMODE,
                  .fst_offset = 0,
                  .fst_length = static_cast<off_t>(size),
                  .fst_bytesalloc = 0};
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    room.fst_length =
        static_cast<off_t>(size) - std::min<off_t>(st.st_size, static_cast<off_t>(size));
    return room.fst_length == 0 || ::fcntl(fd, F_PREALLOCATE, &room) != -1 || errno == ENOTSUP;
#else
    // posix_fallocate would move the end: only the blocks the file has.
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    off_t within = std::min<off_t>(st.st_size, static_cast<off_t>(size));
    int error = within == 0 ? 0 : ::posix_fallocate(fd, 0, within);
    errno = error;
    return error == 0 || error == EINVAL || error == EOPNOTSUPP;
#endif
}

bool setSize(int fd, std::uint64_t size) {
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

// Where fsync leaves the data in the disk's own cache (macOS), F_FULLFSYNC
// takes it to the disk; a file system that does not take that gets fsync.
bool flushData(int fd) {
#if BRENZOLT_HAS_F_FULLFSYNC
    if (::fcntl(fd, F_FULLFSYNC) != -1)
        return true;
#endif
#if BRENZOLT_HAS_FDATASYNC
    return ::fdatasync(fd) == 0;
#else
    return ::fsync(fd) == 0;
#endif
}

bool flushDirectory(const Directory& directory) {
#if BRENZOLT_HAS_F_FULLFSYNC
    if (::fcntl(directory.fd, F_FULLFSYNC) != -1)
        return true;
#endif
    // A directory held by its path alone cannot be flushed.
    return ::fsync(directory.fd) == 0 || errno == EBADF;
}

void startWriteback([[maybe_unused]] int fd, [[maybe_unused]] std::uint64_t offset,
                    [[maybe_unused]] std::uint64_t length) {
#if BRENZOLT_HAS_SYNC_FILE_RANGE
    ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
#elif BRENZOLT_HAS_POSIX_FADVISE
    // Pages written that will not be read again: a system that listens
    // starts writing them back.
    ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                    POSIX_FADV_DONTNEED);
#endif
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

void undoOnSignals() {
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

} // namespace brenzolt::sys
