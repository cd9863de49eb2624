#include "platform/output_ways.h"

#include <utility>
#include <vector>

namespace brenzolt::ways {

namespace {

// Fails, saying why: the way undoes what it holds afterwards.
bool failed(std::string& reason, std::string why) {
    reason = std::move(why);
    return false;
}

bool failedWith(std::string& reason, int error) {
    return failed(reason, sys::reasonOf(error));
}

} // namespace

Survey::~Survey() {
    temporary.remove(); // before the directory it is in closes
    sys::closeChecked(directory.fd);
    sys::closeChecked(output);
}

bool Survey::open(const std::string& path, int consoleOutput, std::string& reason) {
    output = sys::openForWriting(path);
    found.isNew = output < 0 && sys::lastError() == sys::kNotFound;
    if ((output < 0 && !found.isNew) || (!found.isNew && !sys::factsOf(output, found.old)))
        return failedWith(reason, sys::lastError());
    // The console's own standard output is a file or pipe that the caller
    // opened (a device such as /dev/null is only written as it comes).
    found.console = found.old.kind != sys::Kind::device && sys::isSameFile(output, consoleOutput);
    return found.console || (!found.isNew && found.old.kind != sys::Kind::regular) ||
           makeTemporaryBeside(path, reason);
}

// Holds the output's directory and makes the temporary file there, and
// puts on it what the old output carries. Only "no file may be created
// here" leaves it without one; any other failure (no descriptors, no
// room) ends the run.
bool Survey::makeTemporaryBeside(const std::string& path, std::string& reason) {
    bool isNew = found.isNew;
    bool directoryHeld = sys::openDirectoryOf(output, path, directory, name);
    if (!directoryHeld && isNew)
        return failedWith(reason, sys::lastError());
    if (!directoryHeld && !sys::mayNotCreate(sys::lastError()))
        return failed(reason, "its directory cannot be held: " + sys::reasonOf(sys::lastError()));
    // A link to nothing would have the grid make a file wherever the link
    // leads by the time of the commit.
    if (isNew && sys::isLink(directory, name))
        return failed(reason,
                      "is a link to nothing: name the file it should create, or remove the link");
    found.appendOnly = directoryHeld && sys::isAppendOnly(directory);
    TemporaryFile::Created created;
    if (directoryHeld)
        created = found.appendOnly ? temporary.createUnnamed(directory, isNew)
                                   : temporary.create(directory, name, isNew);
    found.temporaryBeside = bool(created);
    if (!found.temporaryBeside && directoryHeld && (isNew || !created.refused))
        return failedWith(reason, created.error);
    found.carried = isNew || !found.temporaryBeside ||
                    sys::carryAttributes(temporary.fd(), output, found.old, carried);
    return true;
}

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

Replace::Replace(Survey& survey)
    : directory(std::exchange(survey.directory, {})), name(std::move(survey.name)),
      old(survey.found.old), isNew(survey.found.isNew), carried(std::move(survey.carried)),
      temporary(std::move(survey.temporary)) {}

// On the disk first, with what the old file carries, then in place in one
// step, then the directory on the disk: a power cut shows the old file or
// the whole new one. Another run's grid that stands there by then is
// replaced too: the last run to finish wins.
bool Replace::finish(std::string& reason) {
    return flush(reason) && commit(reason) && flushDirectory(reason);
}

bool Replace::flush(std::string& reason) {
    return sys::primitives.flushData(temporary.fd()) || failedWith(reason, sys::lastError());
}

// What the old file carries goes on after the last write, which would clear
// some of it (file capabilities).
bool Replace::commit(std::string& reason) {
    if (!sys::takeAttributes(temporary.fd(), isNew ? nullptr : &old, carried, directory))
        return failedWith(reason, sys::lastError());
    return temporary.putInPlace(name, !isNew, reason);
}

bool Replace::flushDirectory(std::string& reason) {
    if (sys::primitives.flushDirectory(directory))
        return true;
    // The one failure that cannot be undone.
    return failed(reason, "the new grid is in place but may not be on the disk: " +
                              sys::reasonOf(sys::lastError()));
}

void Replace::undo() {
    temporary.remove();
    sys::closeChecked(std::exchange(directory.fd, -1));
}

InPlace::InPlace(Survey& survey)
    : output(std::exchange(survey.output, -1)), directory(std::exchange(survey.directory, {})),
      name(std::move(survey.name)), old(survey.found.old), temporary(std::move(survey.temporary)) {}

bool InPlace::makeAside(std::string& reason) {
    if (temporary.fd() >= 0)
        return true;
    TemporaryFile::Created created;
    if (!sys::openTemporaryDirectory(systemTemporary))
        created.error = sys::lastError();
    else if ((created = temporary.create(systemTemporary, name.empty() ? "brenzolt" : name, false)))
        return true;
    return failed(reason, "the grid cannot be made aside in " + systemTemporary.path + ": " +
                              sys::reasonOf(created.error));
}

// What stands at the output's name when it no longer leads to the
// output (`copied`: after the grid went into it); empty while it does.
std::string InPlace::nameMoved(bool copied) {
    sys::AtName found = sys::AtName::theFile;
    if (directory.fd >= 0 && !sys::whatIsAt(directory, name, old.id, found))
        return (copied ? "the grid was copied in, but its name cannot be checked: "
                       : "its name cannot be checked: ") +
               sys::reasonOf(sys::lastError());
    if (found == sys::AtName::theFile)
        return {};
    std::string what = found == sys::AtName::anotherFile ? "replaced by another file" : "removed";
    if (!copied)
        return what + " before this grid was copied in; nothing changed";
    // The output's links tell whether a name still leads to the grid: one
    // of its others, or the one it was moved to.
    sys::Facts now;
    bool named = !sys::factsOf(output, now) || now.links > 0;
    return what + " while this grid was copied in" +
           (found == sys::AtName::anotherFile ? "; that file stands" : "") +
           (named ? "; the grid is on its other names" : "; no name leads to the grid");
}

// Everything the copy needs is held before the old contents go: its
// buffer, the lock that keeps other runs writing in place out, the name
// still leading to the output, and the room for the grid. From then on
// only a write can fail. Where the file system shares blocks between
// files, the output takes the grid's own: nothing to reserve, no copy.
bool InPlace::finish(std::string& reason) {
    sys::Facts grid;
    std::vector<char> buffer(kOutputBufferSize);
    if (!sys::factsOf(temporary.fd(), grid) || !sys::primitives.lockForWriting(output))
        return failedWith(reason, sys::lastError());
    if (std::string moved = nameMoved(false); !moved.empty())
        return failed(reason, moved);
    {
        sys::SignalsHeld signalsWait;
        sys::ignoreSignals();
    }
    // The old contents go from the first block shared (some may be, where
    // sharing failed), or once the room for a copy is reserved.
    std::int64_t cloned = sys::primitives.cloneInto(output, temporary.fd(), grid.size);
    overwriting = cloned != 0 || sys::primitives.reserve(output, grid.size);
    bool copied = cloned >= 0 && overwriting;
    for (std::int64_t at = cloned, n = 1; copied && n > 0; at += n) {
        n = sys::readSome(temporary.fd(), buffer.data(), buffer.size(), at);
        copied = n >= 0 && (n == 0 || sys::primitives.writeAll(output, buffer.data(),
                                                               static_cast<std::size_t>(n), at));
    }
    if (!copied || !sys::setSize(output, grid.size) || !sys::primitives.flushData(output))
        return failedWith(reason, sys::lastError());
    overwriting = false;
    // Another program that replaced or removed the output's name
    // meanwhile took it: the grid went into a file that only its other
    // names, or none, lead to.
    if (std::string moved = nameMoved(true); !moved.empty())
        return failed(reason, moved);
    undo(); // the temporary file goes
    return true;
}

void InPlace::undo() {
    if (output >= 0 && overwriting)
        sys::setSize(output, 0);
    sys::closeChecked(std::exchange(output, -1));
    temporary.remove(); // before the directory it is in closes
    for (sys::Directory* held : {&directory, &systemTemporary})
        sys::closeChecked(std::exchange(held->fd, -1));
}

Stream::Stream(Survey& survey) : output(std::exchange(survey.output, -1)) {}

bool Stream::finish(std::string& reason) {
    return sys::closeChecked(std::exchange(output, -1)) || failedWith(reason, sys::lastError());
}

void Stream::undo() {
    sys::closeChecked(std::exchange(output, -1));
}

// Standard output is not ours to close; a regular file behind it is
// flushed all the same.
bool ConsoleStream::finish(std::string& reason) {
    return old.kind != sys::Kind::regular || sys::primitives.flushData(output) ||
           failedWith(reason, sys::lastError());
}

} // namespace brenzolt::ways
