// End-to-end tests of the file-name dialogue: answers piped or redirected into
// the built binary, standard output, exit status and files compared byte for
// byte.
#include "tests/support/e2e.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace brenzolt::test {
namespace {

namespace fs = std::filesystem;

// The console texts, as they reach standard output: every "\n" the program
// writes arrives as "\r\n", so a message ending in "\r\n" arrives with CR CR LF.
const std::string kBanner = "converting a binary grid into an ASCII grid for GS-SURFER\r\n";
const std::string kAskForNames =
    "\r\nusage: brenzolt <binary file> <Surfer-Ascii-file> [<precision>]"
    "\r\n\r\n\r\ninput file : \r\noutput file : \r\n";
const std::string kAccepted = "\r\r\n"; // after a retry answer that is not empty
const std::string kConverted = "record size in bytes: 4\r\n..\r\n";

std::string inputRetry(const std::string& name) {
    return "error opening input file " + name + " \r\r\nplease enter input file name: ";
}

std::string outputRetry(const std::string& name) {
    return "error opening output file " + name + " \r\r\nplease enter output file name: ";
}

const std::string kGrid = gridFile({3, 2, 10, 20, 5, 0, 0, 1, 9, 0, 0, 0}, {1, 2, 3, 4, 5, 6});
const std::string kSurferGrid = crlf("DSAA\n3\t2\n10\t20\n20\t25\n1\t9\n4\t5\t6\n1\t2\t3\n");

// Every file below `dir`, as relative names.
std::set<std::string> filesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file())
            names.insert(fs::relative(entry.path(), dir).string());
    return names;
}

template <typename... Names> std::vector<std::string> args(Names... names) {
    return {names...};
}

struct DialogueCase {
    std::string title;
    std::vector<std::string> arguments;
    std::string answers;
    StdinKind stdinKind;
    std::string expectedOutput;
    int expectedStatus;
    std::string convertedTo; // the file that must hold the grid; empty when none
    std::string inputName = "in.grd";
};

