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
//  - Nothing lost: finished, the new grid stands whole on every name of the
//    output and on the disk; failed or interrupted (Ctrl-C, SIGTERM,
//    SIGHUP) before the commit, the output is as it was and what the run
//    made is removed. An output is replaced by a temporary file beside it,
//    written in place (the grid made aside and copied in, once everything
//    the copy needs is held), or written as the grid comes: the map above
//    `OutputFile::State` in platform.cpp says which, what each undoes, and
//    where the commit is. From the commit on the signals are ignored.
//  - A name that is a link to nothing is refused: the grid would make a file
//    wherever the link leads by the time it is done.
//  - The output's directory is held open from the first open on: every name
//    is created, checked, renamed and removed relative to it, and a name is
//    removed only while it is still the file this run made. No link is
//    followed but by the system's own open.
//  - An output that is the console's own standard output is written through
//    it as the caller of the program opened it.
//  - Standard input is read one byte at a time, so that a script can pipe the
//    answers and keep the rest of its input; a CR right before a LF is dropped,
//    and on Windows an answer in one pair of double quotes loses them.
//  - A failure can say why in the system's words (`reason()`), for the
//    messages on standard error.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

class InputFile;

// Buffered text-mode writer on a descriptor it does not own.
class TextWriter {
  public:
    // `building`: the file is a regular file this run builds. It starts each
    // few MiB on its way to the disk as it is written, so that a final flush
    // waits only for the tail, and it takes lines at offsets too.
    explicit TextWriter(int fd, bool building = false);

    void write(std::string_view text); // '\n' becomes "\r\n"
    // Text whose lines already end in kLineEnd, written as it is, without a
    // copy when the buffer is empty.
    void writeLines(std::string_view lines);

    // Lines at offsets, from several threads at once, where the file takes
    // them: flushes and gives where the next lines go, or nothing when they
    // must come in order. `writeLinesAt` may then be called from any thread
    // for ranges from there on, and `moveTo` says where they end.
    std::optional<std::uint64_t> offsetOfNextLines();
    void writeLinesAt(std::uint64_t offset, std::string_view lines);
    void moveTo(std::uint64_t end) { written_ = end; }

    bool flush(); // writes out the buffer; false after any failed write
    bool failed() const { return error_.load(std::memory_order_relaxed) != 0; }
    std::string reason() const; // why the first failed write failed
    void redirect(int fd) { fd_ = fd; }

  private:
    void drain();
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    char* begin_;
    char* end_;
    char* capacityEnd_;
    std::atomic<int> error_ = 0; // the first failure, from any thread
    bool building_;
    std::uint64_t written_ = 0;
};

// The console: standard output as a text stream, standard input for answers.
class Console {
  public:
    Console(); // standard output and standard input
    Console(int outputFd, int inputFd, int errorFd = -1);
    void print(std::string_view text) { out_.write(text); }
    // Text for scripts (help, the version), whose '\n' ends a line the
    // system's way.
    void printForScripts(std::string_view text);
    // From now on the console text goes to standard error, out of the way of
    // a grid written to standard output.
    void moveToStandardError();
    // "brenzolt: NAME: REASON" on standard error, a line for scripts.
    void reportFailure(const std::string& name, const std::string& reason);
    // "brenzolt: SUBJECT: TEXT" on standard error: something the user should
    // know about a run that goes on.
    void warn(const std::string& subject, const std::string& text) { reportFailure(subject, text); }
    // One dot of progress. On a terminal the dots are flushed a few times a
    // second so that they appear while a long conversion runs; to a file or a
    // pipe they cost no system call of their own.
    void progressDot();
    bool flush() { return out_.flush(); } // false once any console write failed
    // Reads one answer line from standard input after flushing the console.
    // End of input ends the answer; end of input before any character gives
    // an empty answer. The line feed is consumed and not stored.
    std::string readAnswer();
    // Standard input that is the input grid itself gives no answers: a retry
    // then gives up at once.
    void takeNoAnswersFrom(const InputFile& input);
    // Whether standard input and standard output are both the terminal (on Windows the
    // console), where someone can answer a question.
    bool isInteractive() const;
    // In a console window of its own (the program was started by a double
    // click), asks for Enter before the window closes, so that the user sees
    // how the run ended; anywhere else (a shell, a script, a pipe) nothing.
    void keepOwnWindowOpen();

