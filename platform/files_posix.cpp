// The platform layer's files on POSIX systems: the primitives the output
// policy is written over. POSIX.1-2017 gives them
// all; what a system has beyond it (BRENZOLT_HAS_..., found by a feature
// test) makes some of them better:
//
//  extra                 without it
//  statx's mount root    a file mounted over its name is not known as one:
//                        its rename fails, and the output stays as it was
//  O_PATH                a directory that may be written but not read is not held
//  /proc/self/fd, or     the output's directory is found by its name, its
//  F_GETPATH             links resolved (realpath), and checked to hold it
//  O_TMPFILE             the temporary file has a name from the start, which
//                        another user of a shared directory may take, and
//                        which a kill -9 leaves behind
//  open-file locks       the lock is the process's: see lockForWriting
//  fallocate, F_PREALL. no room is reserved: the free room must hold the
//                        whole grid before an in-place copy
//  F_FULLFSYNC           fdatasync, or fsync, is trusted to reach the disk
//  statx's append-only   an append-only directory is not known as one: its
//                        temporary file cannot be removed, and is named
//  FICLONERANGE, and     an output written in place is copied into, never
//  statfs's type or      shares the grid's blocks; a file system that writes
//  name                  every block anew is not known as one
//  sync_file_range       posix_fadvise's "not needed" starts the writeback
#include "platform/system.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/statvfs.h>
#if BRENZOLT_HAS_FICLONERANGE
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#if BRENZOLT_HAS_STATFS_TYPE
#include <sys/statfs.h>
#endif
#if BRENZOLT_HAS_STATFS_NAME
#include <sys/mount.h>
#include <sys/param.h>
#endif
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

} // namespace

// macOS's disks ignore case as they come (APFS and HFS+ unless made otherwise),
// which nothing at build time can tell; other systems' disks keep it.
#ifdef __APPLE__
const bool kNamesIgnoreCase = true;
#else
const bool kNamesIgnoreCase = false;
#endif

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

int openForReading(const std::string& name, bool atOnce) {
    return ::open(name.c_str(), O_RDONLY | O_CLOEXEC | (atOnce ? O_NONBLOCK | O_NOCTTY : 0));
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
#if BRENZOLT_HAS_PROC
    ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), opened, PATH_MAX);
    return std::string(opened, n > 0 && n < PATH_MAX ? n : 0);
#elif BRENZOLT_HAS_F_GETPATH
    return ::fcntl(fd, F_GETPATH, opened) == 0 ? opened : "";
#else
    return ::realpath(name.c_str(), opened) != nullptr ? opened : "";
#endif
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
    // Where that is no path (too long, or one the file is not found at), the
    // name as given.
    std::string path = fd >= 0 ? pathOf(fd, name) : "";
    return (!path.empty() && holdDirectoryOf(fd, path, directory, base)) ||
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

int createExclusive(const Directory& directory, const std::string& name, bool asNew) {
    return ::openat(directory.fd, name.c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                    asNew ? 0666 : 0600);
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

// A directory that cannot be looked at is taken for one: then no name this
// run makes there needs to be removed.
bool isAppendOnly([[maybe_unused]] const Directory& directory) {
#if BRENZOLT_HAS_STATX_ATTR_APPEND
    struct statx st {};
    return ::statx(directory.fd, "", AT_EMPTY_PATH, 0, &st) != 0 ||
           (st.stx_attributes & st.stx_attributes_mask & STATX_ATTR_APPEND);
#else
    return false;
#endif
}

int createUnnamed([[maybe_unused]] const Directory& directory, [[maybe_unused]] bool asNew) {
#if BRENZOLT_HAS_O_TMPFILE
    return ::openat(directory.fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, asNew ? 0666 : 0600);
#else
    errno = ENOTSUP;
    return -1;
#endif
}

bool giveName([[maybe_unused]] int fd, [[maybe_unused]] const Directory& directory,
              [[maybe_unused]] const std::string& name) {
#if BRENZOLT_HAS_O_TMPFILE
    // By its descriptor where the system lets this process, else through /proc.
    return ::linkat(fd, "", directory.fd, name.c_str(), AT_EMPTY_PATH) == 0 ||
           ::linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), directory.fd,
                    name.c_str(), AT_SYMLINK_FOLLOW) == 0;
#else
    errno = ENOTSUP;
    return false;
#endif
}

