#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
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

void prepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
}

TextWriter::TextWriter(int fd)
    : fd_(fd), begin_(new char[kOutputBufferSize]), end_(begin_),
      capacityEnd_(begin_ + kOutputBufferSize) {}

TextWriter::~TextWriter() {
    delete[] begin_;
}

void TextWriter::drain() {
    std::size_t size = static_cast<std::size_t>(end_ - begin_);
    if (!failed_ && !writeAll(fd_, begin_, size))
        failed_ = true;
    end_ = begin_;
}

bool TextWriter::flush() {
    drain();
    return !failed_;
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

Console::Console() : Console(STDOUT_FILENO, STDIN_FILENO) {}

Console::Console(int outputFd, int inputFd)
    : out_(descriptorIfOpen(outputFd)), inputFd_(descriptorIfOpen(inputFd)),
      terminal_(::isatty(outputFd) == 1) {}

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
    : fd_(std::exchange(other.fd_, -1)), id_(other.id_) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        id_ = other.id_;
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
            return ReadStatus::error;
        }
        if (n == 0)
            return ReadStatus::endOfFile;
        got += static_cast<std::size_t>(n);
    }
    return ReadStatus::complete;
}

std::optional<InputFile> openInputFile(const std::string& name) {
    if (name.empty() || name.find('\0') != std::string::npos)
        return std::nullopt;
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
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
    : fd_(std::exchange(other.fd_, -1)), name_(std::move(other.name_)), created_(other.created_),
      regular_(other.regular_), begun_(other.begun_), id_(other.id_),
      writer_(std::move(other.writer_)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        discard();
        fd_ = std::exchange(other.fd_, -1);
        name_ = std::move(other.name_);
        created_ = other.created_;
        regular_ = other.regular_;
        begun_ = other.begun_;
        id_ = other.id_;
        writer_ = std::move(other.writer_);
    }
    return *this;
}

bool OutputFile::isSameFileAs(const InputFile& input) const {
    return isOpen() && input.isOpen() && id_ == input.id_;
}

bool OutputFile::begin() {
    if (regular_ && ::ftruncate(fd_, 0) != 0)
        return false;
    begun_ = true;
    writer_ = std::make_unique<TextWriter>(fd_);
    return true;
}

bool OutputFile::finish() {
    bool written = writer_ && writer_->flush();
    int fd = std::exchange(fd_, -1);
    bool closed = closeChecked(fd);
    writer_.reset();
    if (written && closed)
        return true;
    // The file is incomplete: keep nothing of it.
    if (regular_ && (created_ || begun_))
        ::unlink(name_.c_str());
    return false;
}

void OutputFile::discard() {
    if (fd_ < 0)
        return;
    writer_.reset();
    ::close(std::exchange(fd_, -1));
    if (regular_ && (created_ || begun_))
        ::unlink(name_.c_str());
}

namespace {

// The file a symbolic link names, as a path usable from here; empty when
// `path` is no link.
std::string linkTarget(const std::string& path) {
    std::string target(4096, '\0');
    ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) == target.size())
        return {};
    target.resize(static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    if (target.front() != '/' && slash != std::string::npos)
        target.insert(0, path, 0, slash + 1);
    return target;
}

// Opens `path` for writing without truncating it, creating the file only if
// it is not there, so that we know whether a failed run must remove it. A
// symbolic link to a file not there yet creates that file, as any
// create-or-truncate open does; `path` then names the file itself, so that
// removing it removes the file and not the link.
int openOrCreate(std::string& path, bool& created) {
    constexpr int kMaxLinks = 40;
    for (int links = 0; links < kMaxLinks; ++links) {
        created = true;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
        created = false;
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        // There and not there: a link to nothing.
        std::string target = linkTarget(path);
        if (target.empty())
            return -1;
        path = std::move(target);
    }
    return -1;
}

} // namespace

std::optional<OutputFile> openOutputFile(const std::string& name) {
    if (name.empty() || name.find('\0') != std::string::npos)
        return std::nullopt;
    std::string path = name;
    bool created = false;
    int fd = openOrCreate(path, created);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        if (created)
            ::unlink(path.c_str());
        return std::nullopt;
    }
    OutputFile file;
    file.fd_ = fd;
    file.name_ = path;
    file.created_ = created;
    file.regular_ = S_ISREG(st.st_mode);
    file.id_ = fileIdOf(st);
    return file;
}

} // namespace brenzolt