TEST(Dialogue, AsksRetriesAndGivesUpAsAnswered) {
    const std::vector<DialogueCase> cases = {
        {"no arguments, two good names", args(), "in.grd\nout.txt\n", StdinKind::pipe,
         kBanner + kAskForNames + kConverted, 0, "out.txt"},
        {"a single argument is ignored", args("in.grd"), "in.grd\nout.txt\n", StdinKind::file,
         kBanner + kAskForNames + kConverted, 0, "out.txt"},
        {"a missing input, then a good one", args(), "nothere.grd\nout.txt\nin.grd\n",
         StdinKind::pipe,
         kBanner + kAskForNames + inputRetry("nothere.grd") + kAccepted + kConverted, 0, "out.txt"},
        {"two missing inputs, then a good one", args("nothere.grd", "out.txt"), "gone\nin.grd\n",
         StdinKind::file,
         kBanner + inputRetry("nothere.grd") + kAccepted + inputRetry("gone") + kAccepted +
             kConverted,
         0, "out.txt"},
        {"an output in a missing directory, then a good one", args("in.grd", "nodir/out.txt"),
         "out.txt\n", StdinKind::pipe,
         kBanner + outputRetry("nodir/out.txt") + kAccepted + kConverted, 0, "out.txt"},
        {"a directory as output, then a good one", args(), "in.grd\n.\nout.txt\n", StdinKind::file,
         kBanner + kAskForNames + outputRetry(".") + kAccepted + kConverted, 0, "out.txt"},
        {"an empty answer at the input retry", args(), "nothere.grd\nout.txt\n\nin.grd\n",
         StdinKind::pipe, kBanner + kAskForNames + inputRetry("nothere.grd"), 1, ""},
        {"an empty answer at the second input retry", args("x", "out.txt"), "y\n\n",
         StdinKind::file, kBanner + inputRetry("x") + kAccepted + inputRetry("y"), 1, ""},
        {"an empty answer at the output retry", args("in.grd", "nodir/out.txt"), "\nout.txt\n",
         StdinKind::file, kBanner + outputRetry("nodir/out.txt"), 1, ""},
        {"an empty answer at the second output retry", args(), "in.grd\n\nnodir/b\n\n",
         StdinKind::pipe,
         kBanner + kAskForNames + outputRetry("") + kAccepted + outputRetry("nodir/b"), 1, ""},
        {"closed standard input", args(), "", StdinKind::closed,
         kBanner + kAskForNames + inputRetry(""), 1, ""},
        {"an exhausted pipe", args(), "", StdinKind::pipe, kBanner + kAskForNames + inputRetry(""),
         1, ""},
        {"the last answer ends with the input", args(), "in.grd\nout.txt", StdinKind::pipe,
         kBanner + kAskForNames + kConverted, 0, "out.txt"},
        {"CR LF answers", args(), "in.grd\r\nout.txt\r\n", StdinKind::pipe,
         kBanner + kAskForNames + kConverted, 0, "out.txt"},
        {"a CR LF answer at a retry", args("in.grd", "nodir/out.txt"), "out.txt\r\n",
         StdinKind::file, kBanner + outputRetry("nodir/out.txt") + kAccepted + kConverted, 0,
         "out.txt"},
        {"a lone CR stays in the name", args(), "in\rx.grd\r\nout\r.txt\n", StdinKind::file,
         kBanner + kAskForNames + kConverted, 0, "out\r.txt", "in\rx.grd"},
        {"a CR at the end of the input stays in the name", args(), "in.grd\nout.txt\r",
         StdinKind::pipe, kBanner + kAskForNames + kConverted, 0, "out.txt\r"},
        {"only the CR right before the LF goes", args(), "in.grd\r\r\nout.txt\n", StdinKind::file,
         kBanner + kAskForNames + kConverted, 0, "out.txt", "in.grd\r"},
        {"trailing spaces stay in the names", args(), "in.grd  \nout.txt \n", StdinKind::pipe,
         kBanner + kAskForNames + kConverted, 0, "out.txt ", "in.grd  "},
        {"a leading space stays in the name", args("x", "out.txt"), " in.grd\n", StdinKind::file,
         kBanner + inputRetry("x") + kAccepted + kConverted, 0, "out.txt", " in.grd"},
        {"the input as output, then a new name", args("in.grd", "in.grd"), "out.txt\n",
         StdinKind::pipe, kBanner + outputRetry("in.grd") + kAccepted + kConverted, 0, "out.txt"},
        {"the input by another path as output, then a new name", args(),
         "in.grd\n./in.grd\nout.txt\n", StdinKind::file,
         kBanner + kAskForNames + outputRetry("./in.grd") + kAccepted + kConverted, 0, "out.txt"},
        {"the input as output, then giving up", args("in.grd", "in.grd"), "\n", StdinKind::pipe,
         kBanner + outputRetry("in.grd"), 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TempDir dir;
        writeFile(dir / c.inputName, kGrid);
        RunResult result = runBrenzolt(dir.path(), c.arguments, c.answers, c.stdinKind);
        EXPECT_EQ(result.output, c.expectedOutput);
        EXPECT_EQ(result.status, c.expectedStatus);
        // The input is never touched, and no file but the converted one appears.
        EXPECT_EQ(readFile(dir / c.inputName), kGrid);
        std::set<std::string> expectedFiles{c.inputName};
        if (!c.convertedTo.empty()) {
            expectedFiles.insert(c.convertedTo);
            EXPECT_EQ(readFile(dir / c.convertedTo), kSurferGrid);
        }
        EXPECT_EQ(filesIn(dir.path()), expectedFiles);
    }
}

TEST(Dialogue, LongNamesAreUsedWhole) {
    TempDir dir;
    // A relative path of about 4000 characters through nested directories,
    // far beyond any fixed name field, and a name of 5000 characters that no
    // file system accepts, echoed whole.
    std::string deep;
    for (int level = 0; level < 19; ++level)
        deep += std::string(200, static_cast<char>('a' + level)) + "/";
    fs::create_directories(dir / deep);
    writeFile(dir / (deep + "in.grd"), kGrid);
    const std::string tooLong(5000, 'n');
    const std::string answers = tooLong + "\n" + deep + "out.txt\n" + deep + "in.grd\n";

    RunResult result = runBrenzolt(dir.path(), {}, answers, StdinKind::file);
    EXPECT_EQ(result.output, kBanner + kAskForNames + inputRetry(tooLong) + kAccepted + kConverted);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile(dir / (deep + "out.txt")), kSurferGrid);
}

enum class Stdout {
    captured,
    closed,
    brokenPipe, // a pipe whose reader has gone
};

