// The binary grid reader on its own: counts from header words, and readGrid
// over regular files, pipes and a file that fails to read.
#include "grid/grid.h"
#include "tests/support/e2e.h"

#include <array>
#include <cmath>
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

TEST(ReadGrid, ZeroColumnsReadNoNodesButKeepTheRows) {
    TempDir dir;
    writeFile(dir / "in.grd", gridFile({0, 4, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, {}));
    InputFile input = *openInputFile((dir / "in.grd").string());
    GridHeader header;
    Grid grid;
    ASSERT_EQ(readGrid(input, "in.grd", header, grid), std::nullopt);
    EXPECT_EQ(grid.columnCount(), 0);
    EXPECT_EQ(grid.rowCount(), 4);
}

TEST(ReadGrid, ReportsInputThatEndsEarlyOrDoesNotFit) {
    const std::string threeByTwo =
        gridFile({3, 2, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, {1, 2, 3, 4, 5, 6});
    // 1e9 x 1e9 nodes would need 4 EB: a tiny regular file must fail on its
    // size before anything is allocated. Through a pipe the size is unknown,
    // and a grid of 2147483520^2 nodes is more than any address space holds.
    const std::string huge = gridFile({1e9f, 1e9f, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, {});
    const std::string hugest =
        gridFile({2147483520.0f, 2147483520.0f, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, {});
    struct Case {
        const char* name;
        std::string bytes;
        bool viaPipe;
        std::string message;
    };
    const Case cases[] = {
        {"empty file", "", false, "error reading input file g: it ends after 0 of 48 bytes\n"},
        {"header cut in a file", threeByTwo.substr(0, 20), false,
         "error reading input file g: it ends after 20 of 48 bytes\n"},
        {"node cut in a file", threeByTwo.substr(0, 70), false,
         "error reading input file g: it ends after 70 of 72 bytes\n"},
        {"huge counts in a tiny file", huge, false,
         "error reading input file g: it ends after 48 of 4000000000000000048 bytes\n"},
        {"grid too large for memory", hugest, true,
         "error reading input file g: a grid of 2147483520 x 2147483520 nodes does not fit "
         "in memory\n"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "g", c.bytes);
        InputFile input = c.viaPipe ? pipeHolding(c.bytes) : *openInputFile((dir / "g").string());
        GridHeader header;
        Grid grid;
        std::optional<ReadError> error = readGrid(input, "g", header, grid);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->message, c.message);
        EXPECT_EQ(grid.rowCount(), 0);
        EXPECT_EQ(grid.data(), nullptr);
    }
}

} // namespace
} // namespace brenzolt
