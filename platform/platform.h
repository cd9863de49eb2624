// The platform layer: the console and file streams of the system the program
// is made for. Everything that differs between systems sits behind this
// header.
//
//  - Text output (console and the output file) writes every '\n' as "\r\n"; a
//    '\r' already in the text passes unchanged. Output is buffered in blocks of
//    kOutputBufferSize bytes and every write and close is checked.
//  - Files open by the name as given, never truncated (the system may still
//    refuse a name too long for it); a directory never opens, as input or
//    as output.
//  - Nothing lost: an output that is a regular file, or not there yet, is
//    written to a new temporary file beside it ("NAME.brenzolt-incomplete-PID")
//    and renamed over it only once every byte was written and the file
//    closed; until then an old file of that name is untouched, and on any
//    failure, or an interrupt, termination or hang-up signal, the temporary
//    file is removed. Outputs that a rename would change for the user (more
//    than one hard link, another owner, not a regular file) are written in
//    place instead, emptied only when the caller says the conversion can
//    begin.
//  - An output that is the console's own standard output is written through
//    it as the caller of the program opened it.
//  - Standard input is read one byte at a time, so that a script can pipe the
//    answers and keep the rest of its input; a CR right before a LF is dropped.
//  - A failure can say why in the system's words (`reason()`), for the
//    messages on standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    bool failed() const { return error_ != 0; }
    std::string reason() const; // why the first failed write failed
    void redirect(int fd) { fd_ = fd; }

  private:
    void drain();
    int fd_ = -1;
    char* begin_;
    char* end_;
    char* capacityEnd_;
    int error_ = 0;
};

// The console: standard output as a text stream, standard input for answers.
class Console {
  public:
    Console(); // standard output and standard input
    Console(int outputFd, int inputFd, int errorFd = -1);
    void print(std::string_view text) { out_.write(text); }
    // From now on the console text goes to standard error, out of the way of
    // a grid written to standard output.
    void moveToStandardError();
    // "brenzolt: NAME: REASON" on standard error.
    void reportFailure(const std::string& name, const std::string& reason);
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
    friend std::optional<class OutputFile>
    openOutputFile(const std::string& name, const Console& console, std::string& reason);
    TextWriter out_;
    int outputFd_;
    int inputFd_;
    int errorFd_;
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

// The arguments after the program name, in UTF-8 whatever the system's own
// form of the command line.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Prepares the process once, before anything else: a console whose reader
// has gone only makes the console writes fail, rather than ending the
// process half-way through the output file; an interrupt, termination or
// hang-up removes the output's temporary file before the process ends as
// the signal says.
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
    // tells how many arrived, `reason` why a read failed.
    ReadStatus read(void* buffer, std::size_t size, std::size_t& got, std::string& reason);
    // The same at `offset`, leaving the file position alone: several threads
    // may read one file at once.
    ReadStatus readAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t& got,
                      std::string& reason) const;
    void close();

  private:
    friend std::optional<InputFile> openInputFile(const std::string& name, std::string& reason);
    friend class OutputFile;
    ReadStatus readFrom(std::int64_t offset, void* buffer, std::size_t size, std::size_t& got,
                        std::string& reason) const;
    int fd_ = -1;
    FileId id_;
};

// Nothing when the file does not open; `reason` then says why.
std::optional<InputFile> openInputFile(const std::string& name, std::string& reason);

// The output file. Opening checks that the run will be able to write it (the
// temporary file beside it is created then); `begin()` gives up the old
// contents of a file written in place, and `finish()` puts the new file in
// place. Dropped unfinished, it removes what this run created.
class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;

    bool isSameFileAs(const InputFile& input) const;
    // The console's own standard output: the console text must make way.
    bool isConsoleOutput() const { return how_ == How::consoleOutput; }
    // Starts the text stream; false on failure.
    bool begin();
    TextWriter& text() { return *writer_; }
    // Flushes, checks, closes and puts the file in place; true when every
    // byte reached it.
    bool finish();
    // Closes without finishing: removes what this run created or began.
    void discard();
    const std::string& reason() const { return reason_; } // why it failed

  private:
    enum class How { replace, inPlace, consoleOutput };
    friend std::optional<OutputFile> openOutputFile(const std::string& name, const Console& console,
                                                    std::string& reason);
    bool fail(std::string reason);
    How how_ = How::replace;
    int fd_ = -1;
    std::string target_;    // the file itself, links resolved
    std::string temporary_; // replace: the file being written
    FileId id_;             // the target as it was opened
    bool created_ = false;  // the target was not there
    bool begun_ = false;
    bool regular_ = false;
    bool shared_ = false; // more than one hard link
    unsigned permissions_ = 0;
    std::unique_ptr<TextWriter> writer_;
    std::string reason_;
};

// Nothing when the name cannot be written; `reason` then says why.
std::optional<OutputFile> openOutputFile(const std::string& name, const Console& console,
                                         std::string& reason);

} // namespace brenzolt