// Runs brenzolt in `workdir` with descriptor `stdinFd` as its standard input
// (closed when -1), with a descriptor limit when one is given.
RunResult runWithStdin(const fs::path& workdir, const std::vector<std::string>& arguments,
                       int stdinFd, Stdout stdoutKind = Stdout::captured,
                       rlim_t descriptorLimit = 0) {
    TempDir io;
    fs::path stdoutPath = io / "stdout";
    CommandLine command = brenzoltCommand(arguments);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // As a shell starts it, whatever the test runner ignores.
        signal(SIGPIPE, SIG_DFL);
        if (chdir(workdir.c_str()) != 0)
            _exit(127);
        rlimit limit{descriptorLimit, descriptorLimit};
        if (descriptorLimit > 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0)
            _exit(127);
        int out = -1;
        if (stdoutKind == Stdout::captured) {
            out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        } else if (stdoutKind == Stdout::brokenPipe) {
            int fds[2];
            if (pipe(fds) == 0) {
                close(fds[0]);
                out = fds[1];
            }
        }
        if (stdoutKind == Stdout::closed)
            close(1);
        else if (out < 0 || dup2(out, 1) < 0)
            _exit(127);
        else if (out != 1)
            close(out);
        if (stdinFd < 0)
            close(0);
        else if (stdinFd != 0 && dup2(stdinFd, 0) < 0)
            _exit(127);
        execv(command.argv()[0], command.argv());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    if (stdoutKind == Stdout::captured)
        result.output = readFile(stdoutPath);
    return result;
}

std::string readRest(int fd) {
    std::string rest;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        rest.append(buffer, static_cast<std::size_t>(n));
    return rest;
}

TEST(Dialogue, RetriesAsLongAsTheUserAnswersWithoutLeakingDescriptors) {
    // A directory opens before it is refused, and so does the input named
    // as output: each refusal must give its descriptor back, or a run with
    // few descriptors runs out long before the user stops answering.
    TempDir dir;
    writeFile(dir / "in.grd", kGrid);
    std::string answers;
    std::string expected = kBanner + inputRetry(".");
    for (int i = 0; i < 200; ++i) {
        answers += ".\n";
        expected += kAccepted + inputRetry(".");
    }
    answers += "in.grd\n";
    expected += kAccepted + outputRetry("in.grd");
    for (int i = 0; i < 200; ++i) {
        answers += "./in.grd\n";
        expected += kAccepted + outputRetry("./in.grd");
    }
    answers += "out.txt\n";
    expected += kAccepted + kConverted;
    writeFile(dir / "stdin", answers);
    int stdinFd = open((dir / "stdin").c_str(), O_RDONLY);
    ASSERT_GE(stdinFd, 0);
    RunResult result = runWithStdin(dir.path(), {".", "in.grd"}, stdinFd, Stdout::captured, 32);
    close(stdinFd);
    EXPECT_EQ(result.output, expected);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile(dir / "out.txt"), kSurferGrid);
}

