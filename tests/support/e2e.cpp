#include "tests/support/e2e.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <sstream>
#include <stdexcept>
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

RunResult runBrenzolt(const fs::path& workdir, const std::vector<std::string>& arguments,
                      const std::string& stdinText, StdinKind stdinKind, RunAs runAs) {
    TempDir io;
    fs::path stdinPath = io / "stdin";
    fs::path stdoutPath = io / "stdout";
    writeFile(stdinPath, stdinText);
    int pipeFds[2] = {-1, -1};
    if (stdinKind == StdinKind::pipe && pipe(pipeFds) != 0)
        throw std::runtime_error("pipe failed");

    CommandLine command = brenzoltCommand(arguments, true);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // The test process may itself run with a standard stream closed, so
        // a fresh descriptor can already be 0 or 1: close only real copies.
        if (out < 0 || dup2(out, 1) < 0)
            _exit(127);
        if (out != 1)
            close(out);
        if (stdinKind == StdinKind::file) {
            int in = open(stdinPath.c_str(), O_RDONLY);
            if (in < 0 || dup2(in, 0) < 0)
                _exit(127);
            if (in != 0)
                close(in);
        } else if (stdinKind == StdinKind::pipe) {
            if (dup2(pipeFds[0], 0) < 0)
                _exit(127);
            if (pipeFds[0] != 0)
                close(pipeFds[0]);
            close(pipeFds[1]);
        } else {
            close(0);
        }
        if ((runAs == RunAs::unprivileged && !becomeUnprivileged()) || chdir(workdir.c_str()) != 0)
            _exit(127);
        execvp(command.argv()[0], command.argv());
        _exit(127);
    }
    if (stdinKind == StdinKind::pipe) {
        close(pipeFds[0]);
        // The answers are short enough for the pipe's buffer in every test
        // that uses a pipe; longer texts go through a file.
        const char* p = stdinText.data();
        std::size_t left = stdinText.size();
        while (left > 0) {
            ssize_t n = write(pipeFds[1], p, left);
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        close(pipeFds[1]);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    result.output = readFile(stdoutPath);
    return result;
}

} // namespace brenzolt::test
