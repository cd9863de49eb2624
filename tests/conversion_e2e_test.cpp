// End-to-end tests of a conversion with both names on the command line: the
// built binary runs in a temporary directory, and its console output, exit
// status and files are compared byte for byte with texts worked out by hand.
#include "tests/support/e2e.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>
#include <sys/wait.h>

namespace brenzolt::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// Twelve header words: the counts, the x and y origin, the spacing, the blank
// threshold and the z range; the reserved words hold zero.
std::vector<float> header(float columns, float rows, float xMin, float yMin, float spacing,
                          float threshold, float zLow, float zHigh) {
    return {columns, rows, xMin, yMin, spacing, threshold, 0, zLow, zHigh, 0, 0, 0};
}

std::string consoleAfterRows(const std::string& dots) {
    return kBanner + kRecordSize + dots + "\r\n";
}

TEST(Conversion, WritesNodesInTheFormatOfThePrecisionCode) {
    // Rows in file order: the second row is the lowest and comes out first
    // (the fault-injection tests convert three rows).
    // The node -9999 lies below the threshold and stays blank in every code.
    std::string input = gridFile(header(3, 2, 0, 0, 1, -1000, -9999, 1234.5678f),
                                 {3.14159f, -2.5f, 0.125f, 1234.5678f, 1e-5f, -9999});
    const std::string head = "DSAA\n3\t2\n0\t2\n0\t1\n-9999\t1234.57\n";
    struct Case {
        std::vector<std::string> precision; // arguments after the two names
        std::string lowRow;                 // without the blank third node
        std::string highRow;
    };
    const Case cases[] = {
        {{"0"}, "  1235\t     0", "     3\t    -3\t     0"},
        {{"1"}, "1234.6\t   0.0", "   3.1\t  -2.5\t   0.1"},
        {{"2"}, "1234.57\t  0.00", "  3.14\t -2.50\t  0.13"},
        {{"3"}, "1234.568\t 0.000", " 3.142\t-2.500\t 0.125"},
        {{"4"}, "1234.5677\t0.0000", "3.1416\t-2.5000\t0.1250"},
        {{"5"}, "1234.56775\t0.00001", "3.14159\t-2.50000\t0.12500"},
        {{"6"}, "1234.567749\t0.000010", "3.141590\t-2.500000\t0.125000"},
        {{"7"}, "1234.5677490\t0.0000100", "3.1415901\t-2.5000000\t0.1250000"},
        {{"8"}, "1234.56774902\t0.00001000", "3.14159012\t-2.50000000\t0.12500000"},
        {{"9"}, " 1234.5677\t9.9999997e-006", " 3.1415901\t      -2.5\t     0.125"},
        {{}, "1234.57\t1e-005", "3.14159\t-2.5\t0.125"},
        {{"25"}, "1234.57\t  0.00", "  3.14\t -2.50\t  0.13"},
        {{""}, "1234.57\t1e-005", "3.14159\t-2.5\t0.125"},
        {{"3", "extra"}, "1234.57\t1e-005", "3.14159\t-2.5\t0.125"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.precision.empty() ? "no precision" : "precision '" + c.precision[0] + "'");
        TempDir dir;
        writeFile(dir / "in.grd", input);
        std::vector<std::string> arguments{"in.grd", "out.txt"};
        arguments.insert(arguments.end(), c.precision.begin(), c.precision.end());
        RunResult result = runBrenzolt(dir.path(), arguments);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, consoleAfterRows(".."));
        EXPECT_EQ(readFile(dir / "out.txt"),
                  crlf(head + c.lowRow + "\t1.70141e+038\n" + c.highRow + "\n"));
    }
}

