// The layers on their own, where a whole program run cannot reach: the text
// writer's buffer edges, the reader on a pipe and on a file that shrank, the
// writer's lines, and output files behind links.
#include "dsaa/dsaa.h"
#include "grid/grid.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <sys/mman.h>
#include <unistd.h>

namespace brenzolt {
namespace {

namespace fs = std::filesystem;

// A file in memory that a TextWriter or InputFile can use by descriptor.
struct MemoryFile {
    int fd = memfd_create("unit", 0);
    ~MemoryFile() { close(fd); }
    std::string contents() const {
        std::string bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
        EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        return bytes;
    }
};

std::string written(auto write) {
    MemoryFile file;
    {
        TextWriter writer(file.fd);
        write(writer);
        EXPECT_TRUE(writer.flush());
    }
    return file.contents();
}

TEST(TextWriter, KeepsEveryByteAcrossBufferEdges) {
    constexpr std::size_t kSize = kOutputBufferSize;
    // A line feed that meets the last free byte of the buffer.
    EXPECT_EQ(written([](TextWriter& w) { w.write(std::string(kSize - 1, 'x') + "\n\r"); }),
              std::string(kSize - 1, 'x') + "\r\n\r");
    // Raw space that does not fit drains the buffer first.
    EXPECT_EQ(written([](TextWriter& w) {
                  w.write(std::string(kSize - 10, 'x'));
                  w.commit(std::fill_n(w.reserve(100), 100, 'y'));
                  w.write(std::string(kSize - 150, 'w'));
                  w.commit(std::fill_n(w.reserve(50), 50, 'z'));
              }),
              std::string(kSize - 10, 'x') + std::string(100, 'y') + std::string(kSize - 150, 'w') +
                  std::string(50, 'z'));
}

std::string gridBytes(std::vector<float> words) {
    return std::string(reinterpret_cast<const char*>(words.data()), words.size() * sizeof(float));
}

InputFile inputHolding(const std::string& bytes, bool pipe) {
    int fds[2];
    MemoryFile file;
    if (pipe) {
        EXPECT_EQ(::pipe(fds), 0);
        EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fds[1]);
    } else {
        EXPECT_EQ(write(file.fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        fds[0] = dup(file.fd);
    }
    std::string reason;
    std::optional<InputFile> input =
        openInputFile("/proc/self/fd/" + std::to_string(fds[0]), reason);
    close(fds[0]);
    return std::move(input).value();
}

TEST(GridReader, ReadsFilesAndPipesAndReportsWhereTheyEndEarly) {
    const std::string bytes =
        gridBytes({3, 2, 10, 20, 5, -1, 7, 1, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6});
    for (bool pipe : {false, true}) {
        InputFile input = inputHolding(bytes, pipe);
        GridReader grid;
        ASSERT_EQ(openGrid(input, "in.grd", grid), std::nullopt);
        const GridHeader& header = grid.header();
        EXPECT_EQ(std::tie(header.columnCount, header.rowCount), std::tuple(3, 2));
        EXPECT_EQ(std::tuple(header.xMin, header.yMin, header.spacing, header.blankThreshold,
                             header.zLow, header.zHigh),
                  std::tuple(10.0f, 20.0f, 5.0f, -1.0f, 1.0f, 9.0f));
        float nodes[4];
        ASSERT_EQ(grid.readNodes(2, 4, nodes), std::nullopt);
        EXPECT_EQ(std::vector(nodes, nodes + 4), std::vector<float>({3, 4, 5, 6}));
        // A pipe's size is not known in advance, which is how a file that
        // shrinks after the size check looks to the reader.
        for (std::size_t present : {0, 47, 48, 71}) {
            InputFile shorter = inputHolding(bytes.substr(0, present), true);
            std::optional<ReadError> error = openGrid(shorter, "g", grid);
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->message, "error reading input file g: it ends after " +
                                          std::to_string(present) + " of " +
                                          (present < 48 ? "48" : "72") + " bytes\n");
        }
    }
}

TEST(GridReader, ReportsAFileThatShrankAfterItWasMeasured) {
    MemoryFile file;
    const std::string bytes = gridBytes({2, 2, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4});
    ASSERT_EQ(write(file.fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    std::string reason;
    InputFile input = *openInputFile("/proc/self/fd/" + std::to_string(file.fd), reason);
    GridReader grid;
    ASSERT_EQ(openGrid(input, "g", grid), std::nullopt);
    ASSERT_EQ(ftruncate(file.fd, 60), 0);
    float nodes[4];
    std::optional<ReadError> error = grid.readNodes(0, 4, nodes);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->message, "error reading input file g: it ends after 60 of 64 bytes\n");
}

TEST(SurferGrid, WritesHeaderLinesAndNodeLinesWithBlanks) {
    GridHeader header{2, 3, 1.5f, -4, 0.25f, 0, -1, 1e-5f};
    const float nodes[] = {0.005f, -7, std::numeric_limits<float>::quiet_NaN(), 2.5f, 0, 1e7f};
    char text[nodeTextRoom(6)];
    char* end = text;
    for (int r = 2; r >= 0; --r) // a row in two parts, as a long row is written
        end = writeNodeTexts(
            writeNodeTexts(end, nodes + 2 * r, 1, true, false, 0, selectNodeFormat("0")),
            nodes + 2 * r + 1, 1, false, true, 0, selectNodeFormat("0"));
    EXPECT_EQ(written([&](TextWriter& w) {
                  writeHeaderLines(w, header);
                  w.write(std::string_view(text, static_cast<std::size_t>(end - text)));
              }),
              "DSAA\r\n2\t3\r\n1.5\t1.75\r\n-4\t-3.5\r\n-1\t1e-005\r\n"
              "1.70141e+038\t10000000\r\n"
              "1.70141e+038\t     3\r\n"
              "     0\t1.70141e+038\r\n");
}

TEST(RangeHigh, RoundsToSinglePrecisionAfterEveryStep) {
    // 1000 x 25.1f rounds down to 25100, and the sum down to 25223.449;
    // double arithmetic or a fused multiply-add would give 25223.451.
    EXPECT_EQ(rangeHigh(123.45f, 1001, 25.1f), 25223.44921875f);
    EXPECT_EQ(rangeHigh(10027.55f, 0, 25.1f), 10002.4501953125f);
    // 16777217 steps are not a float: they round to 2^24 first.
    EXPECT_EQ(rangeHigh(0, 16777218, 1), 16777216);
}

TEST(OutputFile, WritesTheTargetOfALinkChainAndLeavesNothingWhenDropped) {
    fs::path dir = fs::temp_directory_path() / ("unit-" + std::to_string(getpid()));
    fs::create_directories(dir / "sub");
    fs::create_symlink("target.txt", dir / "sub" / "link.txt");
    fs::create_symlink("sub/link.txt", dir / "chain.txt");
    const std::string chain = (dir / "chain.txt").string();
    Console console(-1, -1);
    std::string reason;
    openOutputFile(chain, console, reason)->discard();
    EXPECT_FALSE(fs::exists(dir / "sub" / "target.txt"));
    std::optional<OutputFile> file = openOutputFile(chain, console, reason);
    ASSERT_TRUE(file && file->begin());
    file->text().write("x\n");
    EXPECT_TRUE(file->finish());
    EXPECT_EQ(fs::file_size(dir / "sub" / "target.txt"), 3u);
    EXPECT_TRUE(fs::is_symlink(dir / "chain.txt") && fs::is_symlink(dir / "sub" / "link.txt"));
    // No temporary file is left beside the target.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "sub"), fs::directory_iterator()), 2);
    fs::remove_all(dir);
}

} // namespace
} // namespace brenzolt
