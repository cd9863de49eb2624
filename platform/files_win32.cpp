// The platform layer's files on Windows: the primitives the output policy is
// written over.
#include "platform/system.h"
#include "platform/win32.h"

#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <utility>

namespace brenzolt::sys {

namespace {

// The full path of `name`, in the "\\?\" form, which has no length limit.
std::wstring fullPathOf(const std::wstring& name) {
    std::wstring full(GetFullPathNameW(name.c_str(), 0, nullptr, nullptr), L'\0');
    DWORD length =
        GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return name;
    full.resize(length);
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\"))
        return full;
    return full.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

// A name the program made or was given: the wide form the system takes.
std::wstring wideName(const std::string& path) {
    return toUtf16(path.data(), path.size());
}

// A descriptor that owns `handle`; -1, with the handle closed, when the C
// runtime has no descriptor left.
int descriptorOf(HANDLE handle, int flags) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    }
    return fd;
}

// What the program needs to know of an open disk file; its times and size
// tell it apart where the volume is not known.
struct DiskFile {
    sys::Facts facts;
    std::int64_t created = 0, changed = 0;
};

// The file's id: all 128 bits that FILE_ID_INFO holds (ReFS needs them all)
// with the volume's serial number; where the file system does not answer
// that, or answers no id (FAT, exFAT, some file systems outside the kernel),
// the serial number and the 64-bit file index.
bool idOf(HANDLE handle, FileId& id) {
    FILE_ID_INFO info{};
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) {
        std::memcpy(&id.inode, info.FileId.Identifier, sizeof id.inode);
        std::memcpy(&id.inodeHigh, info.FileId.Identifier + sizeof id.inode, sizeof id.inodeHigh);
        id.device = info.VolumeSerialNumber;
        if (id.inode != 0 || id.inodeHigh != 0)
            return true;
    }
    BY_HANDLE_FILE_INFORMATION file{};
    if (!GetFileInformationByHandle(handle, &file))
        return false;
    id = {.device = file.dwVolumeSerialNumber,
          .inode = std::uint64_t{file.nFileIndexHigh} << 32 | file.nFileIndexLow};
    return true;
}

std::optional<DiskFile> diskFileOf(HANDLE handle) {
    FILE_STANDARD_INFO standard{};
    FILE_BASIC_INFO basic{};
    FileId id;
    if (GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
        !idOf(handle, id))
        return std::nullopt;
    return DiskFile{
        .facts = {.id = id,
                  .kind = standard.Directory ? sys::Kind::directory : sys::Kind::regular,
                  .links = standard.NumberOfLinks,
                  .size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart)},
        .created = basic.CreationTime.QuadPart,
        .changed = basic.ChangeTime.QuadPart};
}

// Whether the file's owner is neither the user this process runs as nor the
// owner the user's new files get (an administrator's may be the
// Administrators group), where the file system keeps owners: a new file
// would change it.
bool isOwnedByOther(HANDLE handle) {
    Owner owner(handle);
    HANDLE token = nullptr;
    if (owner.sid == nullptr || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    bool other = true;
    for (TOKEN_INFORMATION_CLASS which : {TokenUser, TokenOwner}) {
        // Each begins with the SID (TOKEN_USER's, TOKEN_OWNER's).
        alignas(TOKEN_USER) BYTE sid[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD size = 0;
        other = other && !(GetTokenInformation(token, which, sid, sizeof sid, &size) &&
                           EqualSid(owner.sid, *reinterpret_cast<PSID*>(sid)));
    }
    CloseHandle(token);
    return other;
}

// Wine makes its standard streams from the Unix process's, and such a handle
// knows its file's index but not the volume (0): the times and size must
// then agree as well.
bool isSameDiskFile(const DiskFile& a, const DiskFile& b) {
    const FileId &one = a.facts.id, &other = b.facts.id;
    if (one.device != 0 && other.device != 0)
        return one == other;
    return one.inode != 0 && one.inode == other.inode && a.created == b.created &&
           a.changed == b.changed && a.facts.size == b.facts.size;
}

// Virus scanners and indexers open new files for a moment: a rename, replace
// or delete that meets one is tried again for about a second.
template <class Attempt> bool retried(Attempt attempt) {
    for (int tries = 1;; ++tries) {
        if (attempt())
            return true;
        DWORD error = GetLastError();
        if (tries == 20 ||
            (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
             error != ERROR_LOCK_VIOLATION && error != ERROR_UNABLE_TO_REMOVE_REPLACED))
            return false;
        Sleep(50);
    }
}

// The file at `path`, the name itself not followed, while it is the file `id`.
HANDLE openIfSame(const std::wstring& path, const FileId& id, DWORD access) {
    HANDLE handle = CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    std::optional<DiskFile> disk = diskFileOf(handle);
    if (handle == INVALID_HANDLE_VALUE || (disk && disk->facts.id == id))
        return handle;
    CloseHandle(handle);
    SetLastError(ERROR_FILE_NOT_FOUND); // not that file
    return INVALID_HANDLE_VALUE;
}

// Checked and removed through one handle, the file goes only while it is
// still the file `id`.
bool removeFileIfSame(const std::wstring& path, const FileId& id) {
    return retried([&] {
        HANDLE handle = openIfSame(path, id, DELETE);
        FILE_DISPOSITION_INFO disposition{TRUE};
        bool done = handle != INVALID_HANDLE_VALUE &&
                    SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                               sizeof disposition);
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        return done;
    });
}

// The file's own full name, links and junctions resolved; where the file
// system cannot name its files, the full name as given.
std::wstring finalPathOf(HANDLE handle, const std::wstring& name) {
    std::wstring path(32768, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(), 32768, VOLUME_NAME_DOS);
    return length > 0 && length < 32768 ? path.substr(0, length) : fullPathOf(name);
}

int openByName(const std::string& name, DWORD access, int flags) {
    // Short names as given (devices such as NUL among them), long ones in full.
    std::wstring path = wideName(name);
    if (GetFullPathNameW(path.c_str(), 0, nullptr, nullptr) >= MAX_PATH - 12)
        path = fullPathOf(path);
    HANDLE handle = CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
        return descriptorOf(handle, flags);
    // A directory says so rather than "access denied".
    DWORD error = GetLastError(), attributes = GetFileAttributesW(path.c_str());
    bool directory = error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
                     (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    SetLastError(directory ? static_cast<DWORD>(kIsDirectory) : error);
    return -1;
}

// Held without FILE_SHARE_DELETE, a directory cannot be renamed while the run
// needs it; with write access where allowed, so that it can be flushed.
bool openDirectory(const std::wstring& path, Directory& directory) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (DWORD access : {GENERIC_READ | GENERIC_WRITE, DWORD{GENERIC_READ}})
        if (handle == INVALID_HANDLE_VALUE)
            handle = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    std::wstring final = finalPathOf(handle, path);
    directory.path = toUtf8(final.data(), final.size()) + (final.ends_with(L'\\') ? "" : "\\");
    directory.fd = handle == INVALID_HANDLE_VALUE ? -1 : descriptorOf(handle, _O_RDONLY);
    return directory.fd >= 0;
}

} // namespace

