#include "tests/support/run.h"

#include <algorithm>
#include <bit>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace brenzolt::test {
namespace {

namespace fs = std::filesystem;

constexpr int kPatienceMs = 20'000;
constexpr uid_t kNobody = 65534;

void writeAll(int fd, const std::string& text) {
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("cannot write the program's standard input");
}

// In the child: the standard streams, limits and user asked for, then the program.
[[noreturn]] void start(const fs::path& dir, char* const* argv, int in, int out, int errors,
                        const Options& options) {
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
                  (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0));
    if (ready)
        execvp(argv[0], argv);
    _exit(127);
}

// Reads the console to its end, writing the next answer whenever it stops at a prompt.
std::string readConsole(pid_t pid, int console, int feed, std::vector<std::string>& answers) {
    std::string text;
    char buffer[65536];
    for (pollfd ready{console, POLLIN, 0};;) {
        if (poll(&ready, 1, kPatienceMs) <= 0) {
            kill(pid, SIGKILL); // waiting for the answer to a prompt it has not shown
            return text;
        }
        ssize_t n = read(console, buffer, sizeof buffer);
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(n));
        if (!answers.empty() && text.ends_with(": ")) {
            writeAll(feed, answers.front());
            answers.erase(answers.begin());
        }
    }
}

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
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // The test's ends: in[0] stays open to read back what the program leaves unread.
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if ((options.in != Stdin::closed && pipe2(in, O_CLOEXEC) != 0) ||
        (options.out != Stdout::closed && pipe2(out, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe failed");
    std::vector<std::string> answers; // of a conversation, one line each
    for (std::size_t at = 0; options.in == Stdin::conversation && at < input.size();) {
        std::size_t end = std::min(input.find('\n', at), input.size() - 1) + 1;
        answers.push_back(input.substr(at, end - at));
        at = end;
    }
    if (options.in == Stdin::pipe) {
        // The program starts only once it is all written: the pipe must hold it.
        if (input.size() > 65536 && fcntl(in[1], F_SETPIPE_SZ, static_cast<int>(input.size())) < 0)
            throw std::runtime_error("cannot widen the pipe for the program's standard input");
        writeAll(in[1], input);
        close(std::exchange(in[1], -1));
    }
    if (options.out == Stdout::broken)
        close(std::exchange(out[0], -1));
    if (options.asNobody && geteuid() == 0)
        fs::permissions(dir, fs::perms::all);

    int errors = memfd_create("stderr", MFD_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0)
        start(dir, argv.data(), in[0], out[1], errors, options);
    if (pid < 0)
        throw std::runtime_error("fork failed");
    close(out[1]);
    Result result;
    if (out[0] >= 0)
        result.console = readConsole(pid, out[0], in[1], answers);
    for (const std::string& answer : answers) // to prompts that never came
        writeAll(in[1], answer);
    for (int fd : {in[1], out[0]})
        close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    char buffer[65536];
    for (ssize_t n; in[0] >= 0 && (n = read(in[0], buffer, sizeof buffer)) > 0;)
        result.unread.append(buffer, static_cast<std::size_t>(n));
    close(in[0]);
    result.errors.resize(static_cast<std::size_t>(lseek(errors, 0, SEEK_END)));
    if (pread(errors, result.errors.data(), result.errors.size(), 0) < 0)
        throw std::runtime_error("cannot read the program's standard error");
    close(errors);
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
    std::string name = (fs::temp_directory_path() / "brenzolt-test-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = name;
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
