// The platform layer's descriptors, errors and process set-up on Windows.
// Descriptors are the C runtime's, each over a handle that the wide API
// opened, so that the shared code is the same as on POSIX; names are UTF-8
// inside the program and UTF-16 at the system, and the error numbers the
// shared code passes around are Windows' own.
#include "platform/platform.h"

#include "platform/system.h"
#include "platform/win32.h"

#include <algorithm>
#include <fcntl.h>
#include <shellapi.h>

namespace brenzolt {

namespace sys {

namespace {

// Where a positioned read or write starts: nothing for the next bytes.
OVERLAPPED* at(std::int64_t offset, OVERLAPPED& place) {
    place = OVERLAPPED{};
    place.Offset = static_cast<DWORD>(offset);
    place.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return offset < 0 ? nullptr : &place;
}

// The console takes UTF-16: UTF-8 bytes in its code page would show as
// other letters. A character cut in two by a full buffer shows as U+FFFD.
bool writeConsole(HANDLE console, const char* data, std::size_t size) {
    std::wstring text = toUtf16(data, size);
    constexpr std::size_t kPiece = 8192; // older consoles refuse long writes
    for (std::size_t done = 0; done < text.size();) {
        std::size_t piece = std::min(kPiece, text.size() - done);
        if (done + piece < text.size() && IS_HIGH_SURROGATE(text[done + piece - 1]))
            --piece;
        DWORD written = 0;
        if (!WriteConsoleW(console, text.data() + done, static_cast<DWORD>(piece), &written,
                           nullptr))
            return false;
        done += written > 0 ? written : piece;
    }
    return true;
}

} // namespace

// A positioned write moves the file position too; the shared code writes a
// file either in order or at offsets only.
bool writeAll(int fd, const char* data, std::size_t size, std::int64_t offset) {
    HANDLE handle = handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (isConsole(handle))
        return writeConsole(handle, data, size);
    while (size > 0) {
        DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, std::size_t{1} << 30));
        DWORD written = 0;
        OVERLAPPED place;
        if (!WriteFile(handle, data, piece, &written, at(offset, place)))
            return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        data += written;
        size -= written;
        offset += offset < 0 ? 0 : written;
    }
    return true;
}

// Windows reads ahead by its own measure.
bool readAhead(int, std::uint64_t, std::uint64_t) {
    return false;
}

// A positioned read on a handle opened for synchronous use leaves the file
// position after the bytes read; the shared code does not mix positioned
// and sequential reads of one file.
std::int64_t readSome(int fd, void* buffer, std::size_t size, std::int64_t offset) {
    OVERLAPPED place;
    DWORD got = 0;
    if (ReadFile(handleOf(fd), buffer, static_cast<DWORD>(size), &got, at(offset, place)))
        return got;
    DWORD failure = GetLastError();
    // The end of a pipe, or a positioned read past the end of the file.
    return failure == ERROR_BROKEN_PIPE || failure == ERROR_HANDLE_EOF ? 0 : -1;
}

int duplicate(int fd) {
    return _dup(fd);
}

bool closeChecked(int fd) {
    return fd >= 0 && _close(fd) == 0;
}

int lastError() {
    return static_cast<int>(GetLastError());
}

void setLastError(int error) {
    SetLastError(static_cast<DWORD>(error));
}

std::string reasonOf(int error) {
    if (error == kIsDirectory)
        return "Is a directory";
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0)
        return "error " + std::to_string(static_cast<DWORD>(error));
    std::string reason = toUtf8(text, length);
    LocalFree(text);
    return reason.substr(0, reason.find_last_not_of("\r\n ") + 1);
}

// The C runtime's table of descriptors holds 2048.
std::size_t mostDescriptors() {
    return 2048;
}

const int kNotFound = ERROR_FILE_NOT_FOUND, kExists = ERROR_FILE_EXISTS,
          kIsDirectory = 0x20000001, // an application's own code: no system error says it
    kNoSpace = ERROR_DISK_FULL, kIoError = ERROR_IO_DEVICE;

} // namespace sys

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(sys::toUtf8(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return arguments;
}

bool prepareProcess() {
    // No message boxes for a drive without a disk: the open just fails.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // The program writes its own CR LF; the C runtime must not add another.
    for (int fd : {0, 1, 2})
        if (sys::descriptorIfOpen(fd) >= 0)
            _setmode(fd, _O_BINARY);
    sys::undoOnSignals();
    return true;
}

} // namespace brenzolt
