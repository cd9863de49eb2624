// The Surfer ASCII grid writer on its own, writing into memory.
#include "dsaa/dsaa.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits>
#include <unistd.h>

namespace brenzolt {
namespace {

TEST(RangeHigh, RoundsToSinglePrecisionAfterEveryStep) {
    struct Case {
        float low;
        std::int32_t count;
        float spacing;
        float high;
    };
    const Case cases[] = {
        {10, 3, 5, 20},
        {10, 1, 5, 10},
        {10, 0, 5, 5},
        {-2.5f, 1, 0.1f, -2.5f},
        // 1000 x 25.1f rounds down to 25100, and the sum down to 25223.449;
        // double arithmetic or a fused multiply-add would give 25223.451.
        {123.45f, 1001, 25.1f, 25223.44921875f},
        {10027.55f, 0, 25.1f, 10002.4501953125f},
        // 16777217 steps are not a float: they round to 2^24 first.
        {0, 16777218, 1, 16777216},
    };
    for (const Case& c : cases)
        EXPECT_EQ(rangeHigh(c.low, c.count, c.spacing), c.high)
            << c.low << " + (" << c.count << " - 1) x " << c.spacing;
}

// Writes `header` and `grid` into a string with `format`; `console` receives
// what the writer prints on the console.
std::string writtenFile(const GridHeader& header, const Grid& grid, NodeFormat format,
                        std::string& console) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::string file;
    {
        Console screen(fds[1], -1);
        TextWriter writer(file);
        writeSurferGrid(writer, screen, header, grid, format);
        EXPECT_TRUE(writer.flush());
        screen.flush();
    }
    close(fds[1]);
    char buffer[256];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    console.assign(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    close(fds[0]);
    return file;
}

GridHeader headerOf(std::vector<float> words) {
    GridHeader header;
    for (std::size_t w = 0; w < words.size(); ++w)
        header.words[w + 1] = words[w];
    deriveHeaderFields(header);
    return header;
}

TEST(WriteSurferGrid, WritesHeaderThenRowsLowestFirstWithBlanks) {
    GridHeader header = headerOf({2, 3, 1.5f, -4, 0.25f, 0, 0, -1, 1e-5f, 0, 0, 0});
    Grid grid;
    ASSERT_TRUE(grid.allocate(2, 3));
    const float nodes[] = {0.005f, -7, std::numeric_limits<float>::quiet_NaN(), 2.5f, 0, 1e7f};
    std::copy(std::begin(nodes), std::end(nodes), grid.data());
    std::string console;
    EXPECT_EQ(writtenFile(header, grid, selectNodeFormat("0"), console),
              "DSAA\r\n2\t3\r\n1.5\t1.75\r\n-4\t-3.5\r\n-1\t1e-005\r\n"
              "1.70141e+038\t10000000\r\n"
              "1.70141e+038\t     3\r\n"
              "     0\t1.70141e+038\r\n");
    EXPECT_EQ(console, "...\r\n");
}

TEST(WriteSurferGrid, WritesLinesLongerThanTheBuffer) {
    constexpr int kColumns = 30000; // 16 bytes a node: nearly twice the buffer
    GridHeader header = headerOf({kColumns, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
    Grid grid;
    ASSERT_TRUE(grid.allocate(kColumns, 1));
    std::fill(grid.data(), grid.data() + kColumns, 123456.78125f);
    std::string expected = "DSAA\r\n30000\t1\r\n0\t29999\r\n0\t0\r\n0\t0\r\n";
    for (int c = 0; c < kColumns; ++c)
        expected += c == 0 ? "123456.78125000" : "\t123456.78125000";
    expected += "\r\n";
    std::string console;
    EXPECT_EQ(writtenFile(header, grid, selectNodeFormat("8"), console), expected);
    EXPECT_EQ(console, ".\r\n");
}

} // namespace
} // namespace brenzolt
