#include "platform/text_writer.h"

#include "platform/system.h"

#include <algorithm>
#include <cstring>

namespace brenzolt {

TextWriter::TextWriter(int fd, bool building)
    : fd_(fd), buffer_(new char[kOutputBufferSize]), begin_(buffer_.get()), end_(begin_),
      capacityEnd_(begin_ + kOutputBufferSize), building_(building) {}

void TextWriter::keepFirstError() {
    int none = 0;
    error_.compare_exchange_strong(none, sys::lastError());
}

// A file being built is written at offsets: where its lines go never depends
// on a file position.
void TextWriter::put(std::string_view lines) {
    std::uint64_t offset = written_;
    written_ += lines.size();
    if (failed())
        return;
    if (!sys::primitives.writeAll(fd_, lines.data(), lines.size(),
                                  building_ ? std::int64_t(offset) : -1))
        keepFirstError();
    // As a database flushes behind its writes: the disk starts early, and the
    // dirty pages never pile up for one long wait at the end. Each write that
    // ends past a step boundary starts the step before it, while the system
    // takes such a request for this file.
    constexpr std::uint64_t kWritebackStep = 8 << 20;
    std::uint64_t boundary = written_ / kWritebackStep * kWritebackStep;
    if (building_ && writingBack_ && boundary > offset && boundary >= kWritebackStep)
        writingBack_ = sys::startWriteback(fd_, boundary - kWritebackStep, kWritebackStep);
}

void TextWriter::drain() {
    std::string_view buffered(begin_, static_cast<std::size_t>(end_ - begin_));
    end_ = begin_;
    put(buffered);
}

bool TextWriter::flush() {
    drain();
    return !failed();
}

std::string TextWriter::reason() const {
    return sys::reasonOf(error_);
}

void TextWriter::writeLines(std::string_view lines) {
    drain();
    put(lines);
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
        std::size_t span = std::min(piece.find('\n'), piece.size());
        std::memcpy(end_, piece.data(), span);
        end_ += span;
        text.remove_prefix(span);
        if (span < piece.size()) { // a line feed
            end_ = std::copy(kLineEnd.begin(), kLineEnd.end(), end_);
            text.remove_prefix(1);
        }
    }
}

} // namespace brenzolt
