// The platform layer's code that is the same on every system, the output
// policy among it; the system calls are behind platform/system.h.
#include "platform/platform.h"

#include "platform/system.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace brenzolt {

TextWriter::TextWriter(int fd, bool building)
    : fd_(fd), buffer_(new char[kOutputBufferSize]), begin_(buffer_.get()), end_(begin_),
      capacityEnd_(begin_ + kOutputBufferSize), building_(building) {}

// A file being built is written at offsets only, so that writes in order and
// the blocks of several threads never depend on a shared file position.
void TextWriter::writeLinesAt(std::uint64_t offset, std::string_view lines) {
    std::uint64_t size = lines.size();
    if (failed())
        return;
    if (int error = sys::primitives.writeAll(fd_, lines.data(), size,
                                             building_ ? std::int64_t(offset) : -1)) {
        int none = 0;
        error_.compare_exchange_strong(none, error);
    }
    // As a database flushes behind its writes: the disk starts early, and the
    // dirty pages never pile up for one long wait at the end. Each write that
    // ends past a step boundary starts the step before it.
    constexpr std::uint64_t kWritebackStep = 8 << 20;
    std::uint64_t boundary = (offset + size) / kWritebackStep * kWritebackStep;
    if (building_ && boundary > offset && boundary >= kWritebackStep)
        sys::startWriteback(fd_, boundary - kWritebackStep, kWritebackStep);
}

void TextWriter::drain() {
    std::string_view buffered(begin_, static_cast<std::size_t>(end_ - begin_));
    end_ = begin_;
    writeLinesAt(written_, buffered);
    written_ += buffered.size();
}

