// What the Windows files of the platform layer share: UTF-8 and UTF-16, the
// handle behind a C runtime descriptor, and a file's owner. Private to
// platform/.
#pragma once

#include <windows.h>

#include <aclapi.h>
#include <io.h>
#include <string>

namespace brenzolt::sys {

// Others may read, write, rename and delete the files the program has open,
// as on POSIX.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline std::string toUtf8(const wchar_t* text, std::size_t size) {
    if (size == 0)
        return {};
    int length =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), result.data(), length, nullptr,
                        nullptr);
    return result;
}

inline std::wstring toUtf16(const char* text, std::size_t size, UINT codePage = CP_UTF8,
                            DWORD flags = 0) {
    if (size == 0)
        return {};
    int length = MultiByteToWideChar(codePage, flags, text, static_cast<int>(size), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, flags, text, static_cast<int>(size), result.data(), length);
    return result;
}

inline HANDLE handleOf(int fd) {
    intptr_t handle = fd < 0 ? -1 : _get_osfhandle(fd);
    // -2: a standard stream the program was started without.
    return handle == -1 || handle == -2 || handle == 0 ? INVALID_HANDLE_VALUE
                                                       : reinterpret_cast<HANDLE>(handle);
}

inline bool isConsole(HANDLE handle) {
    DWORD mode;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// The owner of an open file, read through a handle that may read it; none
// (null) where the file system keeps no owner or it cannot be read.
struct Owner {
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR held = nullptr; // where `sid` lives

    explicit Owner(HANDLE handle) {
        if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr,
                            nullptr, nullptr, &held) != ERROR_SUCCESS)
            sid = held = nullptr;
    }
    ~Owner() { LocalFree(held); }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
};

} // namespace brenzolt::sys
