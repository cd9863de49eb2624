// The platform layer on Windows. Descriptors are the C runtime's, each over a
// handle that the wide API opened, so that the shared code is the same as on
// POSIX; names are UTF-8 inside the program and UTF-16 at the system, and the
// error numbers the shared code passes around are Windows' own.
#include "platform/platform.h"

#include "platform/system.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <utility>
#include <vector>

namespace brenzolt {

namespace {

// Others may read, write, rename and delete the files the program has open,
// as on POSIX.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string toUtf8(const wchar_t* text, std::size_t size) {
    if (size == 0)
        return {};
    int length =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), result.data(), length, nullptr,
                        nullptr);
    return result;
}

std::wstring toUtf16(const char* text, std::size_t size, UINT codePage = CP_UTF8, DWORD flags = 0) {
    if (size == 0)
        return {};
    int length = MultiByteToWideChar(codePage, flags, text, static_cast<int>(size), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, flags, text, static_cast<int>(size), result.data(), length);
    return result;
}

bool isValidUtf8(const std::string& text) {
    return text.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                               static_cast<int>(text.size()), nullptr, 0) > 0;
}

// The name as the system takes it; nothing for an empty name or one holding a
// NUL, which no file has. A name whose full path is too long for the classic
// limit takes the "\\?\" form of that path, which has none.
std::optional<std::wstring> systemName(const std::string& name) {
    if (name.empty() || name.find('\0') != std::string::npos)
        return std::nullopt;
    std::wstring wide = toUtf16(name.data(), name.size());
    DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (length < MAX_PATH - 12 || wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\"))
        return wide;
    std::wstring full(length, L'\0');
    length = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return wide;
    full.resize(length);
    if (full.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// A full name the program made itself, such as the temporary file's.
std::wstring wideName(const std::string& path) {
    return toUtf16(path.data(), path.size());
}

HANDLE handleOf(int fd) {
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    intptr_t handle = _get_osfhandle(fd);
    // -2: a standard stream the program was started without.
    if (handle == -1 || handle == -2 || handle == 0)
        return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(handle);
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

// What the program needs to know of an open disk file.
struct DiskFile {
    FileId id;
    std::uint64_t links = 0;
    bool directory = false;
    std::int64_t created = 0; // times and size, for telling files apart
    std::int64_t changed = 0; // where the volume is not known
    std::int64_t size = 0;
};

std::optional<DiskFile> diskFileOf(HANDLE handle) {
    FILE_STANDARD_INFO standard{};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return std::nullopt;
    DiskFile file{.id = {},
                  .links = standard.NumberOfLinks,
                  .directory = standard.Directory != 0,
                  .created = basic.CreationTime.QuadPart,
                  .changed = basic.ChangeTime.QuadPart,
                  .size = standard.EndOfFile.QuadPart};
    // The 128-bit file id where the file system has one (ReFS), folded into
    // 64 bits that are the whole id elsewhere; the classic index otherwise.
    FILE_ID_INFO id{};
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        std::memcpy(&low, id.FileId.Identifier, sizeof low);
        std::memcpy(&high, id.FileId.Identifier + sizeof low, sizeof high);
        file.id = FileId{id.VolumeSerialNumber, low ^ high};
    } else if (GetFileInformationByHandle(handle, &info)) {
        file.id = FileId{info.dwVolumeSerialNumber,
                         (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    } else {
        return std::nullopt;
    }
    return file;
}

// Wine makes its standard streams from the Unix process's, and such a handle
// knows its file's index but not the volume (0): the times and size must
// then agree as well.
bool isSameDiskFile(const DiskFile& a, const DiskFile& b) {
    if (a.id.device != 0 && b.id.device != 0)
        return a.id == b.id;
    return a.id.inode == b.id.inode && a.created == b.created && a.changed == b.changed &&
           a.size == b.size;
}

// A device or pipe has no file index; while it is open, its handle tells it
// from every other open file.
FileId pseudoIdOf(HANDLE handle) {
    return FileId{~std::uint64_t{0}, reinterpret_cast<std::uintptr_t>(handle)};
}

bool isDiskFile(HANDLE handle) {
    return GetFileType(handle) == FILE_TYPE_DISK;
}

bool isConsole(HANDLE handle) {
    DWORD mode;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// Why `name` did not open: a directory says so rather than "access denied".
std::string openFailure(const std::wstring& name) {
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesW(name.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return "Is a directory";
    return sys::reasonOf(static_cast<int>(error));
}

bool closeChecked(int fd) {
    return _close(fd) == 0;
}

bool emptyFile(int fd) {
    HANDLE handle = handleOf(fd);
    LARGE_INTEGER start{};
    return SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}

// The temporary output file that Ctrl-C, Ctrl-Break or closing the console
// must not leave behind. The console control handler runs on a thread of its
// own and is given no argument, so this is the one piece of process-wide
// state; the lock keeps the handler from reading the name while it changes,
// and from ending the process between the file's creation and its arming.
struct PendingTemporary {
    SRWLOCK lock = SRWLOCK_INIT;
    std::wstring path; // empty when there is none
};
PendingTemporary pendingTemporary;

BOOL WINAPI removeTemporaryAndEnd(DWORD) {
    AcquireSRWLockExclusive(&pendingTemporary.lock);
    // The file is open with FILE_SHARE_DELETE: it goes when the process ends.
    if (!pendingTemporary.path.empty())
        DeleteFileW(pendingTemporary.path.c_str());
    // Ends the process as the console's own handler would have.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Creates `path` as a new file that the handler removes until it is disarmed.
HANDLE createArmedTemporary(const std::wstring& path) {
    AcquireSRWLockExclusive(&pendingTemporary.lock);
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE)
        pendingTemporary.path = path;
    ReleaseSRWLockExclusive(&pendingTemporary.lock);
    SetLastError(error);
    return handle;
}

void disarmTemporary() {
    AcquireSRWLockExclusive(&pendingTemporary.lock);
    pendingTemporary.path.clear();
    ReleaseSRWLockExclusive(&pendingTemporary.lock);
}

} // namespace

namespace sys {

namespace {

// The console takes UTF-16: UTF-8 bytes in its code page would show as
// other letters. A character cut in two by a full buffer shows as U+FFFD.
int writeConsole(HANDLE console, const char* data, std::size_t size) {
    std::wstring text = toUtf16(data, size);
    constexpr std::size_t kPiece = 8192; // older consoles refuse long writes
    for (std::size_t done = 0; done < text.size();) {
        std::size_t piece = std::min(kPiece, text.size() - done);
        if (done + piece < text.size() && IS_HIGH_SURROGATE(text[done + piece - 1]))
            --piece;
        DWORD written = 0;
        if (!WriteConsoleW(console, text.data() + done, static_cast<DWORD>(piece), &written,
                           nullptr))
            return static_cast<int>(GetLastError());
        done += written > 0 ? written : piece;
    }
    return 0;
}

// One UTF-16 unit at a time: the console keeps the rest of the line for the
// next answer.
std::string readConsoleLine(HANDLE console) {
    std::wstring line;
    wchar_t c;
    DWORD got = 0;
    while (line.empty() || line.back() != L'\n') {
        SetLastError(ERROR_SUCCESS);
        if (ReadConsoleW(console, &c, 1, &got, nullptr) && got == 1) {
            line.push_back(c);
            continue;
        }
        // Ctrl-C breaks off the read while its handler ends the process.
        if (GetLastError() != ERROR_OPERATION_ABORTED)
            break;
    }
    // Ctrl-Z then Enter at the start of a line ends the input.
    if (line.starts_with(L'\x1a'))
        return {};
    return toUtf8(line.data(), line.size());
}

} // namespace

int writeAll(int fd, const char* data, std::size_t size) {
    HANDLE handle = handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    if (isConsole(handle))
        return writeConsole(handle, data, size);
    while (size > 0) {
        DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, std::size_t{1} << 30));
        DWORD written = 0;
        if (!WriteFile(handle, data, piece, &written, nullptr))
            return static_cast<int>(GetLastError());
        if (written == 0)
            return ERROR_WRITE_FAULT;
        data += written;
        size -= written;
    }
    return 0;
}

// A positioned read on a handle opened for synchronous use leaves the file
// position after the bytes read; the shared code does not mix positioned
// and sequential reads of one file.
std::int64_t readSome(int fd, void* buffer, std::size_t size, std::int64_t offset, int& error) {
    HANDLE handle = handleOf(fd);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD got = 0;
    if (ReadFile(handle, buffer, static_cast<DWORD>(size), &got, offset < 0 ? nullptr : &at))
        return got;
    DWORD failure = GetLastError();
    // The end of a pipe, or a positioned read past the end of the file.
    if (failure == ERROR_BROKEN_PIPE || failure == ERROR_HANDLE_EOF)
        return 0;
    error = static_cast<int>(failure);
    return -1;
}

// From a pipe or a file one byte at a time, as on POSIX. Names are UTF-8 in
// the program; a line that is not (a script's text in the console's or the
// system's code page) is taken in that code page.
std::string readLine(int fd) {
    HANDLE handle = handleOf(fd);
    if (isConsole(handle))
        return readConsoleLine(handle);
    std::string line;
    char c;
    int error = 0;
    while (line.empty() || line.back() != '\n') {
        if (readSome(fd, &c, 1, -1, error) != 1)
            break;
        line.push_back(c);
    }
    if (isValidUtf8(line))
        return line;
    UINT codePage = GetConsoleCP() != 0 ? GetConsoleCP() : CP_ACP;
    std::wstring wide = toUtf16(line.data(), line.size(), codePage);
    return toUtf8(wide.data(), wide.size());
}

int descriptorIfOpen(int fd) {
    return handleOf(fd) == INVALID_HANDLE_VALUE ? -1 : fd;
}

bool isTerminal(int fd) {
    return isConsole(handleOf(fd));
}

void closeDescriptor(int fd) {
    _close(fd);
}

std::string reasonOf(int error) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0)
        return "error " + std::to_string(static_cast<DWORD>(error));
    std::string reason = toUtf8(text, length);
    LocalFree(text);
    while (!reason.empty() &&
           (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
        reason.pop_back();
    return reason;
}

} // namespace sys

using sys::reasonOf;

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(toUtf8(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return arguments;
}

void prepareProcess() {
    // No message boxes for a drive without a disk: the open just fails.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // The program writes its own CR LF; the C runtime must not add another.
    for (int fd : {0, 1, 2})
        if (sys::descriptorIfOpen(fd) >= 0)
            _setmode(fd, _O_BINARY);
    SetConsoleCtrlHandler(removeTemporaryAndEnd, TRUE);
}

Console::Console() : Console(1, 0, 2) {}

std::optional<std::uint64_t> InputFile::regularFileSize() const {
    HANDLE handle = handleOf(fd_);
    LARGE_INTEGER size{};
    if (!isDiskFile(handle) || !GetFileSizeEx(handle, &size))
        return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::optional<InputFile> openInputFile(const std::string& name, std::string& reason) {
    std::optional<std::wstring> path = systemName(name);
    if (!path) {
        reason = reasonOf(ERROR_FILE_NOT_FOUND);
        return std::nullopt;
    }
    HANDLE handle = CreateFileW(path->c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = openFailure(*path);
        return std::nullopt;
    }
    FileId id = pseudoIdOf(handle);
    if (isDiskFile(handle)) {
        std::optional<DiskFile> disk = diskFileOf(handle);
        if (!disk) {
            reason = reasonOf(static_cast<int>(GetLastError()));
            CloseHandle(handle);
            return std::nullopt;
        }
        id = disk->id;
    }
    int fd = descriptorOf(handle, _O_RDONLY);
    if (fd < 0) {
        reason = reasonOf(static_cast<int>(GetLastError()));
        return std::nullopt;
    }
    InputFile file;
    file.fd_ = fd;
    file.id_ = id;
    return file;
}

bool OutputFile::begin() {
    // A regular file written in place gives up its old contents only now.
    if (how_ == How::inPlace && regular_ && !emptyFile(fd_))
        return fail(reasonOf(static_cast<int>(GetLastError())));
    begun_ = true;
    writer_ = std::make_unique<TextWriter>(fd_);
    return true;
}

namespace {

bool isTheFileOpened(const std::string& path, const FileId& id) {
    HANDLE handle = CreateFileW(wideName(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    std::optional<DiskFile> disk = diskFileOf(handle);
    bool same = disk && !disk->directory && disk->id == id;
    CloseHandle(handle);
    return same;
}

// Puts `from` in the place of the existing `to`. ReplaceFileW keeps what
// belongs to the old file (its security, attributes and creation time), as
// a rename on POSIX keeps the permission bits it was given; where the file
// system does not support it, a plain rename does.
bool replaceExisting(const std::wstring& from, const std::wstring& to) {
    if (ReplaceFileW(to.c_str(), from.c_str(), nullptr,
                     REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                     nullptr))
        return true;
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
}

} // namespace

bool OutputFile::finish() {
    if (fd_ < 0 || !writer_)
        return fail(reasonOf(ERROR_INVALID_HANDLE));
    if (!writer_->flush())
        return fail(writer_->reason());
    writer_.reset();
    if (how_ == How::consoleOutput) {
        fd_ = -1; // the console's, not ours to close
        return true;
    }
    if (!closeChecked(std::exchange(fd_, -1)))
        return fail(reasonOf(static_cast<int>(GetLastError())));
    if (how_ == How::inPlace)
        return true;
    // Only the file this run opened is replaced: a target that changed
    // meanwhile (another run's grid) stays as it is.
    if (!created_ && !isTheFileOpened(target_, id_))
        return fail("it changed while the grid was written");
    std::wstring from = wideName(temporary_);
    std::wstring to = wideName(target_);
    // Without MOVEFILE_REPLACE_EXISTING the rename fails on a name that
    // another run has taken since this one found it free.
    bool renamed = created_ ? MoveFileExW(from.c_str(), to.c_str(), 0) : replaceExisting(from, to);
    if (!renamed) {
        DWORD error = GetLastError();
        return fail(error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
                        ? "it was created while the grid was written"
                        : reasonOf(static_cast<int>(error)));
    }
    disarmTemporary();
    temporary_.clear();
    return true;
}

void OutputFile::discard() {
    writer_.reset();
    if (fd_ >= 0 && how_ != How::consoleOutput) {
        // An in-place file already emptied holds only part of a grid: a
        // single name goes; a file shared by hard links is left empty, so
        // that no name shows the partial grid.
        if (how_ == How::inPlace && begun_ && regular_ && shared_)
            (void)emptyFile(fd_);
        _close(fd_);
        if (how_ == How::inPlace && begun_ && regular_ && !shared_)
            DeleteFileW(wideName(target_).c_str());
    }
    fd_ = -1;
    if (!temporary_.empty()) {
        DeleteFileW(wideName(temporary_).c_str());
        disarmTemporary();
        temporary_.clear();
    }
}

namespace {

// Opens `name` for writing without truncating it; a name not there yet is
// created, and `created` says so.
HANDLE openForWriting(const std::wstring& name, bool& created) {
    created = false;
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND)
        return handle;
    created = true;
    return CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, kShareAll, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The file's own full name, links and junctions resolved.
std::string finalPathOf(HANDLE handle, const std::wstring& name) {
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD length = GetFinalPathNameByHandleW(handle, path.data(),
                                                 static_cast<DWORD>(path.size()), VOLUME_NAME_DOS);
        if (length > 0 && length < path.size())
            return toUtf8(path.data(), length);
        if (length == 0)
            break;
        path.resize(length);
    }
    // A file system that cannot name its files: the full name as given.
    DWORD length =
        GetFullPathNameW(name.c_str(), static_cast<DWORD>(path.size()), path.data(), nullptr);
    if (length >= path.size()) {
        path.resize(length);
        length = GetFullPathNameW(name.c_str(), length, path.data(), nullptr);
    }
    return length > 0 ? toUtf8(path.data(), length) : toUtf8(name.data(), name.size());
}

// Gives up the name just created: it stays free until the grid is complete,
// so that a failed run has nothing to remove there.
void removeCreated(HANDLE handle, const std::wstring& name) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    bool marked =
        SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(handle);
    if (!marked)
        DeleteFileW(name.c_str());
}

std::string directoryOf(const std::string& path) {
    std::size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? "." : path.substr(0, separator);
}

// Creates the temporary file beside `target`. A name too long for the
// directory falls back to a short one.
HANDLE createTemporary(const std::string& target, std::string& temporary) {
    std::string suffix = ".brenzolt-incomplete-" + std::to_string(GetCurrentProcessId());
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string tail = attempt == 0 ? suffix : suffix + "-" + std::to_string(attempt);
        for (const std::string& path : {target + tail, directoryOf(target) + "\\" + tail}) {
            HANDLE handle = createArmedTemporary(wideName(path));
            if (handle != INVALID_HANDLE_VALUE) {
                temporary = path;
                return handle;
            }
            DWORD error = GetLastError();
            if (error != ERROR_FILENAME_EXCED_RANGE && error != ERROR_INVALID_NAME)
                break;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

// The console's own standard output when it is the disk file `file` (a
// device such as NUL or CON is only written in place).
bool isConsoleOutputFile(int outputFd, const DiskFile& file) {
    HANDLE output = handleOf(outputFd);
    if (output == INVALID_HANDLE_VALUE || !isDiskFile(output))
        return false;
    std::optional<DiskFile> console = diskFileOf(output);
    return console && isSameDiskFile(*console, file);
}

} // namespace

std::optional<OutputFile> openOutputFile(const std::string& name, const Console& consoleOutput,
                                         std::string& reason) {
    std::optional<std::wstring> path = systemName(name);
    if (!path) {
        reason = reasonOf(ERROR_FILE_NOT_FOUND);
        return std::nullopt;
    }
    bool created = false;
    HANDLE handle = openForWriting(*path, created);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = openFailure(*path);
        return std::nullopt;
    }
    OutputFile file;
    file.created_ = created;
    file.regular_ = isDiskFile(handle);
    file.id_ = pseudoIdOf(handle);
    if (file.regular_) {
        std::optional<DiskFile> disk = diskFileOf(handle);
        if (!disk) {
            reason = reasonOf(static_cast<int>(GetLastError()));
            if (created)
                removeCreated(handle, *path);
            else
                CloseHandle(handle);
            return std::nullopt;
        }
        file.id_ = disk->id;
        if (isConsoleOutputFile(consoleOutput.outputFd_, *disk)) {
            CloseHandle(handle);
            file.fd_ = consoleOutput.outputFd_;
            file.how_ = OutputFile::How::consoleOutput;
            return file;
        }
        file.target_ = finalPathOf(handle, *path);
        file.shared_ = disk->links > 1;
    }
    if (created) {
        removeCreated(handle, *path);
        handle = INVALID_HANDLE_VALUE;
    }
    if (!file.regular_ || file.shared_) {
        file.how_ = OutputFile::How::inPlace;
        file.fd_ = descriptorOf(handle, _O_WRONLY);
        if (file.fd_ < 0) {
            reason = reasonOf(static_cast<int>(GetLastError()));
            return std::nullopt;
        }
        return file;
    }
    HANDLE temporary = createTemporary(file.target_, file.temporary_);
    if (temporary == INVALID_HANDLE_VALUE) {
        int error = static_cast<int>(GetLastError());
        // A file that may be written but not replaced is written in place.
        if (!created) {
            file.how_ = OutputFile::How::inPlace;
            file.fd_ = descriptorOf(handle, _O_WRONLY);
            if (file.fd_ >= 0)
                return file;
            error = static_cast<int>(GetLastError());
        }
        reason = reasonOf(error);
        return std::nullopt;
    }
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    file.fd_ = descriptorOf(temporary, _O_WRONLY);
    if (file.fd_ < 0) {
        reason = reasonOf(static_cast<int>(GetLastError()));
        return std::nullopt; // the file drops its temporary
    }
    return file;
}

} // namespace brenzolt
