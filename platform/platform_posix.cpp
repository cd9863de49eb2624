// The platform layer on POSIX systems.
#include "platform/platform.h"

#include "platform/system.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace brenzolt {

namespace {

FileId fileIdOf(const struct stat& st) {
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool closeChecked(int fd) {
    // After a failed close the descriptor is gone all the same; retrying
    // could close someone else's.
    return ::close(fd) == 0 || errno == EINTR;
}

} // namespace

namespace {

// The temporary output file that a signal must not leave behind. A signal
// handler is given no argument, so this is the one piece of process-wide
// state: set once the file exists, cleared once it is renamed or removed.
struct PendingTemporary {
    char path[4096];
    volatile std::sig_atomic_t armed;
};
PendingTemporary pendingTemporary;

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removeTemporaryAndEnd(int signal) {
    if (pendingTemporary.armed)
        ::unlink(pendingTemporary.path);
    // Ends the process as the signal would have: the caller sees 128 + signal.
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

void armTemporary(const std::string& path) {
    if (path.size() >= sizeof pendingTemporary.path)
        return;
    pendingTemporary.armed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(pendingTemporary.path, path.c_str(), path.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pendingTemporary.armed = 1;
}

void disarmTemporary() {
    pendingTemporary.armed = 0;
}

} // namespace

namespace sys {

int writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

std::int64_t readSome(int fd, void* buffer, std::size_t size, std::int64_t offset, int& error) {
    for (;;) {
        ssize_t n = offset < 0 ? ::read(fd, buffer, size) : ::pread(fd, buffer, size, offset);
        if (n >= 0)
            return n;
        if (errno != EINTR) {
            error = errno;
            return -1;
        }
    }
}

// One byte at a time, so that a script can pipe the answers and keep the
// rest of its input.
std::string readLine(int fd) {
    std::string line;
    char c;
    int error = 0;
    while (line.empty() || line.back() != '\n') {
        if (readSome(fd, &c, 1, -1, error) != 1)
            break;
        line.push_back(c);
    }
    return line;
}

int descriptorIfOpen(int fd) {
    return ::fcntl(fd, F_GETFD) == -1 ? -1 : fd;
}

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

void closeDescriptor(int fd) {
    ::close(fd);
}

std::string reasonOf(int error) {
    return std::strerror(error);
}

} // namespace sys

using sys::reasonOf;

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void prepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
    for (int signal : kCleanupSignals) {
        struct sigaction action {};
        // A signal the caller set to be ignored (nohup, a background job)
        // stays ignored.
        if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            continue;
        action.sa_handler = removeTemporaryAndEnd;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        ::sigaction(signal, &action, nullptr);
    }
}

Console::Console() : Console(STDOUT_FILENO, STDIN_FILENO, STDERR_FILENO) {}

std::optional<std::uint64_t> InputFile::regularFileSize() const {
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::optional<InputFile> openInputFile(const std::string& name, std::string& reason) {
    if (name.empty() || name.find('\0') != std::string::npos) {
        reason = reasonOf(ENOENT);
        return std::nullopt;
    }
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = reasonOf(errno);
        return std::nullopt;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        reason = reasonOf(S_ISDIR(st.st_mode) ? EISDIR : errno);
        ::close(fd);
        return std::nullopt;
    }
    InputFile file;
    file.fd_ = fd;
    file.id_ = fileIdOf(st);
    return file;
}

bool OutputFile::begin() {
    // A regular file written in place gives up its old contents only now.
    if (how_ == How::inPlace && regular_ && ::ftruncate(fd_, 0) != 0)
        return fail(reasonOf(errno));
    begun_ = true;
    writer_ = std::make_unique<TextWriter>(fd_);
    return true;
}

namespace {

bool isTheFileOpened(const std::string& path, const FileId& id) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && fileIdOf(st) == id;
}

// Renames `from` to `to` unless `to` exists; another run may have written
// that name since this one found it free.
bool renameIfFree(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the exclusive rename: a hard link fails on an
    // existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

} // namespace

bool OutputFile::finish() {
    if (fd_ < 0 || !writer_)
        return fail(reasonOf(EBADF));
    if (!writer_->flush())
        return fail(writer_->reason());
    writer_.reset();
    if (how_ == How::consoleOutput) {
        fd_ = -1; // the console's, not ours to close
        return true;
    }
    if (how_ == How::replace && ::fchmod(fd_, permissions_) != 0)
        return fail(reasonOf(errno));
    if (!closeChecked(std::exchange(fd_, -1)))
        return fail(reasonOf(errno));
    if (how_ == How::inPlace)
        return true;
    // Only the file this run opened is replaced: a target that changed
    // meanwhile (another run's grid) stays as it is.
    if (!created_ && !isTheFileOpened(target_, id_))
        return fail("it changed while the grid was written");
    bool renamed = created_ ? renameIfFree(temporary_, target_)
                            : ::rename(temporary_.c_str(), target_.c_str()) == 0;
    if (!renamed)
        return fail(errno == EEXIST ? "it was created while the grid was written"
                                    : reasonOf(errno));
    disarmTemporary();
    temporary_.clear();
    return true;
}

void OutputFile::discard() {
    writer_.reset();
    if (fd_ >= 0 && how_ != How::consoleOutput) {
        // An in-place file already emptied holds only part of a grid: a
        // single name goes; a file shared by hard links is left empty, so
        // that no name shows the partial grid.
        if (how_ == How::inPlace && begun_ && regular_ && shared_)
            (void)::ftruncate(fd_, 0);
        ::close(fd_);
        if (how_ == How::inPlace && begun_ && regular_ && !shared_)
            ::unlink(target_.c_str());
    }
    fd_ = -1;
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        disarmTemporary();
        temporary_.clear();
    }
}

namespace {

// Opens `name` for writing without truncating it, through links as the system
// follows them (its rules for links in shared directories apply); a name not
// there yet, or a link to nothing, is created. `created` says which.
int openForWriting(const std::string& name, bool& created) {
    created = false;
    int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    created = true;
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST)
        return fd;
    // There and not there: a link to nothing, whose target the open creates.
    return ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
}

std::string directoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates the temporary file beside `target`, only for its owner until it
// gets its final permission bits. A name too long for the directory falls
// back to a short one.
int createTemporary(const std::string& target, std::string& temporary) {
    std::string suffix = ".brenzolt-incomplete-" + std::to_string(::getpid());
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string tail = attempt == 0 ? suffix : suffix + "-" + std::to_string(attempt);
        for (const std::string& path : {target + tail, directoryOf(target) + "/" + tail}) {
            int fd =
                ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0) {
                temporary = path;
                return fd;
            }
            if (errno != ENAMETOOLONG)
                break;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

} // namespace

std::optional<OutputFile> openOutputFile(const std::string& name, const Console& consoleOutput,
                                         std::string& reason) {
    if (name.empty() || name.find('\0') != std::string::npos) {
        reason = reasonOf(ENOENT);
        return std::nullopt;
    }
    bool created = false;
    int fd = openForWriting(name, created);
    if (fd < 0) {
        reason = reasonOf(errno);
        return std::nullopt;
    }
    OutputFile file;
    file.fd_ = fd;
    file.created_ = created;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        reason = reasonOf(errno);
        return std::nullopt;
    }
    file.id_ = fileIdOf(st);
    // The console's own standard output (a file or pipe the shell opened;
    // a device such as /dev/null is only written in place).
    struct stat console {};
    if (!S_ISCHR(st.st_mode) && consoleOutput.outputFd_ >= 0 &&
        fstat(consoleOutput.outputFd_, &console) == 0 && fileIdOf(console) == file.id_) {
        ::close(std::exchange(file.fd_, consoleOutput.outputFd_));
        file.how_ = OutputFile::How::consoleOutput;
        return file;
    }
    char resolved[PATH_MAX];
    if (::realpath(name.c_str(), resolved) == nullptr) {
        reason = reasonOf(errno);
        if (created)
            ::unlink(name.c_str());
        return std::nullopt;
    }
    file.target_ = resolved;
    if (created) {
        // The name could be created; it stays free until the grid is
        // complete, so that a failed run has nothing to remove there.
        ::unlink(file.target_.c_str());
    }
    file.regular_ = S_ISREG(st.st_mode);
    file.shared_ = st.st_nlink > 1;
    if (!S_ISREG(st.st_mode) || file.shared_ || st.st_uid != ::geteuid()) {
        file.how_ = OutputFile::How::inPlace;
        return file;
    }
    file.permissions_ = st.st_mode & 07777;
    int temporary = createTemporary(file.target_, file.temporary_);
    if (temporary < 0) {
        int error = errno;
        // A file that may be written but not replaced is written in place.
        if (!created) {
            file.how_ = OutputFile::How::inPlace;
            return file;
        }
        reason = reasonOf(error);
        return std::nullopt;
    }
    armTemporary(file.temporary_);
    ::close(std::exchange(file.fd_, temporary));
    return file;
}

} // namespace brenzolt
