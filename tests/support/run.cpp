#include "tests/support/run.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>
#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace brenzolt::test {
namespace {

namespace fs = std::filesystem;

constexpr int kPatienceMs = 20'000;

// The system's part: pipes, a file for standard error, and a process started with its
// standard streams; the run itself below is the same everywhere.
#ifdef _WIN32
using Handle = HANDLE;
using Process = HANDLE;
const Handle kNone = nullptr;

void closeHandle(Handle& handle) {
    if (handle != kNone)
        CloseHandle(std::exchange(handle, kNone));
}

void makePipe(Handle ends[2], std::size_t size) {
    if (!CreatePipe(&ends[0], &ends[1], nullptr, static_cast<DWORD>(size)))
        throw std::runtime_error("CreatePipe failed");
}

void writeAll(Handle to, const std::string& text) {
    DWORD n = 0;
    if (!WriteFile(to, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) ||
        n != text.size())
        throw std::runtime_error("cannot write the program's standard input");
}

// Bytes from a pipe as they come: 0 once every writer is gone, -1 after `patienceMs` of none.
long readSome(Handle from, char* buffer, std::size_t size, int patienceMs) {
    for (ULONGLONG end = GetTickCount64() + patienceMs;; Sleep(1)) {
        DWORD available = 0, n = 0;
        if (!PeekNamedPipe(from, nullptr, 0, nullptr, &available, nullptr))
            return 0;
        if (available > 0)
            return ReadFile(from, buffer, std::min<DWORD>(available, size), &n, nullptr) ? n : 0;
        if (GetTickCount64() > end)
            return -1;
    }
}

std::string readAll(Handle from) {
    std::string text;
    char buffer[65536];
    LARGE_INTEGER start{};
    SetFilePointerEx(from, start, nullptr, FILE_BEGIN); // a file: from its start
    for (DWORD n; from != kNone && ReadFile(from, buffer, sizeof buffer, &n, nullptr) && n > 0;)
        text.append(buffer, n);
    return text;
}

Handle errorsFile() {
    fs::path path =
        fs::temp_directory_path() / ("brenzolt-stderr-" + std::to_string(GetTickCount64()));
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                       nullptr);
}

std::wstring wide(const std::string& text) {
    std::wstring result(text.size(), L'\0');
    result.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      result.data(), static_cast<int>(result.size())));
    return result;
}

// One word of a command line as the C runtime splits it: quoted, and a backslash doubled
// where a quote follows it.
std::string quoted(const std::string& word) {
    std::string result = "\"";
    std::size_t backslashes = 0;
    for (char c : word) {
        result.append(c == '"' ? backslashes + 1 : 0, '\\') += c;
        backslashes = c == '\\' ? backslashes + 1 : 0;
    }
    return result.append(backslashes, '\\') + "\"";
}

// No handle for a standard stream that is closed; the log opened for appending, as `>>` does.
Process start(const fs::path& dir, const std::vector<std::string>& words, Handle in, Handle out,
              Handle errors, const Options& options) {
    std::string line;
    for (const std::string& word : words)
        line += quoted(word) + " ";
    std::wstring command = wide(line);
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    Handle log = options.out != Stdout::log
                     ? kNone
                     : CreateFileW((dir / "log").c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   &inherited, OPEN_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = log != kNone ? log : out;
    startup.hStdError = errors;
    for (Handle handle : {in, out, errors})
        if (handle != kNone)
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    if (options.threads != 0)
        SetEnvironmentVariableW(L"BRENZOLT_THREADS", std::to_wstring(options.threads).c_str());
    PROCESS_INFORMATION process{};
    bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  dir.c_str(), &startup, &process);
    SetEnvironmentVariableW(L"BRENZOLT_THREADS", nullptr);
    SetHandleInformation(in, HANDLE_FLAG_INHERIT, 0); // kept to read back what is left
    closeHandle(log);
    if (!started)
        throw std::runtime_error("cannot start " + line);
    CloseHandle(process.hThread);
    return process.hProcess;
}

void kill(Process process) {
    TerminateProcess(process, static_cast<UINT>(-1));
}

int wait(Process process) {
    DWORD status = 0;
    WaitForSingleObject(process, INFINITE);
    GetExitCodeProcess(process, &status);
    CloseHandle(process);
    return static_cast<int>(status);
}
#else
using Handle = int;
using Process = pid_t;
const Handle kNone = -1;
constexpr uid_t kNobody = 65534;

void closeHandle(Handle& handle) {
    if (handle != kNone)
        close(std::exchange(handle, kNone));
}

void makePipe(Handle ends[2], std::size_t size) {
    if (pipe2(ends, O_CLOEXEC) != 0 ||
        (size > 65536 && fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(size)) < 0))
        throw std::runtime_error("cannot make a pipe of " + std::to_string(size) + " bytes");
}