  private:
    friend std::optional<class OutputFile>
    openOutputFile(const std::string& name, const Console& console, std::string& reason);
    friend std::optional<class OutputFile> openStandardOutput(const Console& console,
                                                              std::string& reason);
    TextWriter out_;
    int outputFd_;
    int inputFd_;
    int errorFd_;
    bool terminal_;
    std::chrono::steady_clock::time_point lastFlush_;
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
// hang-up undoes what the output has begun before the process ends as the
// signal says (unless the caller set it to be ignored); a file size limit
// makes a write fail rather than end the process.
void prepareProcess();

// An input file open for binary reading.
class InputFile {
  public:
    InputFile() = default;
    ~InputFile();
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;

    // The size of a regular file; nothing for pipes and devices.
    std::optional<std::uint64_t> regularFileSize() const;
    enum class ReadStatus { complete, endOfFile, error };
    // Reads exactly `size` bytes unless the file ends or fails first; `got`
    // tells how many arrived, `reason` why a read failed. At `offset` when it
    // is not negative, leaving the file position alone, so that several
    // threads may read one file at once; else the bytes that come next.
    ReadStatus read(void* buffer, std::size_t size, std::size_t& got, std::string& reason,
                    std::int64_t offset = -1) const;
    // Tells the system that the range will be read soon.
    void readAhead(std::uint64_t offset, std::uint64_t size) const;

  private:
    friend std::optional<InputFile> openInputFile(const std::string& name, std::string& reason);
// Standard input as the input file, a descriptor of its own over it.
std::optional<InputFile> openStandardInput(std::string& reason);
    friend std::optional<InputFile> openStandardInput(std::string& reason);
    friend class OutputFile;
    friend class Console;
    int fd_ = -1;
    FileId id_;
};

// Nothing when the file does not open; `reason` then says why.
std::optional<InputFile> openInputFile(const std::string& name, std::string& reason);
// Standard input as the input file, a descriptor of its own over it.
std::optional<InputFile> openStandardInput(std::string& reason);

// The output file. Opening checks that the run will be able to write it (the
// temporary file is created then); `text()` takes the grid, and `finish()`
// puts it in place. Dropped unfinished, it removes what this run created and
// leaves the output as it was.
class OutputFile {
  public:
    ~OutputFile();
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;

    bool isSameFileAs(const InputFile& input) const;
    // The console's own standard output: the console text must make way.
    bool isConsoleOutput() const;
    TextWriter& text();
    // Flushes, checks, closes and puts the file in place; true when every
    // byte reached the disk (or, for a stream, the stream). After a failure
    // the output is as it was, but for the cases `reason()` names: a failed
    // write into an output written in place leaves it empty; a failed flush
    // of the directory leaves the new grid in place; an output written in
    // place that another run replaced meanwhile holds that run's grid.
    bool finish();
    const std::string& reason() const; // why it failed

  private:
    struct State;
    explicit OutputFile(std::unique_ptr<State> state);
    friend std::optional<OutputFile> openOutputFile(const std::string& name, const Console& console,
                                                    std::string& reason);
    friend std::optional<OutputFile> openStandardOutput(const Console& console,
                                                        std::string& reason);
    std::unique_ptr<State> state_;
};

// Nothing when the name cannot be written; `reason` then says why.
std::optional<OutputFile> openOutputFile(const std::string& name, const Console& console,
                                         std::string& reason);
// The console's own standard output as the output file, written through it as it comes.
std::optional<OutputFile> openStandardOutput(const Console& console, std::string& reason);

} // namespace brenzolt