TEST(Conversion, BlanksNodesNotAboveTheThreshold) {
    const float aboveOneAndHalf = std::nextafter(1.5f, 2.0f);
    const float smallestSubnormal = std::numeric_limits<float>::denorm_min();
    struct Case {
        const char* name;
        float threshold;
        std::vector<float> nodes;
        std::string file; // precision 9
    };
    const Case cases[] = {
        {"equal, below, one ulp above, NaN, -inf, far above",
         1.5f,
         {1.5f, 1.0f, aboveOneAndHalf, kNaN, -kInfinity, 1e30f},
         "DSAA\n6\t1\n0\t5\n0\t0\n0\t0\n"
         "1.70141e+038\t1.70141e+038\t 1.5000001\t1.70141e+038\t1.70141e+038\t    1e+030\n"},
        {"threshold not a number",
         kNaN,
         {-1, 0, 3e38f, kNaN},
         "DSAA\n4\t1\n0\t3\n0\t0\n0\t0\n"
         "1.70141e+038\t1.70141e+038\t1.70141e+038\t1.70141e+038\n"},
        {"threshold negative zero",
         -0.0f,
         {0.0f, -0.0f, smallestSubnormal},
         "DSAA\n3\t1\n0\t2\n0\t0\n0\t0\n1.70141e+038\t1.70141e+038\t1.4012985e-045\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        float columns = static_cast<float>(c.nodes.size());
        writeFile(dir / "in.grd",
                  gridFile(header(columns, 1, 0, 0, 1, c.threshold, 0, 0), c.nodes));
        RunResult result = runBrenzolt(dir.path(), {"in.grd", "out.txt", "9"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, consoleAfterRows("."));
        EXPECT_EQ(readFile(dir / "out.txt"), crlf(c.file));
    }
}

TEST(Conversion, HeaderRangesRoundInSinglePrecisionAtEveryStep) {
    // xHigh: 1000 x 25.1f rounds to 25100 before 123.45f is added, and the sum
    // rounds to 25223.449; in double, or with a fused multiply-add, it would be
    // 25223.450 and print as 25223.5. yHigh (no rows: yMin - spacing) rounds the
    // sum up to 10002.4502, where double would print 10002.4. With no rows there
    // is no node line and no dot.
    TempDir dir;
    writeFile(dir / "in.grd",
              gridFile(header(1001, 0, 123.45f, 10027.55f, 25.1f, 0, -0.5f, 3e10f), {}));
    RunResult result = runBrenzolt(dir.path(), {"in.grd", "out.txt"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, consoleAfterRows(""));
    EXPECT_EQ(readFile(dir / "out.txt"),
              crlf("DSAA\n1001\t0\n123.45\t25223.4\n10027.5\t10002.5\n-0.5\t3e+010\n"));
}

TEST(Conversion, IgnoresBytesAfterTheGrid) {
    TempDir dir;
    writeFile(dir / "in.grd", gridFile(header(2, 1, 0, 0, 1, 0, 0, 0), {7, 8, 9, 10}) + "xyz");
    RunResult result = runBrenzolt(dir.path(), {"in.grd", "out.txt"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile(dir / "out.txt"), crlf("DSAA\n2\t1\n0\t1\n0\t0\n0\t0\n7\t8\n"));
}

TEST(Conversion, UnreadableInputFailsAndLeavesTheOutputAsItWas) {
    const std::string threeByTwo = gridFile(header(3, 2, 0, 0, 1, 0, 0, 0), {1, 2, 3, 4, 5, 6});
    struct Case {
        const char* name;
        std::string inputName; // "/dev/stdin" reads `bytes` through a pipe
        std::string bytes;
        std::string message;
    };
    const Case cases[] = {
        {"empty", "in.grd", "", "error reading input file in.grd: it ends after 0 of 48 bytes\n"},
        {"header short", "in.grd", threeByTwo.substr(0, 47),
         "error reading input file in.grd: it ends after 47 of 48 bytes\n"},
        {"header alone", "in.grd", threeByTwo.substr(0, 48),
         "error reading input file in.grd: it ends after 48 of 72 bytes\n"},
        {"half a node", "in.grd", threeByTwo.substr(0, 50),
         "error reading input file in.grd: it ends after 50 of 72 bytes\n"},
        {"one node short", "in.grd", threeByTwo.substr(0, 68),
         "error reading input file in.grd: it ends after 68 of 72 bytes\n"},
        {"pipe with a grid too large for memory", "/dev/stdin",
         gridFile(header(2147483520.0f, 2147483520.0f, 0, 0, 1, 0, 0, 0), {}),
         "error reading input file /dev/stdin: a grid of 2147483520 x 2147483520 nodes "
         "does not fit in memory\n"},
    };
    const std::string precious = "an earlier result\r\n\0\x01\xff"s;
    for (const Case& c : cases) {
        for (bool outputExists : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (outputExists ? ", output exists" : ""));
            TempDir dir;
            bool viaPipe = c.inputName == "/dev/stdin";
            if (c.inputName == "in.grd")
                writeFile(dir / "in.grd", c.bytes);
            if (outputExists)
                writeFile(dir / "out.txt", precious);
            RunResult result =
                runBrenzolt(dir.path(), {c.inputName, "out.txt"}, viaPipe ? c.bytes : "",
                            viaPipe ? StdinKind::pipe : StdinKind::file);
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.output, kBanner + kRecordSize + crlf(c.message));
            if (outputExists)
                EXPECT_EQ(readFile(dir / "out.txt"), precious);
            else
                EXPECT_FALSE(fs::exists(dir / "out.txt"));
        }
    }
}

TEST(Conversion, WriteFailureIsReportedAndTheIncompleteFileRemoved) {
    const std::string input = gridFile(header(3, 2, 0, 0, 1, 0, 0, 0), {1, 2, 3, 4, 5, 6});
    {
        TempDir dir;
        writeFile(dir / "in.grd", input);
        RunResult result = runBrenzolt(dir.path(), {"in.grd", "/dev/full"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.output,
                  consoleAfterRows("..") + "error writing output file /dev/full\r\n");
        EXPECT_TRUE(fs::is_character_file("/dev/full"));
    }
    {
        // A regular file that cannot grow past 2 KiB: the write fails part way
        // (SIGXFSZ ignored, so the write reports EFBIG).
        TempDir dir;
        writeFile(dir / "in.grd",
                  gridFile(header(1000, 10, 0, 0, 1, 0, 0, 0), std::vector<float>(10000, 1.0f)));
        std::string command = "cd '" + dir.path().string() +
                              "' && ulimit -f 4 && trap '' XFSZ && '" + brenzoltBinary() +
                              "' in.grd out.txt > stdout";
        int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(readFile(dir / "stdout"),
                  consoleAfterRows("..........") + "error writing output file out.txt\r\n");
        EXPECT_FALSE(fs::exists(dir / "out.txt"));
    }
}

TEST(Conversion, RefusesToWriteOverItsInput) {
    const std::string input = gridFile(header(1, 1, 0, 0, 1, 0, 0, 0), {42});
    for (std::string outputName : {"in.grd", "./in.grd", "sub/../in.grd", "hard.grd", "soft.grd"}) {
        SCOPED_TRACE(outputName);
        TempDir dir;
        writeFile(dir / "in.grd", input);
        fs::create_directory(dir / "sub");
        fs::create_hard_link(dir / "in.grd", dir / "hard.grd");
        fs::create_symlink("in.grd", dir / "soft.grd");
        RunResult result = runBrenzolt(dir.path(), {"in.grd", outputName});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.output, kBanner + "error opening output file " + outputName +
                                     " \r\r\nplease enter output file name: ");
        EXPECT_EQ(readFile(dir / "in.grd"), input);
    }
}

TEST(Conversion, UsesLongOutputNamesWhole) {
    TempDir dir;
    writeFile(dir / "in.grd", gridFile(header(1, 1, 0, 0, 1, 0, 0, 0), {42}));
    // 4007 characters that name out.txt in the working directory.
    std::string longPath;
    for (int i = 0; i < 2000; ++i)
        longPath += "./";
    longPath += "out.txt";
    RunResult result = runBrenzolt(dir.path(), {"in.grd", longPath});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile(dir / "out.txt"), crlf("DSAA\n1\t1\n0\t0\n0\t0\n0\t0\n42\n"));
    // 5000 characters in one component: too long to open, and reported whole.
    std::string tooLong(5000, 'n');
    result = runBrenzolt(dir.path(), {"in.grd", tooLong});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, kBanner + "error opening output file " + tooLong +
                                 " \r\r\nplease enter output file name: ");
}

} // namespace
} // namespace brenzolt::test
