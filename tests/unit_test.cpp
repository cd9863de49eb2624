// The layers on their own, where a whole program run cannot reach: a grid file that shrinks
// while its node lines are written, and the output's primitives made to fail.
#include "app/node_lines.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "tests/support/run.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace brenzolt {
namespace {

// The node lines of a grid of one column, the row number in each row, on one thread and on
// several, written to a file that takes each write late, as a slow disk does, so that the
// threads run ahead until the ring is full: the same text, in order. A file that shrinks after
// its header was checked stops them at the first block that finds its end, and the message
// gives the size it has shrunk to: early in the file, and inside a node of the last block of
// the file, the one read first.
TEST(NodeLines, ComeInOrderOrStopAtAFileThatShrank) {
    constexpr int kRows = 700000;
    std::vector<float> nodes(kRows);
    std::string lines;
    for (int r = 0; r < kRows; ++r) {
        nodes[r] = static_cast<float>(r);
        lines += std::to_string(kRows - 1 - r) + "\r\n";
    }
    const std::string bytes = test::gridFile({1, kRows, 0, 0, 1, -1}, nodes);
    sys::primitives.writeAll = [](int fd, const char* data, std::size_t size, std::int64_t at) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return sys::writeAll(fd, data, size, at);
    };
    for (auto [threads, cut] :
         {std::pair(1, 0), {3, 0}, {7, 0}, {1, 12048}, {3, 12048}, {1, 2800042}, {3, 2800042}}) {
        SCOPED_TRACE(std::to_string(threads) + " threads, cut at " + std::to_string(cut));
        test::TempDir dir;
        std::string name = (dir / "in.grd").string(), reason;
        test::writeFile(name, bytes);
        int file = open(name.c_str(), O_RDWR),
            text = open((dir / "out.txt").string().c_str(), O_WRONLY | O_CREAT, 0644);
        InputFile input = *openInputFile(name, reason);
        GridReader grid;
        ASSERT_EQ(openGrid(input, grid), std::nullopt);
        ASSERT_EQ(ftruncate(file, cut == 0 ? bytes.size() : cut), 0);
        TextWriter writer(text);
        Console console(-1, -1);
        std::optional<ReadError> error =
            writeNodeLines(writer, console, grid, selectNodeFormat("-"), threads);
        close(file);
        close(text);
        if (cut == 0)
            EXPECT_TRUE(!error && test::readFile(dir / "out.txt") == lines);
        else
            EXPECT_EQ(error ? error->detail : "none",
                      "it ends after " + std::to_string(cut) + " of 2800048 bytes");
    }
    sys::primitives = {};
}

// The primitives the seam was asked for in a row, in order; how often so far for this one.
std::vector<std::string> seen;
std::mutex seenLock; // outputs finished together flush on several threads
long see(const std::string& primitive) {
    std::lock_guard lock(seenLock);
    seen.push_back(primitive);
    return std::ranges::count(seen, primitive);
}

bool failing(int error) {
    sys::setLastError(error);
    return false;
}

// Whether the grid is written whole into the run's own file (beside the output, or aside).
bool written = false;

// Another program saves a file of its own, "x", under `name`, or under the output's name.
std::filesystem::path outputName;
[[maybe_unused]] bool takeName(const std::filesystem::path& name) {
    test::writeFile(name.string() + "~", "x");
    std::filesystem::rename(name.string() + "~", name);
    return true;
}
[[maybe_unused]] bool replaceName(int) {
    return takeName(outputName);
}

// Signals as at the start of a run (the commit of a row before ignores them); a termination
// signal now. Windows has no such signals: a console program ends by its console.
void resetSignals() {
#ifndef _WIN32
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, SIG_DFL);
#endif
    prepareProcess();
}
void signalTermination() {
#ifndef _WIN32
    std::raise(SIGTERM);
#endif
}

