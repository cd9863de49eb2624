#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace brenzolt {

namespace {

// Writes the whole range, retrying interrupted and partial writes.
bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

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

std::string reasonOf(int error) {
    return std::strerror(error);
}

} // namespace

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

TextWriter::TextWriter(int fd)
    : fd_(fd), begin_(new char[kOutputBufferSize]), end_(begin_),
      capacityEnd_(begin_ + kOutputBufferSize) {}

TextWriter::~TextWriter() {
    delete[] begin_;
}

void TextWriter::drain() {
    std::size_t size = static_cast<std::size_t>(end_ - begin_);
    if (error_ == 0 && !writeAll(fd_, begin_, size))
        error_ = errno != 0 ? errno : EIO;
    end_ = begin_;
}

bool TextWriter::flush() {
    drain();
    return error_ == 0;
}

std::string TextWriter::reason() const {
    return reasonOf(error_);
}

void TextWriter::put(char c) {
    if (capacityEnd_ - end_ < 2)
        drain();
    if (c == '\n')
        *end_++ = '\r';
    *end_++ = c;
}

void TextWriter::write(std::string_view text) {
    for (char c : text)
        put(c);
}

namespace {

// A console stream that the caller of the program left closed stays closed:
// the files the run opens later take over the lowest free descriptor numbers,
// and the console must neither read its answers from the input grid nor write
// its messages into the output file.
int descriptorIfOpen(int fd) {
    return ::fcntl(fd, F_GETFD) == -1 ? -1 : fd;
}

} // namespace

Console::Console() : Console(STDOUT_FILENO, STDIN_FILENO, STDERR_FILENO) {}

Console::Console(int outputFd, int inputFd, int errorFd)
    : out_(descriptorIfOpen(outputFd)), outputFd_(descriptorIfOpen(outputFd)),
      inputFd_(descriptorIfOpen(inputFd)), errorFd_(descriptorIfOpen(errorFd)),
      terminal_(::isatty(outputFd) == 1) {}

void Console::moveToStandardError() {
    out_.redirect(errorFd_);
    terminal_ = ::isatty(errorFd_) == 1;
}

void Console::reportFailure(const std::string& name, const std::string& reason) {
    out_.flush(); // in the order it happened, where both streams meet
    TextWriter error(errorFd_);
    error.write("brenzolt: " + name + ": " + reason + "\n");
    error.flush();
}

void Console::progressDot() {
    out_.put('.');
    if (!terminal_)
        return;
    constexpr std::int64_t kDotInterval = 200'000'000; // five times a second
    std::int64_t now = monotonicNanoseconds();
    if (now - lastFlushNanoseconds_ >= kDotInterval) {
        out_.flush();
        lastFlushNanoseconds_ = now;
    }
}

std::string Console::readAnswer() {
    out_.flush();
    std::string answer;
    for (;;) {
        char c;
        ssize_t n = ::read(inputFd_, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return answer;
        if (c == '\n')
            break;
        answer.push_back(c);
    }
    // Standard input is a text stream: a CR LF pair arrives as a line feed.
    // A lone CR elsewhere stays part of the answer.
    if (!answer.empty() && answer.back() == '\r')
        answer.pop_back();
    return answer;
}

InputFile::~InputFile() {
    close();
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), id_(other.id_), reason_(std::move(other.reason_)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        id_ = other.id_;
        reason_ = std::move(other.reason_);
    }
    return *this;
}

void InputFile::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::optional<std::uint64_t> InputFile::regularFileSize() const {
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

InputFile::ReadStatus InputFile::read(void* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (got < size) {
        // Large requests go in pieces of at most 1 GiB, which every kernel takes.
        std::size_t piece = std::min<std::size_t>(size - got, std::size_t{1} << 30);
        ssize_t n = ::read(fd_, bytes + got, piece);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            reason_ = reasonOf(errno);
            return ReadStatus::error;
        }
        if (n == 0)
            return ReadStatus::endOfFile;
        got += static_cast<std::size_t>(n);
    }
    return ReadStatus::complete;
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

OutputFile::~OutputFile() {
    discard();
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : how_(other.how_), fd_(std::exchange(other.fd_, -1)), target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)), id_(other.id_), created_(other.created_),
      begun_(other.begun_), regular_(other.regular_), shared_(other.shared_),
      permissions_(other.permissions_), writer_(std::move(other.writer_)),
      reason_(std::move(other.reason_)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        discard();
        how_ = other.how_;
        fd_ = std::exchange(other.fd_, -1);
        target_ = std::move(other.target_);
        temporary_ = std::move(other.temporary_);
        id_ = other.id_;
        created_ = other.created_;
        begun_ = other.begun_;
        regular_ = other.regular_;
        shared_ = other.shared_;
        permissions_ = other.permissions_;
        writer_ = std::move(other.writer_);
        reason_ = std::move(other.reason_);
    }
    return *this;
}

bool OutputFile::isSameFileAs(const InputFile& input) const {
    return fd_ >= 0 && input.fd_ >= 0 && id_ == input.id_;
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

bool OutputFile::fail(std::string reason) {
    reason_ = std::move(reason);
    discard();
    return false;
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
