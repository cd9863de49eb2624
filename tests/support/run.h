// Runs the built brenzolt the way a user or a script does; builds grid files and holds
// files in a temporary directory.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace brenzolt::test {

// Standard input: the text through a pipe that is then closed; the text one line at a
// time, each line after a prompt (console text ending in ": ") has come; the text through a
// pipe in pieces of 10,000 bytes with short pauses, as a slow producer writes; a terminal
// (Linux; a pseudo-terminal without echo) where the text was typed before the start, and
// nothing after it; or none (on Linux descriptor 0 closed, on Windows no standard input handle).
enum class Stdin { pipe, conversation, trickle, terminal, closed };
// Standard output: read by the test; none, as for standard input; a pipe whose reader has
// gone; the file "log" in the directory, opened for appending as `>> log` does.
enum class Stdout { pipe, closed, broken, log };

struct Options {
    Stdin in = Stdin::pipe;
    Stdout out = Stdout::pipe;
    bool errorsAtTerminal = false; // Linux: standard error the terminal of Stdin::terminal
    // These four on Linux only: limits as ulimit sets them, and another user.
    long descriptorLimit = 0; // when not 0
    long fileSizeLimit = 0;   // bytes when not 0 (ulimit -f)
    long processLimit = 0;    // the user's processes and threads when not 0 (with asNobody)
    bool asNobody = false;    // as the user nobody when the tests run as root, so that modes bite
    int threads = 0;          // BRENZOLT_THREADS when not 0
    // Windows: the output (the last argument) held open from before the start until this long
    // after it, so that it cannot be replaced, as a virus scanner or an indexer holds a file.
    int holdMs = 0;
};

struct Result {
    int status = -1;     // exit status; -1 when the program was killed
    std::string console; // standard output
    std::string errors;  // standard error
    std::string unread;  // what the program left of its standard input
};

// Runs the build's brenzolt with `arguments` in `dir`, behind the command in the environment
// variable BRENZOLT_TEST_WRAPPER (split at spaces, such as valgrind) when it is set. A program
// that waits for the answer to a prompt it has not shown waits for ever: ctest's time limit
// ends the test.
Result run(const std::filesystem::path& dir, const std::vector<std::string>& arguments,
           const std::string& input, const Options& options = {});

// A binary grid file: the header words, zero from the last given to the twelfth, then the
// nodes in file order.
std::string gridFile(std::vector<float> header, const std::vector<float>& nodes = {});

// A fresh directory under the system's temporary directory, removed with all it holds.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // A name in UTF-8, whatever the system's code page.
    std::filesystem::path operator/(const std::string& name) const {
        return path / std::u8string(name.begin(), name.end());
    }

    std::filesystem::path path;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// The text as the program writes it: every "\n" becomes "\r\n".
std::string crlf(const std::string& text);

} // namespace brenzolt::test