bool removeIfSame(const Directory& directory, const std::string& name, const FileId& id) {
    struct stat st {};
    if (::fstatat(directory.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    return fileIdOf(st) != id || ::unlinkat(directory.fd, name.c_str(), 0) == 0 || errno == ENOENT;
}

bool removeName(const Directory& directory, const std::string& name) {
    return ::unlinkat(directory.fd, name.c_str(), 0) == 0;
}

bool putInPlace(const Directory& directory, const std::string& from, const std::string& to, bool) {
    return ::renameat(directory.fd, from.c_str(), directory.fd, to.c_str()) == 0;
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

namespace {

// What a file system does with blocks: whether files may share them, whether
// it writes every block anew, the ones a file has too, and whether it keeps
// files in memory alone (no writeback, nothing to read ahead). A file system
// not listed does none of these; one that cannot be told is taken to write
// anew.
struct FileSystem {
    bool sharesBlocks, writesAnew, inMemory;
};

FileSystem fileSystemOf([[maybe_unused]] int fd) {
#if BRENZOLT_HAS_STATFS_TYPE || BRENZOLT_HAS_STATFS_NAME
    // By statfs's type where the system tells it (Linux), else by its name.
    static constexpr struct {
        std::uint32_t type;
        const char* name;
        FileSystem does;
    } kKnown[] = {
        {0x9123683e, "btrfs", {true, true, false}},
        {0x58465342, "xfs", {true, false, false}},
        {0xca451a4e, "bcachefs", {true, true, false}},
        {0x2fc12fc1, "zfs", {true, true, false}},
        {0, "apfs", {true, true, false}}, // shares blocks only with a file it makes
        {0x01021994, "tmpfs", {false, false, true}},
        {0x858458f6, "ramfs", {false, false, true}},
    };
    struct statfs system {};
    if (::fstatfs(fd, &system) != 0)
        return {false, true, false};
    for (const auto& known : kKnown)
#if BRENZOLT_HAS_STATFS_TYPE
        if (static_cast<std::uint32_t>(system.f_type) == known.type)
#else
        if (std::strcmp(system.f_fstypename, known.name) == 0)
#endif
            return known.does;
#endif
    return {false, false, false};
}

// Whether the room free to this user holds `size` bytes; false with ENOSPC
// where it does not, or with the reason where it cannot be told. A file
// system that counts no blocks (ramfs) has room as long as memory lasts.
bool holdsRoom(int fd, std::uint64_t size) {
#if BRENZOLT_HAS_STATFS_NAME
    struct statfs space {}; // statvfs's counts are 32 bits wide on macOS
    if (::fstatfs(fd, &space) != 0)
        return false;
    std::uint64_t unit = space.f_bsize;
#else
    struct statvfs space {};
    if (::fstatvfs(fd, &space) != 0)
        return false;
    std::uint64_t unit = space.f_frsize;
#endif
    if (space.f_blocks == 0 || static_cast<std::uint64_t>(space.f_bavail) * unit >= size)
        return true;
    errno = ENOSPC;
    return false;
}

// Blocks for `size` bytes taken, past the end without moving it, so that the
// file holds what it held until it is written over: 1 when they are, 0 when
// that failed, -1 where the system or the file system takes none.
int reserveBlocks([[maybe_unused]] int fd, [[maybe_unused]] std::uint64_t size) {
#if BRENZOLT_HAS_FALLOCATE_KEEP_SIZE
    if (size == 0 || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0)
        return 1;
    return errno == EOPNOTSUPP ? -1 : 0;
#elif BRENZOLT_HAS_F_PREALLOCATE
    // From the physical end on: the growth.
    fstore_t room{.fst_flags = F_ALLOCATEALL,
                  .fst_posmode = F_PEOFPOSMODE,
                  .fst_offset = 0,
                  .fst_length = 0,
                  .fst_bytesalloc = 0};
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return 0;
    room.fst_length =
        static_cast<off_t>(size) - std::min<off_t>(st.st_size, static_cast<off_t>(size));
    if (room.fst_length == 0 || ::fcntl(fd, F_PREALLOCATE, &room) != -1)
        return 1;
    return errno == ENOTSUP ? -1 : 0;
#else
    return -1;
#endif
}

} // namespace

// A file system that writes every block anew takes new blocks for the ones
// the file has, which no call reserves: the free room must hold them all.
// So must it where no block can be reserved.
bool reserve(int fd, std::uint64_t size) {
    if (fileSystemOf(fd).writesAnew && !holdsRoom(fd, size))
        return false;
    int reserved = reserveBlocks(fd, size);
    return reserved > 0 || (reserved < 0 && holdsRoom(fd, size));
}

// Where the file system may share blocks, the grid is on the disk first.
// Only whole blocks: a part of one goes only where it ends both files.
std::int64_t cloneInto([[maybe_unused]] int to, [[maybe_unused]] int from,
                       [[maybe_unused]] std::uint64_t size) {
#if BRENZOLT_HAS_FICLONERANGE && BRENZOLT_HAS_STATFS_TYPE
    struct stat st {};
    bool sharing = fileSystemOf(from).sharesBlocks && ::fstat(to, &st) == 0 && st.st_blksize > 0;
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
#else
    return 0;
#endif
}

bool setSize(int fd, std::uint64_t size) {
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

namespace {

// Where fsync leaves the data in the disk's own cache (macOS), F_FULLFSYNC
// takes it to the disk: 1 when it did, 0 when the flush failed (EIO), -1
// where the file system does not take it (ENOTSUP, or ENOTTY and EINVAL on
// some devices and network file systems), or the system has no such call.
int flushToTheDisk([[maybe_unused]] int fd) {
#if BRENZOLT_HAS_F_FULLFSYNC
    if (::fcntl(fd, F_FULLFSYNC) != -1)
        return 1;
    if (errno != ENOTSUP && errno != ENOTTY && errno != EINVAL)
        return 0;
#endif
    return -1;
}

} // namespace

bool flushData(int fd) {
    if (int flushed = flushToTheDisk(fd); flushed >= 0)
        return flushed > 0;
#if BRENZOLT_HAS_FDATASYNC
    return ::fdatasync(fd) == 0;
#else
    return ::fsync(fd) == 0;
#endif
}

bool flushDirectory(const Directory& directory) {
    if (int flushed = flushToTheDisk(directory.fd); flushed >= 0)
        return flushed > 0;
    // A directory held by its path alone cannot be flushed.
    return ::fsync(directory.fd) == 0 || errno == EBADF;
}

bool inMemory(int fd) {
    return fileSystemOf(fd).inMemory;
}

bool startWriteback([[maybe_unused]] int fd, [[maybe_unused]] std::uint64_t offset,
                    [[maybe_unused]] std::uint64_t length) {
    if (inMemory(fd))
        return false;
#if BRENZOLT_HAS_SYNC_FILE_RANGE
    ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
    return true;
#elif BRENZOLT_HAS_POSIX_FADVISE
    // Pages written that will not be read again: a system that listens
    // starts writing them back.
    ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                    POSIX_FADV_DONTNEED);
    return true;
#else
    return false;
#endif
}

} // namespace brenzolt::sys
