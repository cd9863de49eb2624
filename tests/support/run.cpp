#include "tests/support/run.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <unistd.h>
#include <utility>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#endif

namespace brenzolt::test {
namespace {

namespace fs = std::filesystem;

// The system's part: a pipe; a process started with its standard streams; the process's end.
// Both systems use descriptors; the run itself below is the same everywhere.
#ifdef _WIN32
using Process = HANDLE;

HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool makePipe(int ends[2], std::size_t size) {
    return _pipe(ends, static_cast<unsigned>(std::max<std::size_t>(size, 65536)),
                 _O_BINARY | _O_NOINHERIT) == 0;
}

// No handle for a standard stream that is closed. The log is opened for appending, as `>>`
// does; a held output is opened the same way, as a virus scanner or an indexer may hold a file
// (without FILE_SHARE_DELETE: it cannot be replaced), from before the start until `holdMs`
// after it.
Process start(const fs::path& dir, const std::vector<std::string>& words, int in, int out,
              int errors, const Options& options) {
    std::string line;
    for (const std::string& word : words) // none holds a quote or ends in a backslash
        line += "\"" + word + "\" ";
    std::wstring command = fs::path(std::u8string(line.begin(), line.end())).wstring();
    auto open = [&](const std::string& name) {
        return CreateFileW((dir / name).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    };
    HANDLE log = options.out == Stdout::log ? open("log") : nullptr;
    HANDLE held = options.holdMs > 0 ? open(words.back()) : nullptr;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in < 0 ? nullptr : handleOf(in);
    startup.hStdOutput = log ? log : out < 0 ? nullptr : handleOf(out);
    startup.hStdError = handleOf(errors);
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    if (options.threads != 0)
        SetEnvironmentVariableW(L"BRENZOLT_THREADS", std::to_wstring(options.threads).c_str());
    PROCESS_INFORMATION process{};
    bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  dir.c_str(), &startup, &process);
    SetEnvironmentVariableW(L"BRENZOLT_THREADS", nullptr);
    CloseHandle(log);
    if (!started)
        throw std::runtime_error("cannot start " + line);
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, options.holdMs);
    CloseHandle(held);
    return process.hProcess;
}

int wait(Process process) {
    DWORD status = 0;
    WaitForSingleObject(process, INFINITE);
    GetExitCodeProcess(process, &status);
    CloseHandle(process);
    return static_cast<int>(status);
}
bool makeTerminal(int[2]) { // no pseudo-terminal on Windows
    return false;
}
#else
using Process = pid_t;

bool makePipe(int ends[2], std::size_t size) {
#ifdef F_SETPIPE_SZ
    return pipe2(ends, O_CLOEXEC) == 0 &&
           (size <= 65536 || fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(size)) >= 0);
#else // a system whose pipes hold 64 KiB at most
    return size <= 65536 && pipe(ends) == 0 && fcntl(ends[0], F_SETFD, FD_CLOEXEC) == 0 &&
           fcntl(ends[1], F_SETFD, FD_CLOEXEC) == 0;
#endif
}

// In the child, one step after another; the first that fails says so on standard error (the
// test's, or from its step on the program's, which the test shows) and ends the child.
void step(bool done, const char* what) {
    if (done)
        return;
    const char* reason = strerror(errno);
    for (const char* part : {"cannot start brenzolt: ", what, ": ", reason, "\n"})
        (void)!write(2, part, strlen(part));
    _exit(127);
}

// Descriptor 0 or 1 closed for a standard stream that is; the log opened for appending, as
// `>>` does; then limits, user and BRENZOLT_THREADS.
Process start(const fs::path& dir, std::vector<std::string> words, int in, int out, int errors,
              const Options& options) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::string threads = std::to_string(options.threads);
    pid_t pid = fork();
    if (pid != 0)
        return pid < 0 ? throw std::runtime_error("fork failed") : pid;
    signal(SIGPIPE, SIG_DFL); // as a shell starts it, whatever the test runner ignores
    rlimit files{rlim_t(options.fileSizeLimit), rlim_t(options.fileSizeLimit)};
    rlimit descriptors{rlim_t(options.descriptorLimit), rlim_t(options.descriptorLimit)};
    rlimit processes{rlim_t(options.processLimit), rlim_t(options.processLimit)};
    step(options.fileSizeLimit == 0 || setrlimit(RLIMIT_FSIZE, &files) == 0, "ulimit -f");
    step(options.descriptorLimit == 0 || setrlimit(RLIMIT_NOFILE, &descriptors) == 0, "ulimit -n");
    step(options.processLimit == 0 || setrlimit(RLIMIT_NPROC, &processes) == 0, "ulimit -u");
    step(in < 0 ? (close(0), true) : dup2(in, 0) == 0, "standard input");
    step(out < 0 ? (close(1), true) : dup2(out, 1) == 1, "standard output");
    step(dup2(options.errorsAtTerminal ? in : errors, 2) == 2, "standard error");
    step(chdir(dir.c_str()) == 0, "cd");
    if (options.out == Stdout::log)
        step(close(1) == 0 && open("log", O_WRONLY | O_APPEND | O_CREAT, 0644) == 1, ">> log");
    step(options.threads == 0 || setenv("BRENZOLT_THREADS", threads.c_str(), 1) == 0,
         "BRENZOLT_THREADS");
    if (options.asNobody && geteuid() == 0)
        step(chmod(".", 0777) == 0 && setgroups(0, nullptr) == 0 && setgid(65534) == 0 &&
                 setuid(65534) == 0,
             "the user nobody");
    execvp(argv[0], argv.data());
    step(false, argv[0]);
    return -1;
}