const bool kNamesIgnoreCase = true;

bool factsOf(int fd, Facts& facts) {
    HANDLE handle = handleOf(fd);
    DWORD type = GetFileType(handle);
    std::optional<DiskFile> disk = diskFileOf(handle);
    // A device or pipe has no file index; while it is open, its handle tells
    // it from every other open file.
    facts = disk ? disk->facts
                 : Facts{.id = {.device = ~std::uint64_t{0},
                                .inode = reinterpret_cast<std::uintptr_t>(handle)},
                         .kind = type == FILE_TYPE_CHAR ? Kind::device : Kind::other};
    facts.ownedByOther = disk && isOwnedByOther(handle);
    return disk || (type != FILE_TYPE_DISK && handle != INVALID_HANDLE_VALUE);
}

bool isSameFile(int a, int b) {
    std::optional<DiskFile> one = diskFileOf(handleOf(a)), other = diskFileOf(handleOf(b));
    return one && other && isSameDiskFile(*one, *other);
}

// No open waits here.
int openForReading(const std::string& name, bool) {
    return openByName(name, GENERIC_READ, _O_RDONLY);
}

int openForWriting(const std::string& name) {
    return openByName(name, GENERIC_WRITE, _O_WRONLY);
}

bool openDirectoryOf(int fd, const std::string& name, Directory& directory, std::string& base) {
    std::wstring path =
        fd >= 0 ? finalPathOf(handleOf(fd), wideName(name)) : fullPathOf(wideName(name));
    std::size_t separator = path.find_last_of(L"\\/");
    std::wstring wideBase = path.substr(separator + 1);
    base = toUtf8(wideBase.data(), wideBase.size());
    if (separator == std::wstring::npos || wideBase.empty()) {
        SetLastError(static_cast<DWORD>(kIsDirectory));
        return false;
    }
    // A new name too long for any directory fails now, not once the grid is
    // written (some systems report such a name as not found).
    if (fd < 0 && wideBase.size() > 255) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return openDirectory(path.substr(0, separator + 1), directory);
}

bool openTemporaryDirectory(Directory& directory) {
    wchar_t path[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, path);
    return length > 0 && length <= MAX_PATH && openDirectory(path, directory);
}

