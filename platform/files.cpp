#include "platform/files.h"

#include "platform/system.h"
#include "platform/temporary_file.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace brenzolt {

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

InputFile::InputFile(InputFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

// The file this one held goes with `other`.
InputFile& InputFile::operator=(InputFile&& other) noexcept {
    std::swap(fd_, other.fd_);
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
    return file;
}

std::optional<std::uint64_t> InputFile::regularFileSize() const {
    sys::Facts facts;
    if (!sys::factsOf(fd_, facts) || facts.kind != sys::Kind::regular)
        return std::nullopt;
    return facts.size;
}

bool InputFile::readAhead(std::uint64_t offset, std::uint64_t size) const {
    return sys::readAhead(fd_, offset, size);
}

InputFile::ReadStatus InputFile::read(void* buffer, std::size_t size, std::size_t& got,
                                      std::string& reason, std::int64_t offset) const {
    for (got = 0; got < size;) {
        // Large requests go in pieces of at most 1 GiB, which every kernel takes.
        std::int64_t n = sys::readSome(fd_, static_cast<char*>(buffer) + got,
                                       std::min<std::size_t>(size - got, std::size_t{1} << 30),
                                       offset < 0 ? -1 : offset + static_cast<std::int64_t>(got));
        if (n < 0) {
            reason = sys::reasonOf(sys::lastError());
            return ReadStatus::error;
        }
        if (n == 0)
            return ReadStatus::endOfFile;
        got += static_cast<std::size_t>(n);
    }
    return ReadStatus::complete;
}

namespace {

// How the grid reaches the output, and the fields that live in each way (the
// others are unused), and what a failure and a signal undo. `writer` and
// `reason` live in all of them.
//
//  how            fields                       a failure undoes     a signal undoes
//  replace        temporary, directory, name,  the temporary file   the temporary file
//                 old, isNew, accessList       before the rename;   before the rename;
//                                              nothing after        nothing after
//  inPlace        temporary (beside, or in     the temporary file;  the temporary file
//                 systemTemporary), output,    a failed write in    before the copy;
//                 directory (when held), name, the copy (or clone)  nothing after
//                 old, overwriting             empties the output
//                                              (overwriting)
//  stream         output                       nothing              nothing
//  consoleOutput  output (standard output,     nothing              nothing
//                 not ours to close), old
//
// The commit is the rename (replace) or the start of the copy (inPlace),
// once everything the copy needs is held and the output's name still leads
// to it: from there on the signals are ignored and the run finishes. In a
// directory whose names cannot be removed (append-only) the temporary file
// has no name: a new output is named at the commit, an old one written in
// place.
enum class How { replace, inPlace, stream, consoleOutput };

// What the first open of the output found.
struct Found {
    bool isNew;           // no file at the name
    sys::Facts old;       // the file there, when there is one
    bool console;         // the console's own standard output, a file or pipe the caller opened
    bool temporaryBeside; // a temporary file could be made beside it
    bool carried;         // what the old file carries went onto it
    bool appendOnly;      // its directory keeps every name it is given
};

// The one decision. The console's own standard output is written through it;
// a device, FIFO or terminal as the grid comes. A regular file (or a name not
// there yet) is replaced by a temporary file beside it, unless a new file
// would change it for its user (its other names would keep the old grid, its
// owner would change, its group, access list or extended attributes cannot
// go with it, a file mounted over its name cannot be replaced, its directory
// keeps every name) or no file may be made beside it: then the grid is made
// aside and copied in.
How wayFor(const Found& found) {
    if (found.console)
        return How::consoleOutput;
    if (!found.isNew && found.old.kind != sys::Kind::regular)
        return How::stream;
    bool keepsTheFile =
        !found.isNew && (found.old.links > 1 || found.old.ownedByOther || found.old.mountPoint ||
                         !found.carried || found.appendOnly);
    return keepsTheFile || !found.temporaryBeside ? How::inPlace : How::replace;
}

} // namespace

struct OutputFile::State {
    How how = How::replace;
    int output = -1;                // the output's own descriptor
    bool overwriting = false;       // the output's old contents are being written over
    sys::Directory directory;       // the output's, held open
    sys::Directory systemTemporary; // where the grid is made when not beside the output
    std::string name;               // the output's name in `directory`
    sys::Facts old;                 // the output as it was opened
    std::string accessList;         // the old output's, for the file that replaces it
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
        Found found{.isNew = isNew,
                    .old = old,
                    .console =
                        old.kind != sys::Kind::device && sys::isSameFile(output, consoleOutput),
                    .temporaryBeside = false,
                    .carried = true,
                    .appendOnly = false};
        if (!found.console && (isNew || old.kind == sys::Kind::regular) &&
            !makeTemporaryBeside(path, found))
            return false;
        how = wayFor(found);
        switch (how) {
        case How::consoleOutput:
            sys::closeChecked(std::exchange(output, consoleOutput));
            return true;
        case How::stream:
            return true;
        case How::replace:
            sys::closeChecked(std::exchange(output, -1));
            return true;
        case How::inPlace:
            // A file that may be written, but not replaced: the grid is made aside.
            if (temporary.fd >= 0)
                return true;
            if (!sys::openTemporaryDirectory(systemTemporary))
                temporary.error = sys::lastError();
            else if (temporary.create(systemTemporary, name.empty() ? "brenzolt" : name))
                return true;
            return fail("the grid cannot be made aside in " + systemTemporary.path + ": " +
                        sys::reasonOf(temporary.error));
        }
        return true;
    }

    // Holds the output's directory and makes the temporary file there, and
    // puts on it what the old output carries. Only "no file may be created
    // here" leaves it without one; any other failure (no descriptors, no
    // room) ends the run.
    bool makeTemporaryBeside(const std::string& path, Found& found) {
        bool directoryHeld = sys::openDirectoryOf(output, path, directory, name);
        if (!directoryHeld && isNew)
            return failWith(sys::lastError());
        if (!directoryHeld && !sys::mayNotCreate(sys::lastError()))
            return fail("its directory cannot be held: " + sys::reasonOf(sys::lastError()));
        // A link to nothing would have the grid make a file wherever the link
        // leads by the time of the commit.
        if (isNew && sys::isLink(directory, name))
            return fail("is a link to nothing: name the file it should create, or remove the link");
        found.appendOnly = directoryHeld && sys::isAppendOnly(directory);
        found.temporaryBeside =
            directoryHeld && (found.appendOnly ? temporary.createUnnamed(directory)
                                               : temporary.create(directory, name));
        if (!found.temporaryBeside && directoryHeld && (isNew || !temporary.refused))
            return failWith(temporary.error);
        found.carried = isNew || !found.temporaryBeside ||
                        sys::carryAttributes(temporary.fd, output, old, accessList);
        return true;
    }

    // On the disk first, then in place in one step, then the directory on the
    // disk: a power cut shows the old file or the whole new one. Another
    // run's grid that stands there by then is replaced too: the last run to
    // finish wins.
    bool putInPlace() {
        if (!sys::primitives.flushData(temporary.fd) ||
            !sys::takeAttributes(temporary.fd, isNew ? nullptr : &old, accessList, directory) ||
            !temporary.putInPlace(name, !isNew))
            return failWith(sys::lastError());
        if (sys::primitives.flushDirectory(directory))
            return true;
        // The one failure that cannot be undone.
        return fail("the new grid is in place but may not be on the disk: " +
                    sys::reasonOf(sys::lastError()));
    }

    // What stands at the output's name when it no longer leads to the
    // output (`copied`: after the grid went into it); empty while it does.
    std::string nameMoved(bool copied) {
        sys::AtName found = sys::AtName::theFile;
        if (directory.fd >= 0 && !sys::whatIsAt(directory, name, old.id, found))
            return (copied ? "the grid was copied in, but its name cannot be checked: "
                           : "its name cannot be checked: ") +
                   sys::reasonOf(sys::lastError());
        if (found == sys::AtName::theFile)
            return {};
        std::string what =
            found == sys::AtName::anotherFile ? "replaced by another file" : "removed";
        if (!copied)
            return what + " before this grid was copied in; nothing changed";
        return what + " while this grid was copied in" +
               (found == sys::AtName::anotherFile ? "; that file stands" : "") +
               (old.links > 1 ? "; the grid is on its other names" : "; no name leads to the grid");
    }

    // Everything the copy needs is held before the old contents go: its
    // buffer, the lock that keeps other runs writing in place out, the name
    // still leading to the output, and the room for the grid. From then on
    // only a write can fail. Where the file system shares blocks between
    // files, the output takes the grid's own: nothing to reserve, no copy.
    bool copyIntoOutput() {
        sys::Facts grid;
        std::vector<char> buffer(kOutputBufferSize);
        if (!sys::factsOf(temporary.fd, grid) || !sys::primitives.lockForWriting(output))
            return failWith(sys::lastError());
        if (std::string moved = nameMoved(false); !moved.empty())
            return fail(moved);
        {
            sys::SignalsHeld signalsWait;
            sys::ignoreSignals();
        }
        overwriting = true;
        std::int64_t cloned = sys::primitives.cloneInto(output, temporary.fd, grid.size);
        overwriting = cloned != 0;
        if (cloned < 0 || (cloned == 0 && !sys::primitives.reserve(output, grid.size)))
            return failWith(sys::lastError());
        overwriting = true;
        bool copied = true;
        for (std::int64_t at = cloned, n = 1; copied && n > 0; at += n) {
            n = sys::readSome(temporary.fd, buffer.data(), buffer.size(), at);
            copied =
                n >= 0 && (n == 0 || sys::primitives.writeAll(output, buffer.data(),
                                                              static_cast<std::size_t>(n), at));
        }
        if (!copied || !sys::setSize(output, grid.size) || !sys::primitives.flushData(output))
            return failWith(sys::lastError());
        overwriting = false;
        // Another program that replaced or removed the output's name
        // meanwhile took it: the grid went into a file that only its other
        // names, or none, lead to.
        if (std::string moved = nameMoved(true); !moved.empty())
            return fail(moved);
        discard(); // the temporary file goes
        return true;
    }

    // Standard output is not ours to close; a regular file behind it is
    // flushed all the same.
    bool flushConsoleOutput() {
        return old.kind != sys::Kind::regular || sys::primitives.flushData(output) ||
               failWith(sys::lastError());
    }

    bool closeStream() {
        return sys::closeChecked(std::exchange(output, -1)) || failWith(sys::lastError());
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

std::optional<OutputFile> openOutputFile(const std::string& name, int consoleOutput,
                                         std::string& reason) {
    auto state = std::make_unique<OutputFile::State>();
    if (isPossibleName(name, reason) && state->open(name, consoleOutput)) {
        bool building = state->temporary.fd >= 0; // a regular file of this run's own
        state->writer =
            std::make_unique<TextWriter>(building ? state->temporary.fd : state->output, building);
        return OutputFile(std::move(state));
    }
    reason = state->reason.empty() ? reason : state->reason;
    return std::nullopt;
}

std::optional<OutputFile> openStandardOutput(int consoleOutput, std::string& reason) {
    auto state = std::make_unique<OutputFile::State>();
    state->how = How::consoleOutput;
    state->output = consoleOutput;
    if (!sys::factsOf(state->output, state->old)) {
        reason = sys::reasonOf(sys::lastError());
        return std::nullopt;
    }
    state->writer = std::make_unique<TextWriter>(state->output);
    return OutputFile(std::move(state));
}

bool OutputFile::isSameFileAs(const InputFile& input) const {
    sys::Facts facts;
    return !state_->isNew && sys::factsOf(input.descriptor(), facts) && state_->old.id == facts.id;
}

bool OutputFile::isConsoleOutput() const {
    return state_->how == How::consoleOutput;
}

TextWriter& OutputFile::text() {
    return *state_->writer;
}

bool OutputFile::finish(std::string& reason) {
    State& s = *state_;
    bool done = false;
    if (!s.writer->flush())
        done = s.fail(s.writer->reason());
    else {
        s.writer.reset();
        switch (s.how) {
        case How::replace:
            done = s.putInPlace();
            break;
        case How::inPlace:
            done = s.copyIntoOutput();
            break;
        case How::stream:
            done = s.closeStream();
            break;
        case How::consoleOutput:
            done = s.flushConsoleOutput();
            break;
        }
    }
    reason = s.reason;
    return done;
}

namespace sys {
Primitives primitives;
}

} // namespace brenzolt
