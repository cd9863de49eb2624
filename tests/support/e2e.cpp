#include "tests/support/e2e.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace brenzolt::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "brenzolt-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests may take permissions away; give them back so that all can go.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored))
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

std::string brenzoltBinary() {
    return BRENZOLT_BINARY;
}

std::vector<std::string> testWrapper() {
    std::vector<std::string> words;
    const char* wrapper = std::getenv("BRENZOLT_TEST_WRAPPER");
    std::istringstream in(wrapper != nullptr ? wrapper : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

std::string crlf(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (c == '\n')
            result += '\r';
        result += c;
    }
    return result;
}

std::string gridFile(const std::vector<float>& headerWords, const std::vector<float>& nodes) {
    std::string bytes;
    auto append = [&bytes](float value) {
        unsigned char b[4];
        std::uint32_t bits;
        std::memcpy(&bits, &value, 4);
        for (int i = 0; i < 4; ++i)
            b[i] = static_cast<unsigned char>(bits >> (8 * i));
        bytes.append(reinterpret_cast<char*>(b), 4);
    };
    for (float w : headerWords)
        append(w);
    for (float v : nodes)
        append(v);
    return bytes;
}

namespace {

// Gives up root for the user nobody; false when that fails.
bool becomeUnprivileged() {
    constexpr uid_t kNobody = 65534;
    return ::geteuid() != 0 ||
           (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0);
}

} // namespace

CommandLine::CommandLine(std::vector<std::string> words) : words_(std::move(words)) {
    for (auto& word : words_)
        pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
}

CommandLine brenzoltCommand(const std::vector<std::string>& arguments, bool wrapped) {
    std::vector<std::string> words;
    if (wrapped)
        words = testWrapper();
    words.push_back(brenzoltBinary());
    words.insert(words.end(), arguments.begin(), arguments.end());
    return CommandLine(std::move(words));
}

namespace {

struct Launch {
    int stdinFd = -1; // closed when -1
    StdoutKind stdoutKind = StdoutKind::captured;
    bool wrapped = false;
    RunAs runAs = RunAs::self;
    rlim_t descriptorLimit = 0;
};

RunResult launch(const fs::path& workdir, const std::vector<std::string>& arguments,
                 const Launch& how) {
    TempDir io;
    fs::path stdoutPath = io / "stdout";
    CommandLine command = brenzoltCommand(arguments, how.wrapped);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // As a shell starts it, whatever the test runner ignores.
        signal(SIGPIPE, SIG_DFL);
        rlimit limit{how.descriptorLimit, how.descriptorLimit};
        if (how.descriptorLimit > 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0)
            _exit(127);
        // The test process may itself run with a standard stream closed, so
        // a fresh descriptor can already be 0 or 1: close only real copies.
        int out = -1;
        if (how.stdoutKind == StdoutKind::captured) {
            out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        } else if (int fds[2]; how.stdoutKind == StdoutKind::brokenPipe && pipe(fds) == 0) {
            close(fds[0]);
            out = fds[1];
        }
        if (how.stdoutKind == StdoutKind::closed)
            close(1);
        else if (out < 0 || dup2(out, 1) < 0)
            _exit(127);
        else if (out != 1)
            close(out);
        if (how.stdinFd < 0)
            close(0);
        else if (how.stdinFd != 0 && dup2(how.stdinFd, 0) < 0)
            _exit(127);
        if ((how.runAs == RunAs::unprivileged && !becomeUnprivileged()) ||
            chdir(workdir.c_str()) != 0)
            _exit(127);
        execvp(command.argv()[0], command.argv());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    if (how.stdoutKind == StdoutKind::captured)
        result.output = readFile(stdoutPath);
    return result;
}

} // namespace

RunResult runBrenzolt(const fs::path& workdir, const std::vector<std::string>& arguments,
                      const std::string& stdinText, StdinKind stdinKind, RunAs runAs) {
    TempDir io;
    Launch how{.wrapped = true, .runAs = runAs};
    if (stdinKind == StdinKind::file) {
        writeFile(io / "stdin", stdinText);
        how.stdinFd = open((io / "stdin").c_str(), O_RDONLY);
    } else if (int fds[2]; stdinKind == StdinKind::pipe && pipe(fds) == 0) {
        // Written whole before the program starts: the texts that go through a
        // pipe are short enough for its buffer; longer ones go through a file.
        bool written =
            stdinText.size() <= 4096 && write(fds[1], stdinText.data(), stdinText.size()) ==
                                            static_cast<ssize_t>(stdinText.size());
        close(fds[1]);
        how.stdinFd = written ? fds[0] : -1;
        if (!written)
            close(fds[0]);
    }
    if (stdinKind != StdinKind::closed && how.stdinFd < 0)
        throw std::runtime_error("no standard input for the program");
    RunResult result = launch(workdir, arguments, how);
    if (how.stdinFd >= 0)
        close(how.stdinFd);
    return result;
}

RunResult runBrenzoltOn(const fs::path& workdir, const std::vector<std::string>& arguments,
                        int stdinFd, StdoutKind stdoutKind, unsigned long descriptorLimit) {
    return launch(
        workdir, arguments,
        {.stdinFd = stdinFd, .stdoutKind = stdoutKind, .descriptorLimit = descriptorLimit});
}

} // namespace brenzolt::test