TEST(Dialogue, NothingIsLostForANameGivenAtTheOutputRetry) {
    // The grid turns out short after the output opened at the retry: an
    // existing file stays as it was, one this run created goes again.
    for (const std::string answer : {"old.txt\n", "new.txt\n"}) {
        SCOPED_TRACE(answer);
        TempDir dir;
        writeFile(dir / "short.grd", kGrid.substr(0, 50));
        writeFile(dir / "old.txt", "precious\n");
        RunResult result = runBrenzolt(dir.path(), {"short.grd", "nodir/out.txt"}, answer);
        EXPECT_EQ(result.output,
                  kBanner + outputRetry("nodir/out.txt") + kAccepted +
                      "record size in bytes: 4\r\n"
                      "error reading input file short.grd: it ends after 50 of 72 bytes\r\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"short.grd", "old.txt"}));
        EXPECT_EQ(readFile(dir / "old.txt"), "precious\n");
    }
}

TEST(Dialogue, LeavesTheInputAfterTheAnswersUnread) {
    struct Case {
        std::string title;
        std::vector<std::string> arguments;
        std::string answers;
        int expectedStatus;
    };
    const std::vector<Case> cases = {
        {"both names asked", {}, "in.grd\nout.txt\n", 0},
        {"CR LF answers", {}, "in.grd\r\nout.txt\r\n", 0},
        {"an input retry", {"x", "out.txt"}, "in.grd\n", 0},
        {"an output retry", {"in.grd", "in.grd"}, "out.txt\n", 0},
        {"giving up at a retry", {}, "x\nout.txt\n\n", 1},
    };
    const std::string rest = "the rest of the script\n\nin.grd\nmore\r\n";
    for (const auto& c : cases) {
        for (bool throughPipe : {false, true}) {
            SCOPED_TRACE(c.title + (throughPipe ? " (pipe)" : " (file)"));
            TempDir dir;
            writeFile(dir / "in.grd", kGrid);
            // The test keeps its own end of standard input and reads what
            // the program left behind; a file shares its offset with ours.
            int stdinFd = -1;
            if (throughPipe) {
                int fds[2];
                ASSERT_EQ(pipe(fds), 0);
                std::string text = c.answers + rest;
                ASSERT_EQ(write(fds[1], text.data(), text.size()),
                          static_cast<ssize_t>(text.size()));
                close(fds[1]);
                stdinFd = fds[0];
            } else {
                writeFile(dir / "stdin", c.answers + rest);
                stdinFd = open((dir / "stdin").c_str(), O_RDONLY);
                ASSERT_GE(stdinFd, 0);
            }
            RunResult result = runWithStdin(dir.path(), c.arguments, stdinFd);
            EXPECT_EQ(result.status, c.expectedStatus);
            EXPECT_EQ(readRest(stdinFd), rest);
            close(stdinFd);
        }
    }
}

TEST(Dialogue, AConsoleThatIsGoneNeverSpoilsTheRun) {
    // With standard input closed, the input grid opens on descriptor 0, and
    // with standard output closed too, the output file opens on descriptor 1;
    // a standard output whose reader has gone fails every console write. A
    // tall grid gives more dots than the console buffer holds.
    const int rows = 300000;
    std::string tallSurferGrid = "DSAA\r\n0\t300000\r\n0\t-1\r\n0\t299999\r\n0\t0\r\n";
    for (int r = 0; r < rows; ++r)
        tallSurferGrid += "\r\n";
    struct Case {
        std::string title;
        std::vector<std::string> arguments;
        std::optional<std::string> answers; // standard input closed when none
        Stdout stdoutKind;
        std::string expectedOutput; // when captured
        int expectedStatus;
        std::string convertedTo;
        std::string expectedContent;
    };
    const std::vector<Case> cases = {
        {"closed standard input at the output retry",
         {"in.grd", "nodir/out.txt"},
         std::nullopt,
         Stdout::captured,
         kBanner + outputRetry("nodir/out.txt"),
         1,
         "",
         ""},
        {"closed standard input and output",
         {"tall.grd", "tall.txt"},
         std::nullopt,
         Stdout::closed,
         "",
         0,
         "tall.txt",
         tallSurferGrid},
        {"standard output a broken pipe",
         {"tall.grd", "old.txt"},
         "",
         Stdout::brokenPipe,
         "",
         0,
         "old.txt",
         tallSurferGrid},
        {"answers with standard output a broken pipe",
         {},
         "in.grd\nout.txt\n",
         Stdout::brokenPipe,
         "",
         0,
         "out.txt",
         kSurferGrid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TempDir dir;
        writeFile(dir / "in.grd", kGrid);
        writeFile(dir / "tall.grd", gridFile({0, rows, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, {}));
        writeFile(dir / "old.txt", "precious\n");
        int stdinFd = -1;
        if (c.answers) {
            writeFile(dir / "stdin", *c.answers);
            stdinFd = open((dir / "stdin").c_str(), O_RDONLY);
            ASSERT_GE(stdinFd, 0);
        }
        RunResult result = runWithStdin(dir.path(), c.arguments, stdinFd, c.stdoutKind);
        if (stdinFd >= 0)
            close(stdinFd);
        EXPECT_EQ(result.status, c.expectedStatus);
        if (c.stdoutKind == Stdout::captured) {
            EXPECT_EQ(result.output, c.expectedOutput);
        }
        EXPECT_EQ(readFile(dir / "in.grd"), kGrid);
        if (c.convertedTo.empty()) {
            EXPECT_EQ(readFile(dir / "old.txt"), "precious\n");
        } else { // compared without printing 600 KB on failure
            EXPECT_TRUE(readFile(dir / c.convertedTo) == c.expectedContent);
        }
    }
}

} // namespace
} // namespace brenzolt::test
