// The platform layer's files on Linux: the primitives the output policy is
// written over, and what a signal undoes.
#include "platform/system.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
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

// The directory of `path` and its last part, which must be the file open as
// `fd` (with `fd` -1, a name that is no directory's).
bool holdDirectoryOf(int fd, const std::string& path, Directory& directory, std::string& base) {
    std::size_t slash = path.rfind('/');
    base = path.substr(slash + 1);
    Facts facts;
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

bool openDirectoryOf(int fd, const std::string& name, Directory& directory, std::string& base) {
    // An open file's path as the system found it when it was opened; where
    // that is no path (too long, or one the file is not found at), the name
    // as given.
    char opened[PATH_MAX];
    ssize_t n =
        fd >= 0 ? ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), opened, PATH_MAX) : 0;
    return (n > 0 && n < PATH_MAX &&
            holdDirectoryOf(fd, std::string(opened, n), directory, base)) ||
           holdDirectoryOf(fd, name, directory, base);
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

bool whatIsAt(const Directory& directory, const std::string& name, const FileId& id,
              AtName& found) {
    struct stat st {};
    bool there = ::fstatat(directory.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    found = !there ? AtName::nothing : fileIdOf(st) == id ? AtName::theFile : AtName::anotherFile;
    return there || errno == ENOENT;
}

bool isAppendOnly(const Directory& directory) {
    struct statx st {};
    return ::statx(directory.fd, "", AT_EMPTY_PATH, 0, &st) == 0 &&
           (st.stx_attributes & st.stx_attributes_mask & STATX_ATTR_APPEND);
}

int createUnnamed(const Directory& directory) {
    return ::openat(directory.fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

bool giveName(int fd, const Directory& directory, const std::string& name) {
    // By its descriptor where the system lets this process, else through /proc.
    return ::linkat(fd, "", directory.fd, name.c_str(), AT_EMPTY_PATH) == 0 ||
           ::linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), directory.fd,
                    name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

bool removeIfSame(const Directory& directory, const std::string& name, const FileId& id) {
    return !isNamedAt(directory.fd, name.c_str(), id) ||
           ::unlinkat(directory.fd, name.c_str(), 0) == 0 || errno == ENOENT;
}

bool removeName(const Directory& directory, const std::string& name) {
    return ::unlinkat(directory.fd, name.c_str(), 0) == 0;
}

bool putInPlace(const Directory& directory, const std::string& from, const std::string& to, bool) {
    return ::renameat(directory.fd, from.c_str(), directory.fd, to.c_str()) == 0;
}

namespace {

constexpr const char* kAccessList = "system.posix_acl_access";

// The extended attribute `name` of the file, or with `name` null the names of
// all of them, each ended by a NUL.
bool readAttribute(int fd, const char* name, std::string& value) {
    for (int attempt = 0; attempt < 3; ++attempt) { // it may grow between the calls
        ssize_t n = name ? ::fgetxattr(fd, name, nullptr, 0) : ::flistxattr(fd, nullptr, 0);
        if (n < 0)
            return false;
        value.resize(static_cast<std::size_t>(n));
        n = name ? ::fgetxattr(fd, name, value.data(), value.size())
                 : ::flistxattr(fd, value.data(), value.size());
        if (n >= 0) {
            value.resize(static_cast<std::size_t>(n));
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
    return false;
}

} // namespace

bool carryAttributes(int to, int from, const Facts& old, std::string& accessList) {
    struct stat st {};
    if (::fstat(to, &st) != 0 || (st.st_gid != old.group && ::fchown(to, -1, old.group) != 0))
        return false;
    std::string names, value, there;
    accessList.clear();
    if (!readAttribute(from, nullptr, names))
        return errno == ENOTSUP; // a file system that keeps none
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        const char* name = names.c_str() + at;
        if (!readAttribute(from, name, value)) {
            if (errno == ENODATA) // gone meanwhile
                continue;
            return false;
        }
        if (std::strcmp(name, kAccessList) == 0)
            accessList = value;
        else if (!(readAttribute(to, name, there) && there == value) &&
                 ::fsetxattr(to, name, value.data(), value.size(), 0) != 0)
            return false;
    }
    return true;
}

bool takeAttributes(int fd, const Facts* old, const std::string& accessList,
                    const Directory& directory) {
    // The access list first, so that the permission bits that follow set its
    // mask, as the old file's bits were; without one, none that a default
    // list of the directory gave the new file.
    if (old != nullptr)
        return (accessList.empty()
                    ? ::fremovexattr(fd, kAccessList) == 0 || errno == ENODATA || errno == ENOTSUP
                    : ::fsetxattr(fd, kAccessList, accessList.data(), accessList.size(), 0) == 0) &&
               ::fchmod(fd, old->permissions) == 0;
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

namespace {

// The type of the file system that holds the file; 0 where it cannot be told.
long fileSystemOf(int fd) {
    struct statfs system {};
    return ::fstatfs(fd, &system) == 0 ? static_cast<long>(system.f_type) : 0;
}

constexpr long kBcachefs = 0xca451a4e, kZfs = 0x2fc12fc1;

} // namespace

// Blocks past the end are taken without moving it: the file holds what it
// held until it is written over. A file system that writes every block
// anew takes new blocks for the ones the file has, which it cannot reserve:
// the free room must hold them all.
bool reserve(int fd, std::uint64_t size) {
    long type = fileSystemOf(fd);
    struct statvfs room {};
    if ((type == BTRFS_SUPER_MAGIC || type == kBcachefs || type == kZfs) &&
        ::fstatvfs(fd, &room) == 0 && std::uint64_t{room.f_bavail} * room.f_frsize < size) {
        errno = ENOSPC;
        return false;
    }
    return size == 0 || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0 ||
           errno == EOPNOTSUPP;
}

// Where the file system may share blocks, the grid is on the disk first.
// Only whole blocks: a part of one goes only where it ends both files.
std::int64_t cloneInto(int to, int from, std::uint64_t size) {
    long type = fileSystemOf(from);
    struct stat st {};
    bool sharing = (type == BTRFS_SUPER_MAGIC || type == XFS_SUPER_MAGIC || type == kBcachefs ||
                    type == kZfs) &&
                   ::fstat(to, &st) == 0 && st.st_blksize > 0;
    file_clone_range range{.src_fd = from, .src_offset = 0, .src_length = 0, .dest_offset = 0};
    range.src_length = sharing ? size / st.st_blksize * st.st_blksize : 0;
    if (range.src_length == 0 || ::fdatasync(from) != 0)
        return 0;
    if (::ioctl(to, FICLONERANGE, &range) == 0)
        return static_cast<std::int64_t>(range.src_length);
    // What the system checks before it changes anything: no such sharing
    // here, or not between these two files.
    for (int refused : {EXDEV, EOPNOTSUPP, ENOTTY, EINVAL, EPERM, ETXTBSY, EBADF, EISDIR})
        if (errno == refused)
            return 0;
    return -1;
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
