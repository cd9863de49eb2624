// The binary grid reader on its own: counts from header words, and readGrid
// over regular files and pipes, whole or ending early.
#include "grid/grid.h"
#include "tests/support/e2e.h"

#include <array>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>
#include <unistd.h>

namespace brenzolt {
namespace {

using test::gridFile;
using test::TempDir;
using test::writeFile;

constexpr std::int32_t kIndefinite = std::numeric_limits<std::int32_t>::min();

TEST(CountFromWord, TruncatesTowardZeroAndGivesIndefiniteOutsideTheRange) {
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    struct Case {
        float word;
        std::int32_t count;
    };
    const Case cases[] = {
        {3.99f, 3},
        {-0.5f, 0},
        {10.9f, 10},
        {-10.9f, -10},
        {std::numeric_limits<float>::quiet_NaN(), kIndefinite},
        {kInfinity, kIndefinite},
        {-kInfinity, kIndefinite},
        {2147483648.0f, kIndefinite},                              // 2^31
        {2147483520.0f, 2147483520},                               // the float just below 2^31
        {-2147483648.0f, kIndefinite},                             // -2^31 itself is in range
        {std::nextafter(-2147483648.0f, -kInfinity), kIndefinite}, // just below -2^31
    };
    for (const Case& c : cases)
        EXPECT_EQ(countFromWord(c.word), c.count) << "word " << c.word;
}

// An input open on the read end of a pipe that holds `bytes` and is closed
// for writing, so that reading it meets the end after them.
InputFile pipeHolding(const std::string& bytes) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fds[1]);
    std::optional<InputFile> input = openInputFile("/proc/self/fd/" + std::to_string(fds[0]));
    close(fds[0]);
    return std::move(input).value();
}

TEST(ReadGrid, FillsHeaderAndRowsNumberedFromOne) {
    std::string bytes = gridFile({3, 2, 10, 20, 5, -1, 7, 1, 9, 10, 11, 12}, {1, 2, 3, 4, 5, 6});
    TempDir dir;
    writeFile(dir / "in.grd", bytes);
    InputFile fromFile = *openInputFile((dir / "in.grd").string());
    InputFile fromPipe = pipeHolding(bytes);
    for (InputFile* input : {&fromFile, &fromPipe}) {
        GridHeader header;
        Grid grid;
        ASSERT_EQ(readGrid(*input, "in.grd", header, grid), std::nullopt);
        EXPECT_EQ(header.words,
                  (std::array<float, 13>{0, 3, 2, 10, 20, 5, -1, 7, 1, 9, 10, 11, 12}));
        EXPECT_EQ(header.columnCount, 3);
        EXPECT_EQ(header.rowCount, 2);
        EXPECT_EQ(header.xMin, 10);
        EXPECT_EQ(header.yMin, 20);
        EXPECT_EQ(header.spacing, 5);
        EXPECT_EQ(header.blankThreshold, -1);
        EXPECT_EQ(header.zLow(), 1);
        EXPECT_EQ(header.zHigh(), 9);
        ASSERT_EQ(grid.rowCount(), 2);
        ASSERT_EQ(grid.columnCount(), 3);
        EXPECT_EQ(grid.node(1, 1), 1);
        EXPECT_EQ(grid.node(1, 3), 3);
        EXPECT_EQ(grid.node(2, 1), 4);
        EXPECT_EQ(grid.node(2, 3), 6);
        EXPECT_EQ(grid.row(2)[1], 5);
    }
}

TEST(ReadGrid, ReportsInputThatEndsEarlyAndLeavesNoGrid) {
    // A pipe's size is not known in advance, which is how a file that shrinks
    // after the size check looks to the reader; a file truncated after it
    // opened is measured when it is read.
    const std::string threeByTwo =
        gridFile({3, 2, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, {1, 2, 3, 4, 5, 6});
    struct Case {
        std::size_t present;
        std::uint64_t needed;
        bool truncatedFile; // a pipe otherwise
    };
    const Case cases[] = {{0, 48, false},  {47, 48, false}, {48, 72, false},
                          {50, 72, false}, {71, 72, false}, {60, 72, true}};
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.present) + (c.truncatedFile ? " in a file" : " in a pipe"));
        writeFile(dir / "g", threeByTwo);
        InputFile input = c.truncatedFile ? *openInputFile((dir / "g").string())
                                          : pipeHolding(threeByTwo.substr(0, c.present));
        std::filesystem::resize_file(dir / "g", c.present); // the pipe's input unaffected
        GridHeader header;
        Grid grid;
        std::optional<ReadError> error = readGrid(input, "g", header, grid);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->message, "error reading input file g: it ends after " +
                                      std::to_string(c.present) + " of " +
                                      std::to_string(c.needed) + " bytes\n");
        EXPECT_EQ(grid.rowCount(), 0);
        EXPECT_EQ(grid.data(), nullptr);
    }
}

} // namespace
} // namespace brenzolt