void writeAll(Handle to, const std::string& text) {
    if (write(to, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("cannot write the program's standard input");
}

long readSome(Handle from, char* buffer, std::size_t size, int patienceMs) {
    pollfd ready{from, POLLIN, 0};
    return poll(&ready, 1, patienceMs) <= 0 ? -1 : std::max(read(from, buffer, size), ssize_t{0});
}

std::string readAll(Handle from) {
    std::string text;
    char buffer[65536];
    lseek(from, 0, SEEK_SET); // a file: from its start
    for (ssize_t n; from != kNone && (n = read(from, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

Handle errorsFile() {
    return memfd_create("stderr", MFD_CLOEXEC);
}

// Descriptor 0 or 1 closed for a standard stream that is; the log opened for appending, as
// `>>` does; then limits, user and BRENZOLT_THREADS.
Process start(const fs::path& dir, std::vector<std::string> words, Handle in, Handle out,
              Handle errors, const Options& options) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid < 0 ? throw std::runtime_error("fork failed") : pid;
    signal(SIGPIPE, SIG_DFL); // as a shell starts it, whatever the test runner ignores
    rlimit files{rlim_t(options.fileSizeLimit), rlim_t(options.fileSizeLimit)};
    rlimit descriptors{rlim_t(options.descriptorLimit), rlim_t(options.descriptorLimit)};
    rlimit processes{rlim_t(options.processLimit), rlim_t(options.processLimit)};
    if (in < 0)
        close(0);
    if (out < 0)
        close(1);
    bool ready = (options.fileSizeLimit == 0 || setrlimit(RLIMIT_FSIZE, &files) == 0) &&
                 (options.descriptorLimit == 0 || setrlimit(RLIMIT_NOFILE, &descriptors) == 0) &&
                 (options.processLimit == 0 || setrlimit(RLIMIT_NPROC, &processes) == 0) &&
                 (in < 0 || dup2(in, 0) == 0) && (out < 0 || dup2(out, 1) == 1) &&
                 dup2(errors, 2) == 2 && chdir(dir.c_str()) == 0 &&
                 (options.out != Stdout::log ||
                  (close(1), open("log", O_WRONLY | O_APPEND | O_CREAT, 0644) == 1)) &&
                 (options.threads == 0 ||
                  setenv("BRENZOLT_THREADS", std::to_string(options.threads).c_str(), 1) == 0) &&
                 (!options.asNobody || geteuid() != 0 ||
                  (chmod(".", 0777) == 0 && setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 &&
                   setuid(kNobody) == 0));
    if (ready)
        execvp(argv[0], argv.data());
    _exit(127);
}

void kill(Process process) {
    ::kill(process, SIGKILL);
}

int wait(Process process) {
    int status = 0;
    waitpid(process, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

} // namespace

std::string program() {
    const char* path = std::getenv("BRENZOLT_TEST_PROGRAM");
    return path != nullptr && *path != '\0' ? path : BRENZOLT_BINARY;
}

Result run(const fs::path& dir, const std::vector<std::string>& arguments, const std::string& input,
           const Options& options) {
    const char* command = std::getenv("BRENZOLT_TEST_WRAPPER");
    std::istringstream wrapper(command != nullptr ? command : "");
    std::vector<std::string> words{std::istream_iterator<std::string>(wrapper), {}};
    words.push_back(program());
    words.insert(words.end(), arguments.begin(), arguments.end());
    // The test's ends: in[0] stays open to read back what the program leaves unread. Piped
    // input is all written before the program starts: the pipe must hold it.
    Handle in[2] = {kNone, kNone}, out[2] = {kNone, kNone};
    if (options.in != Stdin::closed)
        makePipe(in, input.size());
    if (options.out != Stdout::closed)
        makePipe(out, 0);
    std::vector<std::string> answers; // of a conversation, one line each
    for (std::size_t at = 0; options.in == Stdin::conversation && at < input.size();) {
        std::size_t end = std::min(input.find('\n', at), input.size() - 1) + 1;
        answers.push_back(input.substr(at, end - at));
        at = end;
    }
    if (options.in == Stdin::pipe) {
        writeAll(in[1], input);
        closeHandle(in[1]);
    }
    if (options.out == Stdout::broken)
        closeHandle(out[0]);
    Handle errors = errorsFile();
    Process process = start(dir, words, in[0], out[1], errors, options);
    closeHandle(out[1]);
    // The console to its end, with the next answer whenever it stops at a prompt.
    Result result;
    char buffer[65536];
    for (long n; out[0] != kNone && (n = readSome(out[0], buffer, sizeof buffer, kPatienceMs));) {
        if (n < 0) {
            kill(process); // waiting for the answer to a prompt it has not shown
            break;
        }
        result.console.append(buffer, static_cast<std::size_t>(n));
        if (!answers.empty() && result.console.ends_with(": ")) {
            writeAll(in[1], answers.front());
            answers.erase(answers.begin());
        }
    }
    for (const std::string& answer : answers) // to prompts that never came
        writeAll(in[1], answer);
    closeHandle(in[1]);
    closeHandle(out[0]);
    result.status = wait(process);
    result.unread = readAll(in[0]);
    result.errors = readAll(errors);
    closeHandle(in[0]);
    closeHandle(errors);
    return result;
}

std::string gridFile(std::vector<float> header, const std::vector<float>& nodes) {
    header.resize(12);
    header.insert(header.end(), nodes.begin(), nodes.end());
    std::string bytes;
    for (float word : header)
        for (int shift = 0; shift < 32; shift += 8)
            bytes += static_cast<char>(std::bit_cast<std::uint32_t>(word) >> shift);
    return bytes;
}

TempDir::TempDir() {
    std::random_device random;
    while (!fs::create_directory(path_ = fs::temp_directory_path() /
                                         ("brenzolt-test-" + std::to_string(random()))))
        ;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& bytes) {
    if (!(std::ofstream(path, std::ios::binary) << bytes))
        throw std::runtime_error("cannot write " + path.string());
}

std::string crlf(const std::string& text) {
    std::string result;
    for (char c : text)
        result += c == '\n' ? "\r\n" : std::string(1, c);
    return result;
}

} // namespace brenzolt::test
