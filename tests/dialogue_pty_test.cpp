// An interactive session on a pseudo-terminal: each prompt must be on the
// screen before the user types the answer to it.
#include "tests/support/e2e.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

namespace brenzolt::test {
namespace {

using Clock = std::chrono::steady_clock;

// Long enough for a loaded machine running the sanitizer build; the test
// only waits this long when a prompt never comes.
constexpr auto kPatience = std::chrono::seconds(20);

// The program on the slave side of a terminal that reads whole lines, as a
// console does, but neither echoes the typed answers nor turns the program's
// "\n" into "\r\n", so that the screen shows exactly what the program wrote.
class TerminalSession {
  public:
    TerminalSession(const std::filesystem::path& workdir, const std::vector<std::string>& arguments)
        : deadline_(Clock::now() + kPatience) {
        int slave = -1;
        if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        termios mode{};
        tcgetattr(slave, &mode);
        mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
        mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tcsetattr(slave, TCSANOW, &mode);

        CommandLine command = brenzoltCommand(arguments);

        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            close(master_);
            if (login_tty(slave) != 0 || chdir(workdir.c_str()) != 0)
                _exit(127);
            execv(command.argv()[0], command.argv());
            _exit(127);
        }
        close(slave);
    }

    ~TerminalSession() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(master_);
    }

    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;

    // Reads the screen until it ends with `prompt`; false when the deadline
    // passes or the program closes the terminal first.
    bool waitFor(const std::string& prompt) {
        while (!screen_.ends_with(prompt))
            if (!readSome())
                return false;
        return true;
    }

    // Types a line as a user does: the Enter key sends a CR, which the
    // terminal hands on as a line feed.
    void type(const std::string& line) {
        std::string keys = line + "\r";
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Reads the rest of the screen and waits for the program to end; the exit
    // status, or -1 when it did not end normally before the deadline.
    int finish() {
        while (readSome()) {
        }
        int wstatus = 0;
        while (waitpid(pid_, &wstatus, WNOHANG) == 0) {
            if (Clock::now() >= deadline_)
                return -1;
            usleep(10'000);
        }
        pid_ = -1;
        return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    }

    const std::string& screen() const { return screen_; }

  private:
    // One read of what the program wrote; false at the deadline or when the
    // terminal is closed.
    bool readSome() {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd watch{master_, POLLIN, 0};
        int ready = poll(&watch, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            return true;
        if (ready <= 0)
            return false;
        char buffer[4096];
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) // EIO once the program has closed its end
            return false;
        screen_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    Clock::time_point deadline_;
    std::string screen_;
};

TEST(DialogueOnATerminal, ShowsEachPromptBeforeTheAnswerIsTyped) {
    TempDir dir;
    writeFile(dir / "in.grd", gridFile({3, 2, 10, 20, 5, 0, 0, 1, 9, 0, 0, 0}, {1, 2, 3, 4, 5, 6}));
    TerminalSession session(dir.path(), {});

    std::string expected = kBanner +
                           "\r\nusage: brenzolt <binary file> <Surfer-Ascii-file> [<precision>]"
                           "\r\n\r\n\r\ninput file : ";
    ASSERT_TRUE(session.waitFor("input file : ")) << session.screen();
    EXPECT_EQ(session.screen(), expected);
    session.type("nothere.grd");

    expected += "\r\noutput file : ";
    ASSERT_TRUE(session.waitFor("output file : ")) << session.screen();
    EXPECT_EQ(session.screen(), expected);
    session.type("out.txt");

    expected += "\r\nerror opening input file nothere.grd \r\r\nplease enter input file name: ";
    ASSERT_TRUE(session.waitFor("please enter input file name: ")) << session.screen();
    EXPECT_EQ(session.screen(), expected);
    session.type("in.grd");

    EXPECT_EQ(session.finish(), 0);
    EXPECT_EQ(session.screen(), expected + "\r\r\n" + kRecordSize + "..\r\n");
    EXPECT_EQ(readFile(dir / "out.txt"),
              crlf("DSAA\n3\t2\n10\t20\n20\t25\n1\t9\n4\t5\t6\n1\t2\t3\n"));
}

} // namespace
} // namespace brenzolt::test
