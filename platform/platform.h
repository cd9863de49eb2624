// The platform layer: the console and file streams of the system the program
// is made for, on top of POSIX descriptors.
//
//  - Text output (console and the output file) writes every '\n' as "\r\n"; a
//    '\r' already in the text passes unchanged. Output is buffered in blocks of
//    kOutputBufferSize bytes and every write and close is checked.
//  - Files open by the name as given, never truncated (the system may still
//    refuse a name too long for it); a directory never opens, as input or
//    as output.
//  - The output file is opened without truncating it, and emptied only when
//    the caller says the conversion can begin, so that a failed run never costs
//    the user an existing file. A file this run created is removed again when
//    the run does not finish it.
//  - Standard input is read one byte at a time, so that a script can pipe the
//    answers and keep the rest of its input; a CR right before a LF is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace brenzolt {

inline constexpr std::size_t kOutputBufferSize = 256 * 1024;

// Buffered text-mode writer on a descriptor it does not own.
class TextWriter {
  public:
    explicit TextWriter(int fd);
    ~TextWriter();
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    void write(std::string_view text); // '\n' becomes "\r\n"
    void put(char c);                  // the same for one character

    // Raw space for at most `size` bytes (size <= kOutputBufferSize / 2) that
    // the caller fills with text holding no '\n', then hands back with the
    // end of what it wrote.
    char* reserve(std::size_t size) {
        if (static_cast<std::size_t>(capacityEnd_ - end_) < size)
            drain();
        return end_;
    }
    void commit(char* end) { end_ = end; }

    bool flush(); // writes out the buffer; false after any failed write
    bool failed() const { return failed_; }

  private:
    void drain();
    int fd_ = -1;
    char* begin_;
    char* end_;
    char* capacityEnd_;
    bool failed_ = false;
};

// The console: standard output as a text stream, standard input for answers.
class Console {
  public:
    Console(); // standard output and standard input
    Console(int outputFd, int inputFd);
    void print(std::string_view text) { out_.write(text); }
    // One dot of progress. On a terminal the dots are flushed a few times a
    // second so that they appear while a long conversion runs; to a file or a
    // pipe they cost no system call of their own.
    void progressDot();
    void flush() { out_.flush(); }
    // Reads one answer line from standard input after flushing the console.
    // End of input ends the answer; end of input before any character gives
    // an empty answer. The line feed is consumed and not stored.
    std::string readAnswer();

  private:
    TextWriter out_;
    int inputFd_;
    bool terminal_;
    std::int64_t lastFlushNanoseconds_ = 0;
};

// Where a file lives: two open files with the same identity are one file,
// whatever names and links led to them.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
};

// Prepares the process once, before anything else: a console whose reader
// has gone only makes the console writes fail, rather than ending the
// process half-way through the output file.
void prepareProcess();

// An input file open for binary reading.
class InputFile {
  public:
    InputFile() = default;
    ~InputFile();
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;

    bool isOpen() const { return fd_ >= 0; }
    // The size of a regular file; nothing for pipes and devices.
    std::optional<std::uint64_t> regularFileSize() const;
    enum class ReadStatus { complete, endOfFile, error };
    // Reads exactly `size` bytes unless the file ends or fails first; `got`
    // tells how many arrived.
    ReadStatus read(void* buffer, std::size_t size, std::size_t& got);
    void close();

  private:
    friend std::optional<InputFile> openInputFile(const std::string& name);
    friend class OutputFile;
    int fd_ = -1;
    FileId id_;
};

std::optional<InputFile> openInputFile(const std::string& name);

// The output file. Opened without truncation; `begin()` empties it. A file
// that is dropped unfinished is removed if this run created it; an existing
// file is left alone (an existing regular file already emptied by `begin()`
// is removed as incomplete).
class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;

    bool isOpen() const { return fd_ >= 0; }
    bool isSameFileAs(const InputFile& input) const;
    // Empties a regular file and starts the text stream; false on failure.
    bool begin();
    TextWriter& text() { return *writer_; }
    // Flushes, checks and closes; true when every byte reached the file.
    bool finish();
    // Closes without finishing: removes what this run created or began.
    void discard();

  private:
    friend std::optional<OutputFile> openOutputFile(const std::string& name);
    int fd_ = -1;
    std::string name_;
    bool created_ = false;
    bool regular_ = false;
    bool begun_ = false;
    FileId id_;
    std::unique_ptr<TextWriter> writer_;
};

std::optional<OutputFile> openOutputFile(const std::string& name);

} // namespace brenzolt
