// The layers on their own, where a whole program run cannot reach: a grid file that shrinks
// while its node lines are written, and the output's primitives made to fail.
#include "app/node_lines.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "tests/support/run.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace brenzolt {
namespace {

// A file that shrinks after its header was checked stops the node lines at
// the first block that finds its end, on one thread and on several, and the
// message gives the size it has shrunk to: early in the file, and inside a
// node of the last block of the file, the one read first.
TEST(NodeLines, StopAtAFileThatShrankAfterItWasMeasured) {
    const std::string bytes = test::gridFile({3, 30000, 0, 0, 1}, std::vector(3 * 30000, 1.0f));
    for (auto [threads, cut] : {std::pair(1, 12048), {3, 12048}, {1, 360042}, {3, 360042}}) {
        test::TempDir dir;
        std::string name = (dir / "in.grd").string(), reason;
        test::writeFile(name, bytes);
        int file = open(name.c_str(), O_RDWR),
            text = open((dir / "out.txt").string().c_str(), O_WRONLY | O_CREAT, 0644);
        InputFile input = *openInputFile(name, reason);
        GridReader grid;
        ASSERT_EQ(openGrid(input, grid), std::nullopt);
        ASSERT_EQ(ftruncate(file, cut), 0);
        TextWriter writer(text);
        Console console(text, -1);
        std::optional<ReadError> error =
            writeNodeLines(writer, console, grid, selectNodeFormat("-"), threads);
        close(file);
        close(text);
        ASSERT_TRUE(error.has_value()) << threads << " threads";
        EXPECT_EQ(error->detail, "it ends after " + std::to_string(cut) + " of 360048 bytes");
    }
}

#ifdef __linux__ // the failures as Linux reports them
// The primitives the seam was asked for in a row, in order; how often so far for this one.
std::vector<std::string> seen;
long see(const std::string& primitive) {
    seen.push_back(primitive);
    return std::ranges::count(seen, primitive);
}

// The name of the open file `fd`; whether that is the output's, not the temporary file's.
std::filesystem::path nameOf(int fd) {
    return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
}
bool isOutput(int fd) {
    return nameOf(fd).filename() == "out.txt";
}

// Another program saves a file of its own, "x", under `name`, or that of the output open as `fd`.
bool takeName(const std::filesystem::path& name) {
    test::writeFile(name.string() + "~", "x");
    std::filesystem::rename(name.string() + "~", name);
    return true;
}
bool replaceName(int fd) {
    return takeName(nameOf(fd));
}

// Each primitive of the output's last steps made to fail, the old output longer than the grid:
// room that cannot be reserved, a write of the grid beside it that finds the disk full, a failed
// flush and a failed rename leave the output as it was; a copy into an output written in place
// leaves none of the old behind on any name, writes no byte past the grid, and one that fails at
// its last piece, the room reserved, leaves it empty on every name, never partly written; a
// failed directory flush leaves the new grid in place and says so. The grid is flushed before
// the rename, the directory after it, and a signal right after the rename comes too late to stop
// the run. An output's name that another file took once the lock was held keeps it from the
// copy; taken during the copy, the output's other name keeps the grid; both names removed, no
// name leads to it. Another file put at the temporary's name as it is renamed is no success,
// and the run's undo never removes it, nor takes a name it cannot look at for gone. Nothing else
// is left in the directory. (The rows of one
// name need a build that replaces such an output.)
TEST(OutputFile, KeepsTheOldOrSaysWhatIsLeft) {
    const std::string kOld(400000, 'o'), kNew(300000, 'n'); // two pieces
    struct Fault {
        sys::Primitives primitives;
        bool twoNames;
        std::string after, reason;        // no reason: the run succeeds
        std::vector<std::string> order{}; // the primitives asked for, where it is checked
        int theirs = 0;                   // files holding another program's "x"
    } faults[] = {
        // clang-format off
        {{.writeAll = [](int fd, const char* data, std::size_t size, std::int64_t at) {
             return at + size > 300000 ? (errno = ENOSPC, false)
                                       : sys::writeAll(fd, data, size, at); }},
         true, kNew, ""},
        {{.lockForWriting = [](int fd) { return replaceName(fd) && sys::lockForWriting(fd); }},
         true, kOld, "replaced by another file before this grid was copied in; nothing changed",
         {}, 1},
        {{.flushData = [](int fd) { return replaceName(fd) && sys::flushData(fd); }}, true, kNew,
         "replaced by another file while this grid was copied in; that file stands; the grid is on "
         "its other names", {}, 1},
        {{.flushData = [](int fd) {
             std::filesystem::remove(nameOf(fd).parent_path() / "other.txt");
             return std::filesystem::remove(nameOf(fd)) && sys::flushData(fd); }}, true, kNew,
         "removed while this grid was copied in; no name leads to the grid"},
        {{.putInPlace = [](auto...) { return errno = EXDEV, false; }}, false, kOld,
         "Invalid cross-device link"},
        {{.putInPlace = [](const sys::Directory& in, const std::string& from, auto...) {
             return takeName(std::filesystem::path(in.path) / from), errno = EXDEV, false; }},
         false, kOld, "Invalid cross-device link", {}, 1},
        {{.putInPlace = [](const sys::Directory& in, const std::string& from,
                           const std::string& to, bool replacing) {
             return takeName(std::filesystem::path(in.path) / from) &&
                    sys::putInPlace(in, from, to, replacing); }},
         false, kOld, "another file took the temporary's name as this grid was put in place; that "
         "file stands", {}, 1},
        {{.reserve = [](auto...) { return errno = ENOSPC, false; }}, true, kOld,
         "No space left on device"},
        {{.writeAll = [](int fd, const char* data, std::size_t size, std::int64_t at) {
             return at > 0 && !isOutput(fd) ? (errno = ENOSPC, false)
                                            : sys::writeAll(fd, data, size, at); }},
         false, kOld, "No space left on device"},
        {{.flushData = [](auto...) { return errno = EIO, false; }}, false, kOld,
         "Input/output error"},
        {{.writeAll = [](int fd, const char* data, std::size_t size, std::int64_t at) {
             return at > 0 && isOutput(fd) ? (errno = ENOSPC, false)
                                           : sys::writeAll(fd, data, size, at); }},
         true, "", "No space left on device"},
        {{.flushData = [](int fd) { return see("flushData"), sys::flushData(fd); },
          .putInPlace = [](const sys::Directory& in, const std::string& from,
                           const std::string& to, bool replacing) {
              bool placed = sys::putInPlace(in, from, to, replacing);
              return see("putInPlace"), std::raise(SIGTERM), placed; },
          .flushDirectory = [](auto...) { return see("flushDirectory"), errno = EIO, false; }},
         false, kNew, "the new grid is in place but may not be on the disk: Input/output error",
         {"flushData", "putInPlace", "flushDirectory"}},
        // clang-format on
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(&fault - faults);
        if (!fault.twoNames && !BRENZOLT_REPLACES)
            continue; // an output of one name is written in place here too
        // Signals as at the start of a run: the commit of a row before ignores them.
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            std::signal(signal, SIG_DFL);
        prepareProcess();
        test::TempDir dir;
        test::writeFile(dir / "out.txt", kOld);
        if (fault.twoNames)
            std::filesystem::create_hard_link(dir / "out.txt", dir / "other.txt");
        std::string reason;
        std::optional<OutputFile> output = openOutputFile(dir / "out.txt", -1, reason);
        seen.clear();
        sys::primitives = fault.primitives;
        sys::primitives.cloneInto = [](auto...) {
            return std::int64_t{0};
        }; // a copy, whatever /tmp shares
        output->text().write(kNew);
        EXPECT_EQ(output->finish(reason), fault.reason.empty());
        sys::primitives = {};
        EXPECT_EQ(reason, fault.reason);
        EXPECT_EQ(seen, fault.order.empty() ? seen : fault.order);
        output.reset();
        int theirs = 0;
        for (const auto& file : std::filesystem::directory_iterator(dir.path)) {
            std::string bytes = test::readFile(file.path());
            theirs += bytes == "x";
            EXPECT_TRUE(bytes == "x" || bytes == fault.after) << file.path();
        }
        EXPECT_EQ(theirs, fault.theirs);
    }
    // A temporary's name that cannot be looked at is not taken for gone: the run names it.
    EXPECT_FALSE(sys::removeIfSame(sys::Directory{.fd = -1, .path = ""}, "out.txt", {}));
}
#endif

} // namespace
} // namespace brenzolt