std::optional<std::uint64_t> TextWriter::offsetOfNextLines() {
    drain();
    return building_ ? std::optional(written_) : std::nullopt;
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
    writeLinesAt(written_, lines);
    written_ += lines.size();
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

Console::Console() : Console(1, 0, 2) {}

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

void Console::printForScripts(std::string_view text) {
    // Where the system ends lines as the text stream does (Windows), the stream's own line
    // ends; elsewhere the text as it is.
    if (kSystemLineEnd == kLineEnd)
        out_.write(text);
    else
        out_.writeLines(text);
}

void Console::reportFailure(const std::string& name, const std::string& reason) {
    out_.flush(); // in the order it happened, where both streams meet
    std::string line = "brenzolt: " + name + ": " + reason + std::string(kSystemLineEnd);
    sys::writeAll(errorFd_, line.data(), line.size());
}

void Console::progressDot() {
    out_.write(".");
    auto now = std::chrono::steady_clock::now();
    if (terminal_ && now - lastFlush_ >= std::chrono::milliseconds(200)) { // five times a second
        out_.flush();
        lastFlush_ = now;
    }
}

void Console::takeNoAnswersFrom(const InputFile& input) {
    if (sys::isSameFile(inputFd_, input.fd_))
        inputFd_ = -1;
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
    if (sys::kQuotedAnswers && answer.size() > 2 && answer.front() == '"' &&
        answer.find('"', 1) == answer.size() - 1)
        answer = answer.substr(1, answer.size() - 2);
    return answer;
}

bool Console::isInteractive() const {
    return sys::isTerminal(inputFd_) && sys::isTerminal(outputFd_);
}

void Console::keepOwnWindowOpen() {
    if (!sys::isOwnConsoleWindow(inputFd_, outputFd_))
        return;
    print("\npress Enter to close this window");
    readAnswer();
}

namespace {

// No file has an empty name or one holding a NUL.
bool isPossibleName(const std::string& name, std::string& reason) {
    if (!name.empty() && name.find('\0') == std::string::npos)
        return true;
    reason = sys::reasonOf(sys::kNotFound);
    return false;
}

} // namespace

InputFile::~InputFile() {
    sys::closeChecked(fd_);
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), id_(other.id_) {}

// The file this one held goes with `other`.
InputFile& InputFile::operator=(InputFile&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(id_, other.id_);
    return *this;
}

std::optional<InputFile> openInputFile(const std::string& name, std::string& reason) {
    if (!isPossibleName(name, reason))
        return std::nullopt;
    InputFile file;
    file.fd_ = sys::openForReading(name);
    sys::Facts facts;
    if (file.fd_ < 0 || !sys::factsOf(file.fd_, facts)) {
        reason = sys::reasonOf(sys::lastError());
        return std::nullopt;
    }
    if (facts.kind == sys::Kind::directory) {
        reason = sys::reasonOf(sys::kIsDirectory);
        return std::nullopt;
    }
    file.id_ = facts.id;
    return file;
}

std::optional<InputFile> openStandardInput(std::string& reason) {
    InputFile file;
    file.fd_ = sys::duplicate(0);
    sys::Facts facts;
    if (file.fd_ < 0 || !sys::factsOf(file.fd_, facts)) {
        reason = sys::reasonOf(sys::lastError());
        return std::nullopt;
    }
    file.id_ = facts.id;
    return file;
}

std::optional<std::uint64_t> InputFile::regularFileSize() const {
    sys::Facts facts;
    if (!sys::factsOf(fd_, facts) || facts.kind != sys::Kind::regular)
        return std::nullopt;
    return facts.size;
}

void InputFile::readAhead(std::uint64_t offset, std::uint64_t size) const {
    sys::readAhead(fd_, offset, size);
}

InputFile::ReadStatus InputFile::read(void* buffer, std::size_t size, std::size_t& got,
                                      std::string& reason, std::int64_t offset) const {
    int error = 0;
    for (got = 0; got < size;) {
        // Large requests go in pieces of at most 1 GiB, which every kernel takes.
        std::int64_t n =
            sys::readSome(fd_, static_cast<char*>(buffer) + got,
                          std::min<std::size_t>(size - got, std::size_t{1} << 30),
                          offset < 0 ? -1 : offset + static_cast<std::int64_t>(got), error);
        if (n <= 0) {
            reason = n < 0 ? sys::reasonOf(error) : reason;
            return n < 0 ? ReadStatus::error : ReadStatus::endOfFile;
        }
        got += static_cast<std::size_t>(n);
    }
    return ReadStatus::complete;
}

// A temporary file of its own, as a lock file sits on one: created new under
// a random name in a held directory and armed at once, so that an interrupt,
// termination or hang-up removes it; then ended one way, renamed into place
// (the commit of a replaced output), or removed while it is still the file it
// created (after a failure, or once its grid was copied into the output).
// Each step holds the signals once, so that a signal finds it armed or not.
//
//  state     fd      name_      a signal
//  none      -1      empty      removes nothing
//  created   open    its name   removes it (until the commit of a copy, from
//                               which on the signals are ignored)
//  placed    -1      empty      is ignored: the run finishes
class TemporaryFile {
  public:
    int fd = -1;
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { remove(); }

    // "TARGET.brenzolt-incomplete-XXXXXXXXXXXX", or the same without TARGET
    // when the long name fails for any reason (too long for the directory,
    // which some systems report as another failure); a name already taken
    // means another random one.
    bool create(const sys::Directory& where, const std::string& target) {
        constexpr std::string_view kSymbols = "0123456789abcdefghijklmnopqrstuvwxyz";
        std::random_device random; // the system's own source
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string suffix = ".brenzolt-incomplete-";
            for (std::uint64_t bits = std::uint64_t{random()} << 32 | random(); suffix.size() < 33;
                 bits /= kSymbols.size())
                suffix += kSymbols[bits % kSymbols.size()];
            for (const std::string& candidate : {target + suffix, suffix}) {
                sys::SignalsHeld signalsWait;
                int created = sys::createExclusive(where, candidate);
                sys::Facts facts;
                if (created >= 0 && sys::factsOf(created, facts)) {
                    fd = created;
                    directory_ = &where;
                    name_ = candidate;
                    id_ = facts.id;
                    sys::setUndo({.directory = directory_, .name = name_, .id = id_});
                    return true;
                }
                if (sys::lastError() == sys::kExists)
                    break;
            }
            if (sys::lastError() != sys::kExists)
                return false;
        }
        return false;
    }

    // Closed, then in place of `to` in its directory in one step: the commit,
    // from which on the signals are ignored.
    bool putInPlace(const std::string& to, bool replacing) {
        if (!sys::closeChecked(std::exchange(fd, -1)))
            return false;
        sys::SignalsHeld signalsWait;
        if (!sys::primitives.putInPlace(*directory_, name_, to, replacing))
            return false;
        name_.clear();
        sys::setUndo({});
        sys::ignoreSignals();
        return true;
    }

    void remove() {
        sys::closeChecked(std::exchange(fd, -1));
        sys::SignalsHeld signalsWait;
        if (!name_.empty())
            sys::removeIfSame(*directory_, std::exchange(name_, {}), id_);
        sys::setUndo({});
    }

  private:
    const sys::Directory* directory_ = nullptr;
    std::string name_;
    FileId id_;
};

