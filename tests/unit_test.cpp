// The layers on their own, where a whole program run cannot reach: a grid file that shrinks
// while its node lines are written, and the output's primitives made to fail.
#include "app/node_lines.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "tests/support/run.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
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
std::mutex seenLock; // outputs finished together flush on several threads
long see(const std::string& primitive) {
    std::lock_guard lock(seenLock);
    seen.push_back(primitive);
    return std::ranges::count(seen, primitive);
}

// Another program saves a file of its own under the name of the output open as `fd`.
bool replaceName(int fd) {
    std::filesystem::path name =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
    test::writeFile(name.string() + "~", "x");
    std::filesystem::rename(name.string() + "~", name);
    return true;
}

// Each primitive of the output's last steps made to fail, the old output longer than the grid:
// room that cannot be reserved and a failed rename leave the output as it was; a copy into an
// output written in place leaves none of the old behind on any name, writes no byte past the
// grid, and one that fails at its last piece, the room reserved, leaves it empty on every name,
// never partly written; a failed directory flush leaves the new grid in place and says so. The
// grid is flushed before the rename, the directory after it, and a signal right after the
// rename comes too late to stop the run. An output's name that another file took once the lock
// was held keeps it from the copy; taken during the copy, the output's other name keeps the
// grid. Nothing else is left in the directory.
TEST(OutputFile, KeepsTheOldOrSaysWhatIsLeft) {
    const std::string kOld(400000, 'o'), kNew(300000, 'n'); // two pieces
    struct Fault {
        sys::Primitives primitives;
        bool twoNames;
        std::string after, reason;        // no reason: the run succeeds
        std::vector<std::string> order{}; // the primitives asked for, where it is checked
        std::string atName = "";          // what out.txt holds, where another file took it
    } faults[] = {
        // clang-format off
        {{.writeAll = [](int fd, const char* data, std::size_t size, std::int64_t at) {
             return at + size > 300000 ? (errno = ENOSPC, false)
                                       : sys::writeAll(fd, data, size, at); }},
         true, kNew, ""},
        {{.lockForWriting = [](int fd) { return replaceName(fd) && sys::lockForWriting(fd); }},
         true, kOld, "replaced by another file before this grid was copied in; nothing changed",
         {}, "x"},
        {{.flushData = [](int fd) { return replaceName(fd) && sys::flushData(fd); }}, true, kNew,
         "replaced by another file while this grid was copied in; that file stands; the grid is on "
         "its other names", {}, "x"},
        {{.putInPlace = [](auto...) { return errno = EXDEV, false; }}, false, kOld,
         "Invalid cross-device link"},
        {{.reserve = [](auto...) { return errno = ENOSPC, false; }}, true, kOld,
         "No space left on device"},
        {{.writeAll = [](int fd, const char* data, std::size_t size, std::int64_t at) {
             return see("writeAll") == 2 ? (errno = ENOSPC, false) : sys::writeAll(fd, data, size, at); }},
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
        output->text().write(kNew);
        ASSERT_TRUE(output->text().flush());
        sys::primitives = fault.primitives;
        sys::primitives.cloneInto = [](auto...) {
            return std::int64_t{0};
        }; // a copy, whatever /tmp shares
        seen.clear();
        EXPECT_EQ(output->finish(reason), fault.reason.empty());
        sys::primitives = {};
        EXPECT_EQ(reason, fault.reason);
        EXPECT_EQ(seen, fault.order.empty() ? seen : fault.order);
        output.reset();
        for (const auto& file : std::filesystem::directory_iterator(dir.path))
            EXPECT_TRUE(test::readFile(file.path()) ==
                        (file.path().filename() == "out.txt" && !fault.atName.empty()
                             ? fault.atName
                             : fault.after))
                << file.path();
    }
}

// Outputs finished together: every grid is flushed before the first is put in place, and their
// directory once, after the last; one whose flush fails stays as it was, and the others go in
// place. A signal at the first rename waits for the whole group, then ends the process as it
// says. Nothing else is left in the directory.
TEST(OutputFile, FinishedTogetherFlushAllFirstAndWaitOutASignal) {
    test::TempDir dir;
    auto finish = [&](bool signal) {
        std::vector<OutputFile> outputs;
        std::string reason;
        for (std::string name : {"a.txt", "b.txt", "c.txt"}) {
            test::writeFile(dir / name, "old");
            outputs.push_back(*openOutputFile(dir / name, -1, reason));
            outputs.back().text().write("new " + name);
            EXPECT_TRUE(outputs.back().prepare(reason));
        }
        sys::primitives = {.flushData =
                               [](int fd) { // b.txt's fails
                                   see("flushData");
                                   return !std::filesystem::read_symlink("/proc/self/fd/" +
                                                                         std::to_string(fd))
                                               .filename()
                                               .string()
                                               .starts_with("b.txt") ||
                                          (errno = EIO, false);
                               },
                           .putInPlace =
                               [](const sys::Directory& in, const std::string& from,
                                  const std::string& to, bool replacing) {
                                   return see("putInPlace"), std::raise(SIGTERM),
                                          sys::putInPlace(in, from, to, replacing);
                               },
                           .flushDirectory = [](auto...) { return see("flushDirectory") > 0; }};
        std::signal(SIGTERM, signal ? SIG_DFL : SIG_IGN);
        prepareProcess();
        std::vector<std::string> reasons(3);
        std::vector<bool> done = finishTogether(outputs, reasons);
        sys::primitives = {};
        EXPECT_EQ(done, std::vector<bool>({true, false, true}));
        EXPECT_EQ(reasons, std::vector<std::string>({"", "Input/output error", ""}));
    };
    seen.clear();
    finish(false);
    EXPECT_EQ(seen, std::vector<std::string>({"flushData", "flushData", "flushData", "putInPlace",
                                              "putInPlace", "flushDirectory"}));
    EXPECT_EXIT(finish(true), testing::KilledBySignal(SIGTERM), "");
    std::signal(SIGTERM, SIG_DFL);
    for (const auto& file : std::filesystem::directory_iterator(dir.path))
        EXPECT_EQ(test::readFile(file.path()), file.path().filename() == "b.txt"
                                                   ? "old"
                                                   : "new " + file.path().filename().string());
}
#endif

} // namespace
} // namespace brenzolt
