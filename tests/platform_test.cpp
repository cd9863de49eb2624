// The platform layer: text-mode translation, the output buffer, the console's
// dots, and the rules by which output files are created, kept or removed.
#include "platform/platform.h"
#include "tests/support/e2e.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace brenzolt {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

TEST(TextWriter, WritesEveryLineFeedAsCarriageReturnLineFeed) {
    struct Case {
        std::string text;
        std::string written;
    };
    const Case cases[] = {
        {"", ""},
        {"a\nb", "a\r\nb"},
        {"\n\n", "\r\n\r\n"},
        {"error \r\n", "error \r\r\n"}, // a CR already there passes unchanged
        {"\r", "\r"},
        {std::string("\0\n", 2), std::string("\0\r\n", 3)},
    };
    for (const Case& c : cases) {
        std::string memory;
        TextWriter writer(memory);
        writer.write(c.text);
        EXPECT_TRUE(writer.flush());
        EXPECT_EQ(memory, c.written);
        // One character at a time gives the same.
        std::string byCharacter;
        TextWriter putter(byCharacter);
        for (char ch : c.text)
            putter.put(ch);
        putter.flush();
        EXPECT_EQ(byCharacter, c.written);
    }
}

TEST(TextWriter, KeepsEveryByteAcrossBufferBoundaries) {
    constexpr std::size_t kSize = kOutputBufferSize;
    // A line feed that meets the last free byte of the buffer.
    std::string memory;
    TextWriter lineEnd(memory);
    lineEnd.write(std::string(kSize - 1, 'x') + "\n");
    lineEnd.flush();
    EXPECT_EQ(memory, std::string(kSize - 1, 'x') + "\r\n");

    // A text of more than two buffers in one write.
    std::string text;
    while (text.size() < 2 * kSize + 3)
        text += "0123456789abcdefghij\n";
    std::string large;
    TextWriter writer(large);
    writer.write(text);
    writer.flush();
    EXPECT_EQ(large, test::crlf(text));

    // Raw space that does not fit drains the buffer first; space that just
    // fits does not.
    std::string raw;
    TextWriter reserving(raw);
    reserving.write(std::string(kSize - 10, 'x'));
    char* p = reserving.reserve(100);
    EXPECT_EQ(raw.size(), kSize - 10);
    reserving.commit(std::fill_n(p, 100, 'y'));
    reserving.write(std::string(kSize - 150, 'w'));
    p = reserving.reserve(50);
    EXPECT_EQ(raw.size(), kSize - 10);
    reserving.commit(std::fill_n(p, 50, 'z'));
    reserving.flush();
    EXPECT_EQ(raw, std::string(kSize - 10, 'x') + std::string(100, 'y') +
                       std::string(kSize - 150, 'w') + std::string(50, 'z'));
}

TEST(Console, DotsToAPipeWaitForTheFlush) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    Console console(fds[1], -1);
    for (int i = 0; i < 1000; ++i)
        console.progressDot();
    char buffer[1024];
    EXPECT_EQ(read(fds[0], buffer, sizeof buffer), -1); // no write of its own per dot
    EXPECT_EQ(errno, EAGAIN);
    console.flush();
    EXPECT_EQ(read(fds[0], buffer, sizeof buffer), 1000);
    EXPECT_EQ(std::string(buffer, 1000), std::string(1000, '.'));
    close(fds[0]);
    close(fds[1]);
}

// The end-to-end tests cover a created file dropped before and after begin,
// an existing one dropped before begin, and one replaced.
TEST(OutputFile, RemovesAnExistingFileOnceBeginHasEmptiedIt) {
    TempDir dir;
    const std::string name = (dir / "out.txt").string();
    writeFile(name, "old content\r\n");
    std::optional<OutputFile> file = openOutputFile(name);
    ASSERT_TRUE(file && file->begin());
    file->text().write("partial");
    file->discard();
    EXPECT_FALSE(fs::exists(name));
}

TEST(OutputFile, CreatesTheFileThatALinkToNothingNames) {
    TempDir dir;
    fs::create_directory(dir / "sub");
    fs::create_symlink("target.txt", dir / "sub" / "link.txt");
    fs::create_symlink("sub/link.txt", dir / "chain.txt");
    const std::string chain = (dir / "chain.txt").string();
    std::optional<OutputFile> file = openOutputFile(chain);
    ASSERT_TRUE(file && file->begin());
    file->text().write("x\n");
    EXPECT_TRUE(file->finish());
    EXPECT_EQ(readFile(dir / "sub" / "target.txt"), "x\r\n");
    // Dropped unfinished, the file goes and the links stay.
    fs::remove(dir / "sub" / "target.txt");
    openOutputFile(chain)->discard();
    EXPECT_FALSE(fs::exists(dir / "sub" / "target.txt"));
    EXPECT_TRUE(fs::is_symlink(dir / "chain.txt"));
    EXPECT_TRUE(fs::is_symlink(dir / "sub" / "link.txt"));
}

TEST(OutputFile, RefusesDirectoriesAndUnusableNames) {
    TempDir dir;
    for (const std::string& name : {dir.path().string(), std::string(), std::string("a\0b", 3),
                                    (dir / "none" / "out").string()}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(openInputFile(name).has_value());
        EXPECT_FALSE(openOutputFile(name).has_value());
    }
    EXPECT_TRUE(fs::is_directory(dir.path()));
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

} // namespace
} // namespace brenzolt
