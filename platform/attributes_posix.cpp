// What a replaced output carries on POSIX systems besides its permission
// bits: its group, and where the system lets the rest be read, Linux's
// extended attributes (BRENZOLT_HAS_XATTR), the access list among them, or
// Apple's copy of a file's access list and extended attributes
// (BRENZOLT_HAS_FCOPYFILE). Where it cannot be read, no file replaces the
// output: a new one would lose it.
#include "platform/system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#if BRENZOLT_HAS_XATTR
#include <sys/xattr.h>
#elif BRENZOLT_HAS_FCOPYFILE
#include <copyfile.h>
#include <sys/acl.h>
#endif

namespace brenzolt::sys {

namespace {

#if BRENZOLT_HAS_XATTR
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

// Sets the attribute where the file does not hold that value already.
bool putAttribute(int fd, const char* name, std::string_view value) {
    std::string there;
    return (readAttribute(fd, name, there) && there == value) ||
           ::fsetxattr(fd, name, value.data(), value.size(), 0) == 0;
}

// What is carried: each attribute as its name, a NUL, the size of its value
// in decimal, a NUL, and the value.
template <class Each> bool eachCarried(const std::string& carried, Each each) {
    for (std::size_t at = 0; at < carried.size();) {
        const char* name = carried.c_str() + at;
        char* value = nullptr;
        std::size_t size = std::strtoull(name + std::strlen(name) + 1, &value, 10);
        at = static_cast<std::size_t>(++value - carried.c_str()) + size;
        if (!each(name, std::string_view(value, size)))
            return false;
    }
    return true;
}
#elif BRENZOLT_HAS_FCOPYFILE
// The file's access list in the system's words; empty without one.
bool accessListOf(int fd, std::string& words) {
    words.clear();
    acl_t list = ::acl_get_fd_np(fd, ACL_TYPE_EXTENDED);
    if (list == nullptr)
        return errno == ENOENT;
    char* text = ::acl_to_text(list, nullptr);
    if (text != nullptr) {
        words = text;
        ::acl_free(text);
    }
    ::acl_free(list);
    return text != nullptr;
}
#endif

} // namespace

bool carryAttributes(int to, int from, const Facts& old, std::string& carried) {
    struct stat st {};
    if (::fstat(to, &st) != 0 || (st.st_gid != old.group && ::fchown(to, -1, old.group) != 0))
        return false;
    carried.clear();
#if BRENZOLT_HAS_XATTR
    std::string names, value;
    if (!readAttribute(from, nullptr, names))
        return errno == ENOTSUP; // a file system that keeps none
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        const char* name = names.c_str() + at;
        if (!readAttribute(from, name, value)) {
            if (errno == ENODATA) // gone meanwhile
                continue;
            return false;
        }
        carried.append(name).append(1, '\0').append(std::to_string(value.size()));
        carried.append(1, '\0').append(value);
        // The access list waits: it may grant access to what is not yet the grid.
        if (std::strcmp(name, kAccessList) != 0 && !putAttribute(to, name, value))
            return false;
    }
    return true;
#elif BRENZOLT_HAS_FCOPYFILE
    // Apple's own copy. A new file may hold entries that its directory
    // passes on, which the old one lacks: they would widen access.
    std::string was, is;
    if (::fcopyfile(from, to, nullptr, COPYFILE_ACL | COPYFILE_XATTR) != 0 ||
        !accessListOf(from, was) || !accessListOf(to, is))
        return false;
    errno = EPERM;
    return was == is;
#else
    (void)from;
    errno = ENOTSUP;
    return false;
#endif
}

bool takeAttributes(int fd, const Facts* old, const std::string& carried, const Directory&) {
    if (old == nullptr)
        return true;
#if BRENZOLT_HAS_XATTR
    // Those the grid's writes cleared (security.capability) go on again; the
    // access list comes next, so that the permission bits that follow set
    // its mask, as the old file's bits were; without one, none that a
    // default list of the directory gave the new file.
    std::string_view accessList;
    bool listed = false;
    if (!eachCarried(carried, [&](const char* name, std::string_view value) {
            bool isList = std::strcmp(name, kAccessList) == 0;
            if (isList)
                accessList = value, listed = true;
            return isList || putAttribute(fd, name, value);
        }))
        return false;
    if (listed ? !putAttribute(fd, kAccessList, accessList)
               : ::fremovexattr(fd, kAccessList) != 0 && errno != ENODATA && errno != ENOTSUP)
        return false;
#else
    (void)carried;
#endif
    return ::fchmod(fd, old->permissions) == 0;
}

} // namespace brenzolt::sys
