// End-to-end tests of the file-name dialogue: answers piped or redirected into
// the built binary, standard output, exit status and files compared byte for
// byte.
#include "tests/support/e2e.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
#include <unistd.h>

namespace brenzolt::test {
namespace {

namespace fs = std::filesystem;

// The console texts, as they reach standard output: every "\n" the program
// writes arrives as "\r\n", so a message ending in "\r\n" arrives with CR CR LF.
const std::string kAskForNames =
    "\r\nusage: brenzolt <binary file> <Surfer-Ascii-file> [<precision>]"
    "\r\n\r\n\r\ninput file : \r\noutput file : \r\n";
const std::string kAccepted = "\r\r\n"; // after a retry answer that is not empty
const std::string kConverted = kRecordSize + "..\r\n";

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
        {"an output in a missing directory, then a good one", args("in.grd", "nodir/out.txt"),
         "out.txt\n", StdinKind::pipe,
         kBanner + outputRetry("nodir/out.txt") + kAccepted + kConverted, 0, "out.txt"},
        {"an empty answer at the input retry", args(), "nothere.grd\nout.txt\n\nin.grd\n",
         StdinKind::pipe, kBanner + kAskForNames + inputRetry("nothere.grd"), 1, ""},
        {"an empty answer at the output retry", args("in.grd", "nodir/out.txt"), "\nout.txt\n",
         StdinKind::file, kBanner + outputRetry("nodir/out.txt"), 1, ""},
        {"an empty answer at the second output retry", args(), "in.grd\n\nnodir/b\n\n",
         StdinKind::pipe,
         kBanner + kAskForNames + outputRetry("") + kAccepted + outputRetry("nodir/b"), 1, ""},
        {"closed standard input", args(), "", StdinKind::closed,
         kBanner + kAskForNames + inputRetry(""), 1, ""},
        {"closed standard input at the output retry", args("in.grd", "nodir/out.txt"), "",
         StdinKind::closed, kBanner + outputRetry("nodir/out.txt"), 1, ""},
        {"an exhausted pipe", args(), "", StdinKind::pipe, kBanner + kAskForNames + inputRetry(""),
         1, ""},
        {"the last answer ends with the input", args(), "in.grd\nout.txt", StdinKind::pipe,
         kBanner + kAskForNames + kConverted, 0, "out.txt"},
        {"CR LF answers", args(), "in.grd\r\nout.txt\r\n", StdinKind::pipe,
         kBanner + kAskForNames + kConverted, 0, "out.txt"},
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

std::string readRest(int fd) {
    std::string rest;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        rest.append(buffer, static_cast<std::size_t>(n));
    return rest;
}

// A descriptor that reads `text`, from a file in `dir` or through a pipe closed
// for writing; the test keeps it to see what the program left unread (a file
// shares its offset with the program).
int stdinHolding(const fs::path& dir, const std::string& text, bool throughPipe = false) {
    int fds[2];
    if (!throughPipe) {
        writeFile(dir / "stdin", text);
        fds[0] = open((dir / "stdin").c_str(), O_RDONLY);
    } else if (pipe(fds) == 0) {
        if (write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("the pipe does not hold the text");
        close(fds[1]);
    } else {
        fds[0] = -1;
    }
    if (fds[0] < 0)
        throw std::runtime_error("no standard input for the program");
    return fds[0];
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
    int stdinFd = stdinHolding(dir.path(), answers);
    RunResult result =
        runBrenzoltOn(dir.path(), {".", "in.grd"}, stdinFd, StdoutKind::captured, 32);
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
                  kBanner + outputRetry("nodir/out.txt") + kAccepted + kRecordSize +
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
        {"an input retry", {"x", "out.txt"}, "in.grd\n", 0},
        {"giving up at a retry", {}, "x\nout.txt\n\n", 1},
    };
    const std::string rest = "the rest of the script\n\nin.grd\nmore\r\n";
    for (const auto& c : cases) {
        for (bool throughPipe : {false, true}) {
            SCOPED_TRACE(c.title + (throughPipe ? " (pipe)" : " (file)"));
            TempDir dir;
            writeFile(dir / "in.grd", kGrid);
            int stdinFd = stdinHolding(dir.path(), c.answers + rest, throughPipe);
            RunResult result = runBrenzoltOn(dir.path(), c.arguments, stdinFd);
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
    const struct {
        const char* title;
        std::vector<std::string> arguments;
        const char* answers; // standard input closed when null
        StdoutKind stdoutKind;
        const char* convertedTo;
        const std::string& content;
    } cases[] = {
        {"closed standard input and output",
         {"tall.grd", "tall.txt"},
         nullptr,
         StdoutKind::closed,
         "tall.txt",
         tallSurferGrid},
        {"standard output a broken pipe",
         {"tall.grd", "old.txt"},
         "",
         StdoutKind::brokenPipe,
         "old.txt",
         tallSurferGrid},
        {"answers with standard output a broken pipe",
         {},
         "in.grd\nout.txt\n",
         StdoutKind::brokenPipe,
         "out.txt",
         kSurferGrid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TempDir dir;
        writeFile(dir / "in.grd", kGrid);
        writeFile(dir / "tall.grd", gridFile({0, rows, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, {}));
        writeFile(dir / "old.txt", "precious\n");
        int stdinFd = c.answers != nullptr ? stdinHolding(dir.path(), c.answers) : -1;
        EXPECT_EQ(runBrenzoltOn(dir.path(), c.arguments, stdinFd, c.stdoutKind).status, 0);
        if (stdinFd >= 0)
            close(stdinFd);
        EXPECT_EQ(readFile(dir / "in.grd"), kGrid);
        // Compared without printing 600 KB on failure.
        EXPECT_TRUE(readFile(dir / c.convertedTo) == c.content);
    }
}

} // namespace
} // namespace brenzolt::test
