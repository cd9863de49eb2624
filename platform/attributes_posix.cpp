// What a replaced output carries on POSIX systems besides its permission
// bits: its group, and where the system lets extended attributes be read
// (BRENZOLT_HAS_XATTR, Linux's calls), those and the access list among them.
// Without them a replaced output gets its permission bits and group alone.
#include "platform/system.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#if BRENZOLT_HAS_XATTR
#include <sys/xattr.h>
#endif

namespace brenzolt::sys {

#if BRENZOLT_HAS_XATTR
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
#endif

bool carryAttributes(int to, int from, const Facts& old, std::string& accessList) {
    struct stat st {};
    if (::fstat(to, &st) != 0 || (st.st_gid != old.group && ::fchown(to, -1, old.group) != 0))
        return false;
    accessList.clear();
#if BRENZOLT_HAS_XATTR
    std::string names, value, there;
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
#else
    (void)from;
#endif
    return true;
}

bool takeAttributes(int fd, const Facts* old, const std::string& accessList,
                    const Directory& directory) {
    // The access list first, so that the permission bits that follow set its
    // mask, as the old file's bits were; without one, none that a default
    // list of the directory gave the new file.
#if BRENZOLT_HAS_XATTR
    if (old != nullptr)
        return (accessList.empty()
                    ? ::fremovexattr(fd, kAccessList) == 0 || errno == ENODATA || errno == ENOTSUP
                    : ::fsetxattr(fd, kAccessList, accessList.data(), accessList.size(), 0) == 0) &&
               ::fchmod(fd, old->permissions) == 0;
#else
    (void)accessList;
    if (old != nullptr)
        return ::fchmod(fd, old->permissions) == 0;
#endif
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

} // namespace brenzolt::sys
