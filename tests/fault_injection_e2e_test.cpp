// Faults from outside: files that do not open or cannot be read, headers with
// counts that make no grid or an absurd one. (Input that ends early: the
// conversion tests, and the reader's own tests for a stream that ends.) After
// every failure the working directory must hold exactly what it held before:
// an existing output byte for byte, and no output that the run created.
#include "tests/support/e2e.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace brenzolt::test {
namespace {

namespace fs = std::filesystem;

const std::string kOldOutput = "an older file that no failed run may touch\r\n";
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// Header words with the given counts around x 10, y 20, spacing 5, blank
// threshold 0 and z range 1 to 9.
std::vector<float> header(float columns, float rows) {
    return {columns, rows, 10, 20, 5, 0, 0, 1, 9, 0, 0, 0};
}

// Every file under `dir` with its bytes, directories marked as such.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        std::string name = fs::relative(entry.path(), dir).string();
        entries[name] = entry.is_directory() ? "<directory>" : readFile(entry.path());
    }
    return entries;
}

struct OpenFailure {
    const char* name;
    std::vector<std::string> arguments;
    std::string console;              // after the banner; the empty answer then gives up
    const char* lockedPath = nullptr; // made inaccessible for the run
    fs::perms lockedPerms = fs::perms::none;
    RunAs runAs = RunAs::self;
};

// Runs a case whose file does not open: the retry asks for another name, the
// empty answer gives up, and the directory is as it was.
void expectOpenFailure(const OpenFailure& c) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string grid = gridFile(header(3, 2), {1, 2, 3, 4, 5, 6});
    writeFile(dir / "in.grd", grid);
    writeFile(dir / "locked.grd", grid);
    writeFile(dir / "out.txt", kOldOutput);
    writeFile(dir / "file", "a regular file, not a directory");
    fs::create_directory(dir / "dir");
    auto before = snapshot(dir.path());
    if (c.lockedPath != nullptr)
        fs::permissions(dir / c.lockedPath, c.lockedPerms);

    if (c.runAs == RunAs::unprivileged)
        fs::permissions(dir.path(), fs::perms::all);
    RunResult result = runBrenzolt(dir.path(), c.arguments, "", StdinKind::file, c.runAs);

    if (c.lockedPath != nullptr)
        fs::permissions(dir / c.lockedPath, fs::perms::owner_all);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, kBanner + crlf(c.console));
    EXPECT_EQ(snapshot(dir.path()), before);
}

TEST(FaultInjection, FilesThatDoNotOpenLeadToTheRetryAndLeaveEverythingAsItWas) {
    const OpenFailure cases[] = {
        {"input is a directory",
         {"dir", "out.txt"},
         "error opening input file dir \r\nplease enter input file name: "},
        {"input through a regular file",
         {"file/in.grd", "out.txt"},
         "error opening input file file/in.grd \r\nplease enter input file name: "},
        {"output is a directory",
         {"in.grd", "dir"},
         "error opening output file dir \r\nplease enter output file name: "},
        {"output through a regular file",
         {"in.grd", "file/out.txt"},
         "error opening output file file/out.txt \r\nplease enter output file name: "},
    };
    for (const auto& c : cases)
        expectOpenFailure(c);
}

TEST(FaultInjection, FilesWithoutPermissionLeadToTheRetryAndLeaveEverythingAsItWas) {
    // Permission bits do not stop root: as root, the program runs as nobody.
    const OpenFailure cases[] = {
        {"unreadable input",
         {"locked.grd", "out.txt"},
         "error opening input file locked.grd \r\nplease enter input file name: ",
         "locked.grd",
         fs::perms::none,
         RunAs::unprivileged},
        {"output directory without write permission",
         {"in.grd", "dir/out.txt"},
         "error opening output file dir/out.txt \r\nplease enter output file name: ",
         "dir",
         fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
             fs::perms::others_exec,
         RunAs::unprivileged},
    };
    for (const auto& c : cases)
        expectOpenFailure(c);
}

