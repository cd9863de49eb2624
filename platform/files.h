// The input file and the output file.
//
// Calling sequence: `openInputFile`; `openOutputFile`, which checks that the
// run will be able to write the output (everything it makes is made then);
// the grid through `OutputFile::text()`; `OutputFile::finish()`, which puts
// it in place. Many outputs wait for the disk once: each is `prepare`d once
// its grid is written, then `finishTogether` puts them in place, at most
// `outputsOpenAtOnce()` open at a time. Dropped unfinished, an output removes what this run made
// and is as it was; a signal (Ctrl-C, SIGTERM, SIGHUP) before the commit does the same before the
// process ends. Finished, the new grid stands whole on every name of the output and on the disk;
// `finish()` names the few failures after which that is not so. How each kind of output gets there
// is mapped once, in output_ways.h.
//
// Error handling: a call that can fail says so in its result (nothing, false,
// or a status) and why, in the system's words, in the `reason` it is given.
// Names are opened as given, through links as the system follows them; a
// directory never opens, as input or as output.
#pragma once

#include "platform/text_writer.h"

#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brenzolt {

// Where a file lives: two open files of one identity are one file, whatever
// names and links led to them.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    auto operator<=>(const FileIdentity&) const = default;
};

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
    // tells how many arrived. At `offset` when it is not negative, leaving the
    // file position alone, so that several threads may read one file at
    // once; else the bytes that come next.
    ReadStatus read(void* buffer, std::size_t size, std::size_t& got, std::string& reason,
                    std::int64_t offset = -1) const;
    // Tells the system that the range will be read soon; false where it
    // never listens for this file, and asking again is no use.
    bool readAhead(std::uint64_t offset, std::uint64_t size) const;
    int descriptor() const { return fd_; }
    std::optional<FileIdentity> identity() const;

  private:
    friend std::optional<InputFile> openInputFile(const std::string& name, std::string& reason);
    friend std::optional<InputFile> openStandardInput(std::string& reason);
    friend std::optional<InputFile> openRegularFile(const std::string& name);
    int fd_ = -1;
};

std::optional<InputFile> openInputFile(const std::string& name, std::string& reason);
// Standard input as the input file, a descriptor of its own over it.
std::optional<InputFile> openStandardInput(std::string& reason);
// A regular file to look into, opened without waiting for a writer as a FIFO would; nothing
// for anything else, and where it does not open.
std::optional<InputFile> openRegularFile(const std::string& name);

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
    // the output is as it was, but for the cases `reason` then names: a
    // failed write into an output written in place leaves it empty; a failed
    // flush of the directory leaves the new grid in place; an output written
    // in place that another run replaced meanwhile holds that run's grid.
    bool finish(std::string& reason);
    // The first stage of finishing with others: flushes and checks the text,
    // gives back the writer's memory and starts the file on its way to the
    // disk. False after a failed write, the output as it was.
    bool prepare(std::string& reason);
    // The file at the output's name when it was opened; nothing for a new one.
    std::optional<FileIdentity> identity() const;

  private:
    struct State;
    friend std::vector<bool> finishTogether(std::span<OutputFile> outputs,
                                            std::span<std::string> reasons);
    explicit OutputFile(std::unique_ptr<State> state);
    friend std::optional<OutputFile> openOutputFile(const std::string& name, int consoleOutput,
                                                    std::string& reason);
    friend std::optional<OutputFile> openStandardOutput(int consoleOutput, std::string& reason);
    std::unique_ptr<State> state_;
};

// `consoleOutput`: the console's standard output (Console::outputDescriptor),
// through which an output that is that very file is written.
std::optional<OutputFile> openOutputFile(const std::string& name, int consoleOutput,
                                         std::string& reason);

// The console's own standard output as the output file, written through it as
// it comes.
std::optional<OutputFile> openStandardOutput(int consoleOutput, std::string& reason);

// Finishes prepared outputs as `finish()` does each, but waits for the disk
// once: every grid is flushed (its writeback started when it was prepared),
// then, the signals waiting from the first commit to the last, each is put in
// place, then each directory is flushed once. True for each output that
// stands whole; else `reasons` says why, as `finish()` would.
std::vector<bool> finishTogether(std::span<OutputFile> outputs, std::span<std::string> reasons);

// How many outputs may be open, unfinished, at once: as many as the signals
// can undo, and as the process may hold the descriptors of (ulimit -n).
std::size_t outputsOpenAtOnce();

// Whether the name `a` sorts before `b` as the system compares names: where
// names that differ in case alone name one file (Windows, macOS), A to Z as a
// to z. Neither before the other: one name.
bool isNameBefore(std::string_view a, std::string_view b);

} // namespace brenzolt