// A pseudo-terminal that passes the program's text as it is and echoes nothing typed.
bool makeTerminal(int ends[2]) {
    termios modes;
    ends[1] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    bool made = ends[1] >= 0 && grantpt(ends[1]) == 0 && unlockpt(ends[1]) == 0 &&
                (ends[0] = open(ptsname(ends[1]), O_RDWR | O_NOCTTY | O_CLOEXEC)) >= 0 &&
                tcgetattr(ends[0], &modes) == 0;
    modes.c_lflag &= ~tcflag_t(ECHO);
    modes.c_oflag &= ~tcflag_t(OPOST);
    return made && tcsetattr(ends[0], TCSANOW, &modes) == 0;
}

int wait(Process process) {
    int status = 0;
    waitpid(process, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

void closeFd(int& fd) {
    if (fd >= 0)
        close(std::exchange(fd, -1));
}

void writeAll(int to, const std::string& text) {
    if (write(to, text.data(), static_cast<unsigned>(text.size())) !=
        static_cast<long>(text.size()))
        throw std::runtime_error("cannot write the program's standard input");
}

std::string readAll(int& from) { // and closes it
    std::string text;
    char buffer[65536];
    for (long n; from >= 0 && (n = read(from, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    closeFd(from);
    return text;
}

} // namespace

Result run(const fs::path& dir, const std::vector<std::string>& arguments, const std::string& input,
           const Options& options) {
    const char* command = std::getenv("BRENZOLT_TEST_WRAPPER");
    std::istringstream wrapper(command != nullptr ? command : "");
    std::vector<std::string> words{std::istream_iterator<std::string>(wrapper), {}};
    words.push_back(BRENZOLT_BINARY);
    words.insert(words.end(), arguments.begin(), arguments.end());
    // The test's ends: in[0] stays open to read back what the program leaves unread. Piped
    // input is all written before the program starts: the pipe must hold it. Standard error is
    // read once the program has ended: its pipe holds a megabyte.
    int in[2] = {-1, -1}, out[2] = {-1, -1}, errors[2] = {-1, -1};
    if ((options.in == Stdin::terminal && !makeTerminal(in)) ||
        (options.in != Stdin::closed && in[0] < 0 && !makePipe(in, input.size())) ||
        (options.out != Stdout::closed && !makePipe(out, 0)) || !makePipe(errors, 1 << 20))
        throw std::runtime_error("cannot make a pipe or a terminal for the program");
    // Given at once through a pipe; in a conversation, a line after each prompt; in pieces
    // once the program runs.
    std::size_t given =
        options.in == Stdin::conversation || options.in == Stdin::trickle ? 0 : input.size();
    if (options.in == Stdin::pipe || options.in == Stdin::terminal)
        writeAll(in[1], input);
    if (options.in == Stdin::pipe)
        closeFd(in[1]);
    if (options.out == Stdout::broken)
        closeFd(out[0]);
    Process process = start(dir, words, in[0], out[1], errors[1], options);
    closeFd(out[1]);
    closeFd(errors[1]);
    for (; options.in == Stdin::trickle && given < input.size(); given += 10000) {
        writeAll(in[1], input.substr(given, 10000));
        usleep(1000);
    }
    Result result;
    char buffer[65536];
    for (long n; out[0] >= 0 && (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        result.console.append(buffer, static_cast<std::size_t>(n));
        if (given < input.size() && result.console.ends_with(": ")) {
            std::size_t end = std::min(input.find('\n', given), input.size() - 1) + 1;
            writeAll(in[1], input.substr(given, end - given));
            given = end;
        }
    }
    if (given < input.size()) // answers to prompts that never came
        writeAll(in[1], input.substr(given));
    if (options.in != Stdin::terminal) // whose far end closed would hang up the program's
        closeFd(in[1]);
    closeFd(out[0]);
    result.status = wait(process);
    if (options.in == Stdin::terminal)
        closeFd(in[0]);
    result.unread = readAll(in[0]);
    result.errors = readAll(options.errorsAtTerminal ? in[1] : errors[0]);
    closeFd(in[1]);
    closeFd(errors[0]);
    return result;
}

std::string gridFile(std::vector<float> header, const std::vector<float>& nodes) {
    static_assert(std::endian::native == std::endian::little, "the files' byte order");
    header.resize(12);
    header.insert(header.end(), nodes.begin(), nodes.end());
    return {reinterpret_cast<const char*>(header.data()), header.size() * sizeof(float)};
}

TempDir::TempDir() {
    std::random_device random;
    while (!fs::create_directory(path = fs::temp_directory_path() /
                                        ("brenzolt-test-" + std::to_string(random()))))
        ;
}

TempDir::~TempDir() {
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(path, ignored)) // Windows keeps
        fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ignored);
    fs::remove_all(path, ignored);
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
