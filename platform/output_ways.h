// The four ways a grid reaches the output, each a type that holds only what
// its way needs. Private to platform/: files.cpp surveys the output, lets
// `wayFor` pick the way, builds that way's type from the survey and finishes
// it.
//
//  way            holds                        a failure undoes     a signal undoes
//  Replace        directory, name, old,        the temporary file   the temporary file
//                 isNew, carried,              before the rename;   before the rename;
//                 temporary (beside)           nothing after        nothing after
//  InPlace        output, directory (when      the temporary file;  the temporary file
//                 held), systemTemporary,      a failed write in    before the copy;
//                 name, old, temporary         the copy (or clone)  nothing after
//                 (beside, or aside in         empties the output
//                 systemTemporary),            (overwriting)
//                 overwriting
//  Stream         output                       nothing              nothing
//  ConsoleStream  output (standard output,     nothing              nothing
//                 not ours to close), old
//
// The commit is the rename (Replace) or the start of the copy (InPlace),
// once everything the copy needs is held and the output's name still leads
// to it: from there on the signals are ignored and the run finishes. Where
// the system makes files without a name, the temporary file has none until
// just before its rename. In a directory whose names cannot be removed
// (append-only) it has none: a new output is named at the commit, an old one
// written in place.
//
// Each type is built in place from the survey, taking what it holds, and is
// never copied or moved, so that nothing is closed twice. `writer()` makes
// the writer the grid goes through (into the temporary file, where the way
// has one); `finish()` puts the grid in place, or fails and says why;
// `undo()` (after a failure, and from the destructor) gives back what the
// way still holds and undoes what it began.
#pragma once

#include "platform/system.h"
#include "platform/temporary_file.h"
#include "platform/text_writer.h"

#include <memory>
#include <string>

namespace brenzolt::ways {

// What the first open of the output found.
struct Found {
    bool isNew = false; // no file at the name
    sys::Facts old;     // the file there, when there is one
    // The console's own standard output, a file or pipe the caller opened.
    bool console = false;
    bool temporaryBeside = false; // a temporary file could be made beside it
    bool carried = true;          // what the old file carries went onto it
    bool appendOnly = false;      // its directory keeps every name it is given
};

// The first open of the output: what it found, and what it holds (the
// output's own descriptor, its directory, the temporary file beside it),
// without choosing a way. What no way takes goes with it.
struct Survey {
    Found found;
    int output = -1;          // the output's own descriptor; -1 for a new one
    sys::Directory directory; // the output's, where it could be held
    std::string name;         // the output's name in `directory`
    std::string carried;      // what the old output carries, for a file that replaces it
    TemporaryFile temporary;  // beside the output, where one could be made

    Survey() = default;
    Survey(const Survey&) = delete;
    Survey& operator=(const Survey&) = delete;
    ~Survey();
    // Opens the output `path` and looks at it; false, with the reason, when
    // this run could not write it any way.
    bool open(const std::string& path, int consoleOutput, std::string& reason);

  private:
    bool makeTemporaryBeside(const std::string& path, std::string& reason);
};

enum class How { replace, inPlace, stream, consoleOutput };
How wayFor(const Found& found);

// Built in place, never copied or moved.
struct Unmoved {
    Unmoved() = default;
    Unmoved(const Unmoved&) = delete;
    Unmoved& operator=(const Unmoved&) = delete;
};

// A regular file (or a name not there yet) replaced by the temporary file
// beside it.
struct Replace : Unmoved {
    sys::Directory directory;
    std::string name;
    sys::Facts old;
    bool isNew;
    std::string carried;
    TemporaryFile temporary; // in `directory`

    explicit Replace(Survey& survey);
    ~Replace() { undo(); }
    auto writer() const { return std::make_unique<TextWriter>(temporary.fd(), true); }
    bool finish(std::string& reason);
    // The stages of `finish`, which outputs finished together take each in
    // turn: the grid on the disk, in place, and its directory on the disk.
    bool flush(std::string& reason);
    bool commit(std::string& reason);
    bool flushDirectory(std::string& reason);
    void undo();
};

// A file that may be written, but not replaced: the grid is made aside and
// copied in.
struct InPlace : Unmoved {
    int output;
    sys::Directory directory; // fd -1 where it could not be held
    sys::Directory systemTemporary;
    std::string name;
    sys::Facts old;
    TemporaryFile temporary;  // in `directory`, or aside in `systemTemporary`
    bool overwriting = false; // the output's old contents are being written over

    explicit InPlace(Survey& survey);
    ~InPlace() { undo(); }
    // Where no temporary file could be made beside the output, one in the
    // system's temporary directory.
    bool makeAside(std::string& reason);
    auto writer() const { return std::make_unique<TextWriter>(temporary.fd(), true); }
    bool finish(std::string& reason);
    void undo();

  private:
    std::string nameMoved(bool copied);
};

// A device, FIFO or terminal, written as the grid comes.
struct Stream : Unmoved {
    int output;

    explicit Stream(Survey& survey);
    ~Stream() { undo(); }
    auto writer() const { return std::make_unique<TextWriter>(output); }
    bool finish(std::string& reason);
    void undo();
};

// The console's own standard output, written through it.
struct ConsoleStream : Unmoved {
    int output; // not ours to close
    sys::Facts old;

    ConsoleStream(int consoleOutput, const sys::Facts& facts) : output(consoleOutput), old(facts) {}
    auto writer() const { return std::make_unique<TextWriter>(output); }
    bool finish(std::string& reason);
    void undo() {}
};

} // namespace brenzolt::ways