// How the grid reaches the output. `replace` (a regular file with one name,
// the user's own, or a name not there yet): a temporary file beside it is put
// in its place. `inPlace` (a file with more names, another owner's, mounted
// over its name, or in a directory where no file may be created): the grid is
// made in a temporary file aside (beside the output, or in the system's
// temporary directory) and copied into the output at the end. `stream`: a
// device, FIFO or terminal, written as the grid comes. `consoleOutput`: the
// console's standard output, written through it. A link to nothing takes none:
// it is refused.
enum class How { replace, inPlace, stream, consoleOutput };

// The fields that live in each way (the others are unused), and what a
// failure and a signal undo. `writer` and `reason` live in all of them.
//
//  how            fields                       a failure undoes     a signal undoes
//  replace        temporary, directory, name,  the temporary file   the temporary file
//                 old, isNew                   before the rename;   before the rename;
//                                              nothing after        nothing after
//  inPlace        temporary (beside, or in     the temporary file;  the temporary file
//                 systemTemporary), output,    a failed write in    before the copy;
//                 directory (when held), name, the copy empties     nothing after
//                 old, overwriting             the output
//                                              (overwriting)
//  stream         output                       nothing              nothing
//  consoleOutput  output (standard output,     nothing              nothing
//                 not ours to close), old
//
// The commit is the rename (replace) or the start of the copy (inPlace),
// once everything the copy needs is held: from there on the signals are
// ignored and the run finishes.
struct OutputFile::State {
    How how = How::replace;
    int output = -1;                // the output's own descriptor
    bool overwriting = false;       // the output's old contents are being written over
    sys::Directory directory;       // the output's, held open
    sys::Directory systemTemporary; // where the grid is made when not beside the output
    std::string name;               // the output's name in `directory`
    sys::Facts old;                 // the output as it was opened
    bool isNew = false;
    TemporaryFile temporary; // where the grid is written, for `replace` and `inPlace`
    std::unique_ptr<TextWriter> writer;
    std::string reason;

    ~State() { discard(); }
    bool fail(std::string why) {
        reason = std::move(why);
        discard();
        return false;
    }
    bool failWith(int error) { return fail(sys::reasonOf(error)); }

    bool open(const std::string& path, int consoleOutput) {
        output = sys::openForWriting(path);
        isNew = output < 0 && sys::lastError() == sys::kNotFound;
        if ((output < 0 && !isNew) || (!isNew && !sys::factsOf(output, old)))
            return failWith(sys::lastError());
        // The console's own standard output is a file or pipe that the caller
        // opened (a device such as /dev/null is only written as it comes).
        bool console = old.kind != sys::Kind::device && sys::isSameFile(output, consoleOutput);
        if (console || (!isNew && old.kind != sys::Kind::regular)) {
            how = console ? How::consoleOutput : How::stream;
            if (console)
                sys::closeChecked(std::exchange(output, consoleOutput));
            return true;
        }
        // Only "no file may be created here" sends an output in place; any
        // other failure (no descriptors, no room) ends the run.
        bool directoryHeld = sys::openDirectoryOf(output, path, directory, name);
        if (!directoryHeld && (isNew || !sys::mayNotCreate(sys::lastError())))
            return failWith(sys::lastError());
        // A link to nothing would have the grid make a file wherever the link
        // leads by the time of the commit.
        if (isNew && sys::isLink(directory, name))
            return fail("is a link to nothing: name the file it should create, or remove the link");
        if (directoryHeld && !temporary.create(directory, name) &&
            (isNew || !sys::mayNotCreate(sys::lastError())))
            return failWith(sys::lastError());
        // A file that a new one would change for the user is written in place:
        // its other names would keep the old grid, its owner would change; a
        // file mounted over its name cannot be replaced.
        bool inPlace = !isNew && (old.links > 1 || old.ownedByOther || old.mountPoint);
        if (temporary.fd < 0) { // a file that may be written, but not replaced
            inPlace = true;
            if (!sys::openTemporaryDirectory(systemTemporary) ||
                !temporary.create(systemTemporary, name.empty() ? "brenzolt" : name))
                return fail("the grid cannot be made aside in " + systemTemporary.path + ": " +
                            sys::reasonOf(sys::lastError()));
        }
        how = inPlace ? How::inPlace : How::replace;
        if (!inPlace)
            sys::closeChecked(std::exchange(output, -1));
        return true;
    }