// Each primitive of the output's last steps made to fail, the old output longer than the grid:
// room that cannot be reserved, a write of the grid beside it that finds the disk full, a failed
// flush of the grid and a failed rename leave the output as it was; a copy into an output
// written in place leaves none of the old behind on any name, writes no byte past the grid, and
// one that fails at its last piece, the room reserved, leaves it empty on every name, never
// partly written; a failed directory flush leaves the new grid in place and says so. The grid is
// flushed before the rename, the directory after it, and a signal right after the rename comes
// too late to stop the run. An output's name that another file took once the lock was held
// keeps it from the copy; taken during the copy, the output's other name keeps the grid; both
// names removed, no name leads to it (not on Windows, where no program replaces a file held
// open). Another file put at the temporary's name as it is renamed is no success, and the run's
// undo never removes it, nor takes a name it cannot look at for gone. Nothing else is left in
// the directory. The errors are each system's own. (The rows of one name need a build that
// replaces such an output.)
TEST(OutputFile, KeepsTheOldOrSaysWhatIsLeft) {
    const std::string kOld(400000, 'o'), kNew(300000, 'n'); // two pieces
    const std::string kNoSpace = sys::reasonOf(sys::kNoSpace),
                      kIoError = sys::reasonOf(sys::kIoError);
    struct Fault {
        sys::Primitives primitives;
        bool twoNames;
        std::string after, reason;        // no reason: the run succeeds
        std::vector<std::string> order{}; // the primitives asked for, where it is checked
        int theirs = 0;                   // files holding another program's "x"
    } faults[] = {
        // clang-format off
        {{.writeAll = [](int fd, const char* data, std::size_t size, std::int64_t at) {
             return at + size > 300000 ? failing(sys::kNoSpace) : sys::writeAll(fd, data, size, at); }},
         true, kNew, ""},
        {{.writeAll = [](int fd, const char* data, std::size_t size, std::int64_t at) {
             return !written && at > 0 ? failing(sys::kNoSpace) : sys::writeAll(fd, data, size, at); }},
         false, kOld, kNoSpace},
        {{.putInPlace = [](auto...) { return failing(sys::kIoError); }}, false, kOld, kIoError},
        {{.flushData = [](int) { return failing(sys::kIoError); }}, false, kOld, kIoError},
        {{.reserve = [](auto...) { return failing(sys::kNoSpace); }}, true, kOld, kNoSpace},
        {{.writeAll = [](int fd, const char* data, std::size_t size, std::int64_t at) {
             return written && see("writeAll") == 2 ? failing(sys::kNoSpace)
                                                    : sys::writeAll(fd, data, size, at); }},
         true, "", kNoSpace},
        {{.flushData = [](int fd) { return see("flushData"), sys::flushData(fd); },
          .putInPlace = [](const sys::Directory& in, const std::string& from,
                           const std::string& to, bool replacing) {
              bool placed = sys::putInPlace(in, from, to, replacing);
              return see("putInPlace"), signalTermination(), placed; },
          .flushDirectory = [](auto...) { return see("flushDirectory"), failing(sys::kIoError); }},
         false, kNew, "the new grid is in place but may not be on the disk: " + kIoError,
         {"flushData", "putInPlace", "flushDirectory"}},
#ifdef _WIN32
        // Room that no disk has, asked of the system's own reserve.
        {{.reserve = [](int fd, std::uint64_t) { return sys::reserve(fd, std::uint64_t{1} << 60); }},
         true, kOld, kNoSpace},
#else
        {{.lockForWriting = [](int fd) { return replaceName(fd) && sys::lockForWriting(fd); }},
         true, kOld, "replaced by another file before this grid was copied in; nothing changed",
         {}, 1},
        {{.flushData = [](int fd) { return written && replaceName(fd) && sys::flushData(fd); }},
         true, kNew, "replaced by another file while this grid was copied in; that file stands; "
         "the grid is on its other names", {}, 1},
        {{.flushData = [](int fd) {
             if (written) {
                 std::filesystem::remove(outputName.parent_path() / "other.txt");
                 std::filesystem::remove(outputName);
             }
             return sys::flushData(fd); }}, true, kNew,
         "removed while this grid was copied in; no name leads to the grid"},
        {{.putInPlace = [](const sys::Directory& in, const std::string& from, auto...) {
             return takeName(std::filesystem::path(in.path) / from), failing(sys::kIoError); }},
         false, kOld, kIoError, {}, 1},
        {{.putInPlace = [](const sys::Directory& in, const std::string& from,
                           const std::string& to, bool replacing) {
             return takeName(std::filesystem::path(in.path) / from) &&
                    sys::putInPlace(in, from, to, replacing); }},
         false, kOld, "another file took the temporary's name as this grid was put in place; that "
         "file stands", {}, 1},
#endif
        // clang-format on
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(&fault - faults);
        if (!fault.twoNames && !BRENZOLT_REPLACES)
            continue; // an output of one name is written in place here too
        resetSignals();
        test::TempDir dir;
        outputName = dir / "out.txt";
        test::writeFile(outputName, kOld);
        if (fault.twoNames)
            std::filesystem::create_hard_link(outputName, dir / "other.txt");
        std::string reason;
        std::optional<OutputFile> output = openOutputFile(outputName.string(), -1, reason);
        written = false;
        sys::primitives = fault.primitives;
        sys::primitives.cloneInto = [](auto...) {
            return std::int64_t{0};
        }; // a copy, whatever /tmp shares
        output->text().write(kNew);
        if (output->text().flush())
            written = true;
        seen.clear();
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
#ifndef _WIN32
    // A temporary's name that cannot be looked at is not taken for gone: the run names it.
    EXPECT_FALSE(sys::removeIfSame(sys::Directory{.fd = -1, .path = ""}, "out.txt", {}));
#endif
}

#ifdef __linux__ // a signal as Linux raises it
// Outputs finished together: every grid is flushed before the first is put in place, and their
// directory once, after the last; one whose flush fails stays as it was, and the others go in
// place. A signal at the first rename waits for the whole group, then ends the process as it
// says. Nothing else is left in the directory.
TEST(OutputFile, FinishedTogetherFlushAllFirstAndWaitOutASignal) {
    if (!BRENZOLT_REPLACES)
        GTEST_SKIP() << "an output of one name is written in place here";
    test::TempDir dir;
    auto finish = [&](bool signal) {
        std::vector<OutputFile> outputs;
        std::string reason;
        for (std::string name : {"a.txt", "b.txt", "c.txt"}) {
            test::writeFile(dir / name, "old");
            outputs.push_back(*openOutputFile(dir / name, -1, reason));
            outputs.back().text().write("new " + name + (name == "b.txt" ? ", longer" : ""));
            EXPECT_TRUE(outputs.back().prepare(reason));
        }
        sys::primitives = {.flushData =
                               [](int fd) { // b.txt's, the longer grid, fails
                                   struct stat st {};
                                   see("flushData");
                                   return ::fstat(fd, &st) != 0 || st.st_size != 17 ||
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