TEST(FaultInjection, AnInputThatOpensButCannotBeReadFailsAndTouchesNoOutput) {
    // The process's own memory opens as a file, and reading it from offset 0
    // fails with an I/O error, not with the end of the file.
    for (bool outputExists : {true, false}) {
        SCOPED_TRACE(outputExists ? "existing output" : "new output");
        TempDir dir;
        if (outputExists)
            writeFile(dir / "out.txt", kOldOutput);
        auto before = snapshot(dir.path());
        RunResult result = runBrenzolt(dir.path(), {"/proc/self/mem", "out.txt"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.output,
                  kBanner + kRecordSize + crlf("error reading input file /proc/self/mem\n"));
        EXPECT_EQ(snapshot(dir.path()), before);
    }
}

struct Counts {
    const char* name;
    float columns;
    float rows;
    std::vector<float> nodes;
    std::string expected; // the console message of a failure, or the output file
    bool converts = false;
};

TEST(FaultInjection, CountsAreTruncatedOrRefusedBeforeAnyGridIsAllocated) {
    const std::string grid3x2 = "DSAA\n3\t2\n10\t20\n20\t25\n1\t9\n4\t5\t6\n1\t2\t3\n";
    const Counts cases[] = {
        {"3.99 columns", 3.99f, 2, {1, 2, 3, 4, 5, 6}, grid3x2, true},
        {"3.99 rows",
         2,
         3.99f,
         {1, 2, 3, 4, 5, 6},
         "DSAA\n2\t3\n10\t15\n20\t30\n1\t9\n5\t6\n3\t4\n1\t2\n",
         true},
        {"-0.5 columns: zero", -0.5f, 2, {}, "DSAA\n0\t2\n10\t5\n20\t25\n1\t9\n\n\n", true},
        {"-0.5 rows: zero", 2, -0.5f, {}, "DSAA\n2\t0\n10\t15\n20\t15\n1\t9\n", true},
        {"zero columns, surplus bytes ignored",
         0,
         3,
         {7, 8},
         "DSAA\n0\t3\n10\t5\n20\t30\n1\t9\n\n\n\n",
         true},
        {"the most columns of no rows",
         2147483520.0f,
         0,
         {},
         "DSAA\n2147483520\t0\n10\t1.07374e+010\n20\t15\n1\t9\n",
         true},
        {"-1 columns", -1, 2, {1, 2}, "invalid grid size -1 x 2\n"},
        {"1e10 columns", 1e10f, 2, {1, 2}, "invalid grid size -2147483648 x 2\n"},
        {"2^31 rows", 2, 2147483648.0f, {1, 2}, "invalid grid size 2 x -2147483648\n"},
        {"NaN columns", kNaN, 2, {1, 2}, "invalid grid size -2147483648 x 2\n"},
        {"NaN rows", 2, kNaN, {1, 2}, "invalid grid size 2 x -2147483648\n"},
        {"infinite columns", kInfinity, 2, {1, 2}, "invalid grid size -2147483648 x 2\n"},
        {"minus infinite rows", 2, -kInfinity, {1, 2}, "invalid grid size 2 x -2147483648\n"},
        // Far more than memory holds: only a size check before the allocation
        // gives the short-input message rather than the out-of-memory one.
        {"huge grid in a tiny file",
         2e9f,
         2e9f,
         {1, 2, 3},
         "it ends after 60 of 16000000000000000048 bytes\n"},
        {"the most columns of one row in a tiny file",
         2147483520.0f,
         1,
         {1},
         "it ends after 52 of 8589934128 bytes\n"},
        {"40 GB grid in a tiny file", 1e5f, 1e5f, {}, "it ends after 48 of 40000000048 bytes\n"},
    };
    for (const auto& c : cases) {
        for (bool outputExists : {true, false}) {
            SCOPED_TRACE(std::string(c.name) +
                         (outputExists ? ", existing output" : ", new output"));
            TempDir dir;
            writeFile(dir / "in.grd", gridFile(header(c.columns, c.rows), c.nodes));
            if (outputExists)
                writeFile(dir / "out.txt", kOldOutput);
            auto before = snapshot(dir.path());

            RunResult result = runBrenzolt(dir.path(), {"in.grd", "out.txt"});

            if (c.converts) {
                auto rows = static_cast<std::size_t>(std::max(0.0f, std::trunc(c.rows)));
                EXPECT_EQ(result.status, 0);
                EXPECT_EQ(result.output,
                          kBanner + kRecordSize + crlf(std::string(rows, '.') + "\n"));
                before["out.txt"] = crlf(c.expected);
            } else {
                EXPECT_EQ(result.status, 1);
                EXPECT_EQ(result.output,
                          kBanner + kRecordSize +
                              crlf("error reading input file in.grd: " + c.expected));
            }
            EXPECT_EQ(snapshot(dir.path()), before);
        }
    }
}

} // namespace
} // namespace brenzolt::test
