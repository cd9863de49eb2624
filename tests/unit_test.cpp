// The layers on their own, where a whole program run cannot reach: the text
// writer's buffer edges, and a grid file that shrinks while its node lines are written.
#include "app/node_lines.h"
#include "tests/support/run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace brenzolt {
namespace {

// A file that a TextWriter or InputFile can use by descriptor or by name.
struct ScratchFile {
    test::TempDir dir;
    std::string name = (dir / "file").string();
    int fd = open(name.c_str(), O_RDWR | O_CREAT | O_BINARY, 0644);
    ~ScratchFile() { close(fd); }
    std::string contents() const { return test::readFile(name); }
};

std::string written(auto write) {
    ScratchFile file;
    {
        TextWriter writer(file.fd);
        write(writer);
        EXPECT_TRUE(writer.flush());
    }
    return file.contents();
}

TEST(TextWriter, KeepsALineFeedThatMeetsTheLastFreeByte) {
    constexpr std::size_t kSize = kOutputBufferSize;
    EXPECT_EQ(written([](TextWriter& w) { w.write(std::string(kSize - 1, 'x') + "\n\r"); }),
              std::string(kSize - 1, 'x') + "\r\n\r");
}

// A file that shrinks after its header was checked stops the node lines at
// the first block that finds its end, on one thread and on several, and the
// message gives the size it has shrunk to.
TEST(NodeLines, StopAtAFileThatShrankAfterItWasMeasured) {
    std::vector<float> words{3, 30000, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    words.resize(12 + 3 * 30000, 1.0f);
    for (int threads : {1, 3}) {
        ScratchFile file, text;
        std::size_t size = words.size() * sizeof(float);
        ASSERT_EQ(write(file.fd, words.data(), size), static_cast<int>(size));
        std::string reason;
        InputFile input = *openInputFile(file.name, reason);
        GridReader grid;
        ASSERT_EQ(openGrid(input, grid), std::nullopt);
        ASSERT_EQ(ftruncate(file.fd, 12048), 0);
        TextWriter writer(text.fd);
        Console console(text.fd, -1);
        std::optional<ReadError> error =
            writeNodeLines(writer, console, grid, selectNodeFormat("-"), threads);
        ASSERT_TRUE(error.has_value()) << threads << " threads";
        EXPECT_EQ(error->detail, "it ends after 12048 of 360048 bytes");
    }
}

} // namespace
} // namespace brenzolt
