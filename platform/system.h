// What each system gives the platform layer's shared code: descriptors and
// the file primitives the output policy is written over. Private to
// platform/: one implementation per system, chosen by the build, in the
// files that the sections below name, SYSTEM being posix or win32:
//
//  platform_SYSTEM.cpp    descriptors, errors, the process
//  console_SYSTEM.cpp     the console
//  files_SYSTEM.cpp       files, directories and their primitives
//  attributes_SYSTEM.cpp  what a replaced output carries
//  signals_SYSTEM.cpp     what a signal that ends the process undoes
//
// Error handling: a primitive that fails returns false, or -1 where it
// returns a descriptor or a count, and leaves its reason in `lastError()`
// (the system's per-thread error number); one that cannot fail returns
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brenzolt::sys {

// ---- Descriptors, errors and the process (platform_SYSTEM.cpp)

// Writes the whole range, retrying interrupted and partial writes, at
// `offset` when it is not negative (without moving the file position, so that
// threads may share the file).
bool writeAll(int fd, const char* data, std::size_t size, std::int64_t offset = -1);

// Reads up to `size` bytes, at `offset` when it is not negative (without
// moving the file position, so that threads may share the file); the bytes
// read, 0 at the end of the file, -1 on an error.
std::int64_t readSome(int fd, void* buffer, std::size_t size, std::int64_t offset = -1);

// Tells the system that the range will be read soon, where it listens. False
// where it never does for this file (one in memory alone): asking again is
// no use.
bool readAhead(int fd, std::uint64_t offset, std::uint64_t size);

// Another descriptor of the same open file, or -1.
int duplicate(int fd);
// After a failed close the descriptor is gone all the same; -1 is no descriptor.
bool closeChecked(int fd);

int lastError();
void setLastError(int error);
std::string reasonOf(int error); // the system's words for an error number
// How many descriptors the process may have open at once (ulimit -n).
std::size_t mostDescriptors();
extern const int kNotFound, kExists, kIsDirectory, kNoSpace, kIoError;

// ---- The console (console_SYSTEM.cpp)

// The descriptor, or -1 when the caller of the program left it closed.
int descriptorIfOpen(int fd);
bool isTerminal(int fd);
// Where `fd` is a console that reads whole characters (Windows'), one line
// read there, with its line feed; false elsewhere, where the caller reads the
// line a byte at a time.
bool readConsoleLine(int fd, std::string& line);
// An answer read a byte at a time, in UTF-8: on Windows a line in the
// console's or the system's code page is taken in it.
std::string answerInUtf8(std::string line);
// Whether an answer in one pair of double quotes means the name inside them:
// on Windows, whose console types a dragged file's name so, and no name holds
// a '"'.
extern const bool kQuotedAnswers;
// Whether the console that `inputFd` and `outputFd` are is a window that
// this process alone uses: one that a double click opened for it.
bool isOwnConsoleWindow(int inputFd, int outputFd);

// ---- Files (files_SYSTEM.cpp)

// Where a file lives: two open files with the same identity are one file,
// whatever names and links led to them. An id without a file part, which
// some file systems give every file, is no file's: it equals none.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t inodeHigh = 0; // where a file's id has 128 bits (ReFS)
    bool operator==(const FileId& other) const {
        return device == other.device && inode == other.inode && inodeHigh == other.inodeHigh &&
               (inode != 0 || inodeHigh != 0);
    }
};

enum class Kind { regular, directory, device, other };
struct Facts {
    FileId id;
    Kind kind = Kind::other;
    std::uint64_t links = 1, size = 0;
    bool ownedByOther = false;
    bool mountPoint = false;             // a file mounted over a name cannot be replaced
    unsigned permissions = 0, group = 0; // what a replacing file takes over
};
bool factsOf(int fd, Facts& facts);
// Whether names that differ in case alone name one file.
extern const bool kNamesIgnoreCase;
bool isSameFile(int a, int b); // false when either is not open

// Opening by name, through links as the system follows them (its rules for
// links in shared directories apply). Writing never creates: a name that is
// not there fails with kNotFound. Reading `atOnce` waits for nothing, not for
// a FIFO's writer either.
int openForReading(const std::string& name, bool atOnce = false);
int openForWriting(const std::string& name);

// A directory held open: names in it are created, checked, renamed and
// removed relative to it, never by a path looked up again.
struct Directory {
    int fd = -1;
    // Its name: where the system names files by full path only, how they are
    // named; elsewhere for messages.
    std::string path;
};
// The directory of the file open as `fd`, and the file's name there; with
// `fd` -1, the directory of `name` as given, and its last part, never
// followed. A directory that may be written but not read is held all the
// same. The caller closes `directory.fd` in any case.
bool openDirectoryOf(int fd, const std::string& name, Directory& directory, std::string& base);
bool openTemporaryDirectory(Directory& directory); // the system's, for files aside
// Whether `name` in `directory` is a link (to nothing, where opening failed).
bool isLink(const Directory& directory, const std::string& name);
// What `name` in `directory`, itself not followed, leads to: the file `id`,
// another file, or nothing.
enum class AtName { theFile, anotherFile, nothing };
bool whatIsAt(const Directory& directory, const std::string& name, const FileId& id, AtName& found);
// Whether names may be made in `directory` but not renamed or removed.
bool isAppendOnly(const Directory& directory);

