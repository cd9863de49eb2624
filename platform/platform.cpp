// The platform layer's code that is the same on every system; the system
// calls are behind platform/system.h.
#include "platform/platform.h"

#include "platform/system.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace brenzolt {

TextWriter::TextWriter(int fd)
    : fd_(fd), begin_(new char[kOutputBufferSize]), end_(begin_),
      capacityEnd_(begin_ + kOutputBufferSize) {}

TextWriter::~TextWriter() {
    delete[] begin_;
}

void TextWriter::drain() {
    std::size_t size = static_cast<std::size_t>(end_ - begin_);
    if (error_ == 0)
        error_ = sys::writeAll(fd_, begin_, size);
    end_ = begin_;
}

bool TextWriter::flush() {
    drain();
    return error_ == 0;
}

std::string TextWriter::reason() const {
    return sys::reasonOf(error_);
}

void TextWriter::put(char c) {
    if (static_cast<std::size_t>(capacityEnd_ - end_) < kLineEnd.size())
        drain();
    if (c == '\n')
        end_ = std::copy(kLineEnd.begin(), kLineEnd.end(), end_);
    else
        *end_++ = c;
}

void TextWriter::writeLines(std::string_view lines) {
    drain();
    if (error_ == 0)
        error_ = sys::writeAll(fd_, lines.data(), lines.size());
}

void TextWriter::write(std::string_view text) {
    // Long texts (whole blocks of node lines) go by spans between line feeds.
    while (!text.empty()) {
        std::size_t room = static_cast<std::size_t>(capacityEnd_ - end_);
        if (room < 2) {
            drain();
            continue;
        }
        std::string_view piece = text.substr(0, room - 1);
        const void* lineFeed = std::memchr(piece.data(), '\n', piece.size());
        std::size_t span =
            lineFeed == nullptr
                ? piece.size()
                : static_cast<std::size_t>(static_cast<const char*>(lineFeed) - piece.data());
        std::memcpy(end_, piece.data(), span);
        end_ += span;
        text.remove_prefix(span);
        if (lineFeed != nullptr) {
            end_ = std::copy(kLineEnd.begin(), kLineEnd.end(), end_);
            text.remove_prefix(1);
        }
    }
}

// A console stream that the caller of the program left closed stays closed:
// the files the run opens later take over the lowest free descriptor numbers,
// and the console must neither read its answers from the input grid nor write
// its messages into the output file.
Console::Console(int outputFd, int inputFd, int errorFd)
    : out_(sys::descriptorIfOpen(outputFd)), outputFd_(sys::descriptorIfOpen(outputFd)),
      inputFd_(sys::descriptorIfOpen(inputFd)), errorFd_(sys::descriptorIfOpen(errorFd)),
      terminal_(sys::isTerminal(outputFd)) {}

void Console::moveToStandardError() {
    out_.redirect(errorFd_);
    terminal_ = sys::isTerminal(errorFd_);
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
    std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    if (now - lastFlushNanoseconds_ >= kDotInterval) {
        out_.flush();
        lastFlushNanoseconds_ = now;
    }
}

std::string Console::readAnswer() {
    out_.flush();
    std::string answer = sys::readLine(inputFd_);
    // Standard input is a text stream: a CR LF pair arrives as a line feed.
    // A lone CR elsewhere, even at the end of input, stays part of the answer.
    if (answer.ends_with("\r\n"))
        answer.resize(answer.size() - 2);
    else if (answer.ends_with('\n'))
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
        sys::closeDescriptor(fd_);
    fd_ = -1;
}

InputFile::ReadStatus InputFile::read(void* buffer, std::size_t size, std::size_t& got,
                                      std::string& reason) {
    return readFrom(-1, buffer, size, got, reason);
}

InputFile::ReadStatus InputFile::readAt(std::uint64_t offset, void* buffer, std::size_t size,
                                        std::size_t& got, std::string& reason) const {
    return readFrom(static_cast<std::int64_t>(offset), buffer, size, got, reason);
}

InputFile::ReadStatus InputFile::readFrom(std::int64_t offset, void* buffer, std::size_t size,
                                          std::size_t& got, std::string& reason) const {
    got = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (got < size) {
        // Large requests go in pieces of at most 1 GiB, which every kernel takes.
        std::size_t piece = std::min<std::size_t>(size - got, std::size_t{1} << 30);
        int error = 0;
        std::int64_t n =
            sys::readSome(fd_, bytes + got, piece,
                          offset < 0 ? -1 : offset + static_cast<std::int64_t>(got), error);
        if (n < 0) {
            reason = sys::reasonOf(error);
            return ReadStatus::error;
        }
        if (n == 0)
            return ReadStatus::endOfFile;
        got += static_cast<std::size_t>(n);
    }
    return ReadStatus::complete;
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

bool OutputFile::fail(std::string reason) {
    reason_ = std::move(reason);
    discard();
    return false;
}

} // namespace brenzolt
