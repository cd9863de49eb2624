// The layers on their own, where a whole program run cannot reach: the text
// writer's buffer edges, and a grid file that shrinks while its node lines are written.
#include "app/node_lines.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

namespace brenzolt {
namespace {

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
        MemoryFile file, text;
        std::size_t size = words.size() * sizeof(float);
        ASSERT_EQ(write(file.fd, words.data(), size), static_cast<ssize_t>(size));
        std::string reason;
        InputFile input = *openInputFile("/proc/self/fd/" + std::to_string(file.fd), reason);
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