    // On the disk first, then in place in one step, then the directory on the
    // disk: a power cut shows the old file or the whole new one. Another
    // run's grid that stands there by then is replaced too: the last run to
    // finish wins.
    bool putInPlace() {
        if (!sys::primitives.flushData(temporary.fd) ||
            !sys::takeAttributes(temporary.fd, isNew ? nullptr : &old, directory) ||
            !temporary.putInPlace(name, !isNew))
            return failWith(sys::lastError());
        if (sys::primitives.flushDirectory(directory))
            return true;
        // The one failure that cannot be undone.
        return fail("the new grid is in place but may not be on the disk: " +
                    sys::reasonOf(sys::lastError()));
    }

    // Everything the copy needs is held before the old contents go: its
    // buffer, the lock that keeps other runs writing in place out, and the
    // room for the grid. From then on only a write can fail.
    bool copyIntoOutput() {
        sys::Facts grid;
        std::vector<char> buffer(kOutputBufferSize);
        if (!sys::factsOf(temporary.fd, grid) || !sys::lockForWriting(output) ||
            !sys::primitives.reserve(output, grid.size))
            return failWith(sys::lastError());
        {
            sys::SignalsHeld signalsWait;
            sys::ignoreSignals();
        }
        overwriting = true;
        int error = 0;
        for (std::int64_t at = 0, n = 1; error == 0 && n > 0; at += n) {
            n = sys::readSome(temporary.fd, buffer.data(), buffer.size(), at, error);
            if (n > 0)
                error = sys::primitives.writeAll(output, buffer.data(), static_cast<std::size_t>(n),
                                                 at);
        }
        if (error == 0 && (!sys::setSize(output, grid.size) || !sys::primitives.flushData(output)))
            error = sys::lastError();
        if (error != 0)
            return failWith(error);
        overwriting = false;
        // Another run that replaced the output meanwhile took its name: the
        // grid went into a file that only other names, or none, lead to.
        if (directory.fd >= 0 && !sys::isNamed(directory, name, old.id))
            return fail("replaced by another file while this grid was copied in; that file stands");
        discard(); // the temporary file goes
        return true;
    }

    void discard() {
        writer.reset();
        if (output >= 0 && overwriting)
            sys::setSize(output, 0);
        if (how != How::consoleOutput)
            sys::closeChecked(output);
        output = -1;
        temporary.remove();
        sys::closeChecked(std::exchange(directory.fd, -1));
        sys::closeChecked(std::exchange(systemTemporary.fd, -1));
    }
};

OutputFile::OutputFile(std::unique_ptr<State> state) : state_(std::move(state)) {}
OutputFile::~OutputFile() = default;
OutputFile::OutputFile(OutputFile&& other) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&& other) noexcept = default;

std::optional<OutputFile> openOutputFile(const std::string& name, const Console& console,
                                         std::string& reason) {
    auto state = std::make_unique<OutputFile::State>();
    if (isPossibleName(name, reason) && state->open(name, console.outputFd_)) {
        bool building = state->temporary.fd >= 0; // a regular file of this run's own
        state->writer =
            std::make_unique<TextWriter>(building ? state->temporary.fd : state->output, building);
        return OutputFile(std::move(state));
    }
    reason = state->reason.empty() ? reason : state->reason;
    return std::nullopt;
}

std::optional<OutputFile> openStandardOutput(const Console& console, std::string& reason) {
    auto state = std::make_unique<OutputFile::State>();
    state->how = How::consoleOutput;
    state->output = console.outputFd_;
    if (!sys::factsOf(state->output, state->old)) {
        reason = sys::reasonOf(sys::lastError());
        return std::nullopt;
    }
    state->writer = std::make_unique<TextWriter>(state->output);
    return OutputFile(std::move(state));
}

bool OutputFile::isSameFileAs(const InputFile& input) const {
    return !state_->isNew && input.fd_ >= 0 && state_->old.id == input.id_;
}

bool OutputFile::isConsoleOutput() const {
    return state_->how == How::consoleOutput;
}

TextWriter& OutputFile::text() {
    return *state_->writer;
}

bool OutputFile::finish() {
    State& s = *state_;
    if (!s.writer->flush())
        return s.fail(s.writer->reason());
    s.writer.reset();
    if (s.how == How::replace)
        return s.putInPlace();
    if (s.how == How::inPlace)
        return s.copyIntoOutput();
    // Standard output is not ours to close; a regular file behind it is
    // flushed all the same.
    if (s.how == How::consoleOutput)
        return s.old.kind != sys::Kind::regular || sys::primitives.flushData(s.output) ||
               s.failWith(sys::lastError());
    return sys::closeChecked(std::exchange(s.output, -1)) || s.failWith(sys::lastError());
}

const std::string& OutputFile::reason() const {
    return state_->reason;
}

namespace sys {
Primitives primitives;
}

} // namespace brenzolt
