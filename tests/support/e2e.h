// Test support for end-to-end tests: runs the built brenzolt binary in a
// temporary directory and captures its standard output and exit status, and
// builds binary grid files in memory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brenzolt::test {

// A fresh directory under the system's temporary directory, removed again
// (with all it holds) when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// The program's first lines, as they reach standard output.
inline const std::string kBanner = "converting a binary grid into an ASCII grid for GS-SURFER\r\n";
inline const std::string kRecordSize = "record size in bytes: 4\r\n";

struct RunResult {
    int status = -1;    // exit status, or -1 when the process did not exit normally
    std::string output; // standard output, byte for byte
};

enum class StdinKind {
    file,   // the given text, from a file
    pipe,   // the given text, through a pipe that is then closed
    closed, // descriptor 0 not open at all
};

enum class RunAs {
    self,
    // An unprivileged user (nobody) when the tests run as root, so that
    // permission bits bite; `workdir` must then be open to everyone.
    unprivileged,
};

// Runs brenzolt with `arguments` (not including the program name) in `workdir`.
RunResult runBrenzolt(const std::filesystem::path& workdir,
                      const std::vector<std::string>& arguments, const std::string& stdinText = "",
                      StdinKind stdinKind = StdinKind::file, RunAs runAs = RunAs::self);

enum class StdoutKind {
    captured,
    closed,
    brokenPipe, // a pipe whose reader has gone
};

// Runs brenzolt, not behind the test wrapper, in `workdir` with the open
// descriptor `stdinFd` as its standard input (closed when -1), which the caller
// keeps, and with at most `descriptorLimit` descriptors when that is not 0.
RunResult runBrenzoltOn(const std::filesystem::path& workdir,
                        const std::vector<std::string>& arguments, int stdinFd,
                        StdoutKind stdoutKind = StdoutKind::captured,
                        unsigned long descriptorLimit = 0);

// The bytes of a binary grid file: twelve header words, then the nodes as given
// (in file order), all little-endian float32.
std::string gridFile(const std::vector<float>& headerWords, const std::vector<float>& nodes);

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// Replaces every "\n" by "\r\n": the text as the program writes it.
std::string crlf(const std::string& text);

// Path of the built binary.
std::string brenzoltBinary();

// A command line for execv: owns its strings and hands out the pointer array.
class CommandLine {
  public:
    explicit CommandLine(std::vector<std::string> words);
    char* const* argv() { return pointers_.data(); }

  private:
    std::vector<std::string> words_;
    std::vector<char*> pointers_;
};

// brenzolt with `arguments`, behind the test wrapper when `wrapped`.
CommandLine brenzoltCommand(const std::vector<std::string>& arguments, bool wrapped = false);

// The command that runBrenzolt puts before the binary, split at spaces: the
// environment variable BRENZOLT_TEST_WRAPPER, so that the whole suite can run
// the program under a checker such as valgrind. Empty when it is not set.
std::vector<std::string> testWrapper();

} // namespace brenzolt::test
