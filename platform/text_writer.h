// The text writer: a buffered stream of text on a descriptor it does not own,
// for the console and for the output grid.
//
//  - Every '\n' written as text becomes kLineEnd; a '\r' already in the text
//    passes unchanged. Lines that already end in kLineEnd go as they are.
//  - Output leaves in blocks of kOutputBufferSize bytes. A failed write is
//    sticky: every later write is skipped, `failed()` turns true, and
//    `reason()` gives the system's words for the first failure, whichever
//    thread met it. That is the writer's one way of failing: a stream fails
//    after the call that caused it, so it is asked, not told.
//  - One thread writes at a time; threads may take turns, each handing the
//    writer over to the next (the node lines' threads do).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace brenzolt {

inline constexpr std::size_t kOutputBufferSize = 256 * 1024;

// How a text stream ends a line in the file: what '\n' becomes.
inline constexpr std::string_view kLineEnd = "\r\n";

// How the system ends a line: in the lines for scripts and logs (help, the
// version, the "brenzolt: ..." lines on standard error), which a shell reads.
#ifdef _WIN32
inline constexpr std::string_view kSystemLineEnd = "\r\n";
#else
inline constexpr std::string_view kSystemLineEnd = "\n";
#endif

// The line that scripts and logs read on standard error, "brenzolt: SUBJECT:
// TEXT" ("brenzolt: TEXT" without a subject) and the system's line end,
// handed whole to `write`, for one write. A short one is built on the stack:
// the line that says memory ran out needs none.
template <class Write>
void lineForScripts(std::optional<std::string_view> subject, std::string_view text, Write write) {
    std::string_view parts[] = {"brenzolt: ", subject.value_or(""), subject ? ": " : "", text,
                                kSystemLineEnd};
    std::size_t size = 0;
    for (std::string_view part : parts)
        size += part.size();
    char shortLine[128];
    std::unique_ptr<char[]> longLine(size > sizeof shortLine ? new char[size] : nullptr);
    char* end = longLine ? longLine.get() : shortLine;
    for (std::string_view part : parts)
        end = std::copy(part.begin(), part.end(), end);
    write(std::string_view(end - size, size));
}

class TextWriter {
  public:
    // `building`: the file is a regular file this run builds. It starts each
    // few MiB on its way to the disk as it is written, so that a final flush
    // waits only for the tail.
    explicit TextWriter(int fd, bool building = false);

    void write(std::string_view text); // '\n' becomes "\r\n"
    // Text whose lines already end in kLineEnd, written as it is, without a
    // copy when the buffer is empty.
    void writeLines(std::string_view lines);

    bool flush(); // writes out the buffer; false after any failed write
    bool failed() const { return error_.load(std::memory_order_relaxed) != 0; }
    std::string reason() const; // why the first failed write failed
    void redirect(int fd) { fd_ = fd; }

  private:
    void drain();
    void put(std::string_view lines); // in order, at the end of what was written
    void keepFirstError();
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    char* begin_;
    char* end_;
    char* capacityEnd_;
    std::atomic<int> error_ = 0; // the first failure, from any thread
    bool building_;
    bool writingBack_ = true; // while the system takes the file to the disk when asked
    std::uint64_t written_ = 0;
};

} // namespace brenzolt
