// The platform layer's console on Windows.
#include "platform/system.h"
#include "platform/win32.h"

namespace brenzolt::sys {

namespace {

// One UTF-16 unit at a time: the console keeps the rest of the line for the
// next answer.
std::string readConsoleLineFrom(HANDLE console) {
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

bool readConsoleLine(int fd, std::string& line) {
    HANDLE handle = handleOf(fd);
    if (!isConsole(handle))
        return false;
    line = readConsoleLineFrom(handle);
    return true;
}

// Names are UTF-8 in the program; a line that is not (a script's text in the
// console's or the system's code page) is taken in that code page.
std::string answerInUtf8(std::string line) {
    if (line.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(),
                                            static_cast<int>(line.size()), nullptr, 0) > 0)
        return line;
    UINT codePage = GetConsoleCP() != 0 ? GetConsoleCP() : CP_ACP;
    std::wstring wide = toUtf16(line.data(), line.size(), codePage);
    return toUtf8(wide.data(), wide.size());
}

const bool kQuotedAnswers = true;

// A console that a double click opened holds this process alone; one that a
// shell, a script or another program shares holds them too. Standard input
// and output that are not the console (a pipe, a file) never wait for Enter.
// Under Wine a console of this process alone is the terminal that started
// it, which stays open (in a shell's loop too).
bool isOwnConsoleWindow(int inputFd, int outputFd) {
    DWORD processes[2];
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    return !wine && isConsole(handleOf(inputFd)) && isConsole(handleOf(outputFd)) &&
           GetConsoleProcessList(processes, 2) == 1;
}

int descriptorIfOpen(int fd) {
    return handleOf(fd) == INVALID_HANDLE_VALUE ? -1 : fd;
}

bool isTerminal(int fd) {
    return isConsole(handleOf(fd));
}

} // namespace brenzolt::sys