// A new file `name`, created exclusively, never through a link, readable
// and writable by its owner only; or, `asNew`, with what any new file gets
// there: the system's own rule (the umask, or the directory's default access
// list) applied to read and write for everyone.
int createExclusive(const Directory& directory, const std::string& name, bool asNew);
// Whether a failed creation says that no file may be created there (no
// permission, a read-only file system), rather than that the system lacks
// something (descriptors, room, inodes).
bool mayNotCreate(int error);
// A file without a name in `directory`, with what `createExclusive` gives,
// which goes when it is closed unless `giveName` names it first.
int createUnnamed(const Directory& directory, bool asNew);
// The unnamed file at `name` in `directory`, where no file may be by then.
bool giveName(int fd, const Directory& directory, const std::string& name);
// Removes `name` only while it is still the file `id`; false when it is and
// stays, or when what it is cannot be told.
bool removeIfSame(const Directory& directory, const std::string& name, const FileId& id);
// Removes `name`, whatever file it is: one this run has just created but
// could not learn the identity of.
bool removeName(const Directory& directory, const std::string& name);
// Puts the file `from` in place of `to` in one step, replacing whatever
// `to` is by then (`replacing`: there was a file at the first open).
bool putInPlace(const Directory& directory, const std::string& from, const std::string& to,
                bool replacing);
// Waits until no other run writes the file in place, and keeps the others
// out until it is closed.
bool lockForWriting(int fd);
// Makes sure the disk has room for `size` bytes of the file, where the file
// system can say so, without changing what it holds; on a file system that
// writes every block anew, room for all of them.
bool reserve(int fd, std::uint64_t size);
// Makes the start of the file `to` share the blocks of the first `size`
// bytes of `from`, as many as the file system can share: the bytes that now
// share them, 0 when the system refused before anything changed, -1 when
// `to` may hold part of them.
std::int64_t cloneInto(int to, int from, std::uint64_t size);
bool setSize(int fd, std::uint64_t size);
bool flushData(int fd);
bool flushDirectory(const Directory& directory); // where the directory can be flushed
// Whether the file lives in memory alone (tmpfs, ramfs), with no disk to read
// it ahead from or write it back to; false where the system cannot tell.
bool inMemory(int fd);
// Starts writing the range to the disk without waiting for it (a length of
// 0: to the end of the file). False where the system never does so for this
// file (one in memory alone): asking again is no use.
bool startWriteback(int fd, std::uint64_t offset, std::uint64_t length);

// ---- Attributes (attributes_SYSTEM.cpp)

// What the file `from` carries besides its permission bits goes onto `to`
// at once, where it can go before the grid is written (its group, extended
// attributes), and is kept in `carried` for `takeAttributes`. False where
// any of it cannot go (a group the user is not in, a namespace the user may
// not write), or cannot be read: a file that a new one would then change.
bool carryAttributes(int to, int from, const Facts& old, std::string& carried);
// After the last write (which clears some attributes), gives the file what
// `carried` holds of the file it replaces (its access list among it, which
// grants access) and that file's permission bits. A new file (`old` null)
// keeps what it was created with in `directory`.
bool takeAttributes(int fd, const Facts* old, const std::string& carried,
                    const Directory& directory);

// ---- Signals (signals_SYSTEM.cpp)

// What a signal that ends the process (an interrupt, termination, hang-up, a
// timer, SIGUSR1...) undoes before the process ends as the signal says: each
// temporary file armed, `name` in `directory`, is removed while it is still
// the file `id`. Up to kMostUndone at once, one for each output of a group
// finished together; armed and disarmed only while signals are held.
struct Undo {
    Directory directory;
    std::string name;
    FileId id;
};
inline constexpr int kMostUndone = 64;
// The slot the undo takes, or -1 (with the error of too many open files)
// where every slot is taken.
int armUndo(const Undo& undo);
void disarmUndo(int slot); // -1: none
// While one lives, those signals wait, and one that comes is handled when the
// outermost ends. One thread holds them at a time; its holds may nest.
struct SignalsHeld {
    SignalsHeld();
    ~SignalsHeld();
};
// From the commit on, while signals are held: those signals are ignored by
// the system (no call waits to be interrupted), one that came meanwhile is
// dropped, and the run finishes. Inside a hold within another (a group of
// outputs put in place together), nothing: the signals wait for the outer
// hold to end, and then end the process as they say.
void ignoreSignals();
// Sets the handlers that undo on those signals (those the caller set to be
// ignored stay ignored); once, from prepareProcess.
void undoOnSignals();

// The primitives a test may make fail or watch, reached through one table in
// every build (SQLite's way), so that the program tested is the one shipped;
// each entry is the primitive itself unless a test changed it.
struct Primitives {
    decltype(&sys::writeAll) writeAll = sys::writeAll;
    decltype(&sys::flushData) flushData = sys::flushData;
    decltype(&sys::putInPlace) putInPlace = sys::putInPlace;
    decltype(&sys::reserve) reserve = sys::reserve;
    decltype(&sys::flushDirectory) flushDirectory = sys::flushDirectory;
    decltype(&sys::lockForWriting) lockForWriting = sys::lockForWriting;
    decltype(&sys::cloneInto) cloneInto = sys::cloneInto;
};
extern Primitives primitives;

} // namespace brenzolt::sys
