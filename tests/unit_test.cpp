// The layers on their own, where a whole program run cannot reach: the text
// writer's buffer edges, and a grid file that shrinks after it was measured.
#include "grid/grid.h"
#include "platform/platform.h"

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

std::string gridBytes(std::vector<float> words) {
    return std::string(reinterpret_cast<const char*>(words.data()), words.size() * sizeof(float));
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

} // namespace
} // namespace brenzolt