int createExclusive(const Directory& directory, const std::string& name, bool) {
    HANDLE handle = CreateFileW(
        wideName(directory.path + name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
        return descriptorOf(handle, _O_RDWR);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        SetLastError(ERROR_FILE_EXISTS);
    return -1;
}

bool isLink(const Directory& directory, const std::string& name) {
    DWORD attributes = GetFileAttributesW(wideName(directory.path + name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool whatIsAt(const Directory& directory, const std::string& name, const FileId& id,
              AtName& found) {
    std::wstring path = wideName(directory.path + name);
    HANDLE handle = openIfSame(path, id, 0);
    DWORD error = GetLastError();
    found = handle != INVALID_HANDLE_VALUE ? AtName::theFile
            : error == ERROR_FILE_NOT_FOUND &&
                    GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES
                ? AtName::anotherFile
                : AtName::nothing;
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return true;
}

// Every directory may have its names removed, and no file is made without a name.
bool isAppendOnly(const Directory&) {
    return false;
}

int createUnnamed(const Directory&, bool) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return -1;
}

bool giveName(int, const Directory&, const std::string&) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

bool mayNotCreate(int error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

bool removeIfSame(const Directory& directory, const std::string& name, const FileId& id) {
    return removeFileIfSame(wideName(directory.path + name), id) ||
           GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
}

bool removeName(const Directory& directory, const std::string& name) {
    return DeleteFileW(wideName(directory.path + name).c_str());
}

// ReplaceFileW keeps what belongs to the old file (its attributes, creation
// time, streams and security: it fails rather than lose them), and moves it
// to a backup name that goes after. Where there was none, or it has gone
// meanwhile, the file moves in over whatever is there by then. All three
// names in full, which have no length limit; the backup's is the temporary
// file's with its last character, never a '~' there, made one: no longer.
bool putInPlace(const Directory& directory, const std::string& from, const std::string& to,
                bool replacing) {
    std::wstring source = fullPathOf(wideName(directory.path + from)),
                 target = fullPathOf(wideName(directory.path + to)), backup = source;
    backup.back() = L'~';
    if (replacing && retried([&] {
            return ReplaceFileW(target.c_str(), source.c_str(), backup.c_str(), 0, nullptr,
                                nullptr);
        })) {
        retried([&] { return DeleteFileW(backup.c_str()); });
        return true;
    }
    DWORD error = GetLastError();
    if (replacing &&
        error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) // the old file is at the backup name
        MoveFileExW(backup.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
    SetLastError(error);
    if (replacing && error != ERROR_FILE_NOT_FOUND)
        return false;
    return retried([&] {
        return MoveFileExW(source.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    });
}

bool lockForWriting(int fd) {
    OVERLAPPED whole{};
    return LockFileEx(handleOf(fd), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
}

namespace {

// Whether writing over the file may take blocks it does not have: on ReFS,
// whose files may share blocks and which may write every block anew, and for
// a compressed, sparse or deduplicated file. A file not known to be neither
// counts as one.
bool mayNeedNewBlocks(HANDLE handle) {
    wchar_t system[MAX_PATH + 1] = {};
    FILE_ATTRIBUTE_TAG_INFO file{};
    if (!GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, nullptr, system,
                                       MAX_PATH + 1) ||
        !GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &file, sizeof file))
        return true;
    return std::wstring_view(system) == L"ReFS" ||
           (file.FileAttributes & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_SPARSE_FILE)) ||
           ((file.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            file.ReparseTag == IO_REPARSE_TAG_DEDUP);
}

// Whether the user may still take `size` bytes on the file's volume, quotas
// counted; else the reason, "no room" among them.
bool hasRoomFor(HANDLE handle, std::uint64_t size) {
    std::wstring path(32768, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(), 32768, VOLUME_NAME_DOS);
    ULARGE_INTEGER available{};
    if (length == 0 || length >= 32768)
        return false;
    path.resize(path.find_last_of(L'\\', length) + 1); // its directory
    if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr))
        return false;
    if (available.QuadPart >= size)
        return true;
    SetLastError(ERROR_DISK_FULL);
    return false;
}

} // namespace

// The blocks past the end are set aside, never below the end (which would cut
// the file). Where the file system refuses that, or the copy may need new
// blocks for those the file has, the free room must hold the whole grid.
bool reserve(int fd, std::uint64_t size) {
    HANDLE handle = handleOf(fd);
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        (mayNeedNewBlocks(handle) && !hasRoomFor(handle, size)))
        return false;
    if (size <= static_cast<std::uint64_t>(standard.EndOfFile.QuadPart))
        return true;
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    if (SetFileInformationByHandle(handle, FileAllocationInfo, &allocation, sizeof allocation))
        return true;
    // Refused, not full (a quota counts in the free room).
    DWORD error = GetLastError();
    return error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL && hasRoomFor(handle, size);
}

std::int64_t cloneInto(int, int, std::uint64_t) {
    return 0;
}

bool setSize(int fd, std::uint64_t size) {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(handleOf(fd), end, nullptr, FILE_BEGIN) && SetEndOfFile(handleOf(fd));
}

bool flushData(int fd) {
    return FlushFileBuffers(handleOf(fd));
}

// A file system that flushes no directory by its handle says so, and one
// held without write access cannot be: neither is a failure.
bool flushDirectory(const Directory& directory) {
    if (FlushFileBuffers(handleOf(directory.fd)))
        return true;
    DWORD error = GetLastError();
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_ACCESS_DENIED;
}

// Windows tells no file system in memory alone.
bool inMemory(int) {
    return false;
}

// Windows writes a file back on its own schedule.
bool startWriteback(int, std::uint64_t, std::uint64_t) {
    return false;
}

} // namespace brenzolt::sys
