// The temporary file that an output's grid is made in. Private to
// platform/: the output's policy (files.cpp) is written over it.
#pragma once

#include "platform/system.h"

#include <string>

namespace brenzolt {

// A temporary file of its own, as a lock file sits on one: created new under
// a random name in a held directory and armed at once, so that an interrupt,
// termination or hang-up removes it; then ended one way, renamed into place
// (the commit of a replaced output), or removed while it is still the file it
// created (after a failure, or once its grid was copied into the output).
// Each step holds the signals once, so that a signal finds it armed or not.
// In a directory whose names cannot be removed it has no name (`unnamed`):
// closed, it goes; named at the commit, it is the new output. One that
// cannot be removed is named on standard error.
//
//  state     fd()    name_      a signal
//  none      -1      empty      removes nothing
//  created   open    its name   removes it (until the commit of a copy, from
//                               which on the signals are ignored)
//  placed    -1      empty      is ignored: the run finishes
class TemporaryFile {
  public:
    // How a creation ended: made, or why not (the system's error number) and
    // whether that says no file may be made there (no permission, a
    // read-only file system, a directory that takes no new files) rather
    // than that the system lacks something (descriptors, room, inodes).
    struct Created {
        bool made = false;
        int error = 0;
        bool refused = false;
        explicit operator bool() const { return made; }
    };

    TemporaryFile() = default;
    // The file goes with `other`, which then holds none (and so neither
    // removes it nor disarms the signals for it).
    TemporaryFile(TemporaryFile&& other) noexcept;
    TemporaryFile& operator=(TemporaryFile&&) = delete;
    ~TemporaryFile() { remove(); }

    // The file's descriptor while it is open, else -1.
    int fd() const { return fd_; }
    // "TARGET.brenzolt-incomplete-XXXXXXXXXXXX", or the same without TARGET
    // when the long name fails for any reason (too long for the directory,
    // which some systems report as another failure); a name already taken
    // means another random one. `where` must stay open until the file is
    // placed or removed.
    Created create(const sys::Directory& where, const std::string& target);
    // Every failure counts as a refusal.
    Created createUnnamed(const sys::Directory& where);
    // Closed, then in place of `to` in its directory in one step (an unnamed
    // one named `to`): the commit, from which on the signals are ignored.
    bool putInPlace(const std::string& to, bool replacing);
    void remove();

  private:
    int fd_ = -1;
    bool unnamed_ = false;
    sys::Directory directory_; // where it is, held open by the caller
    std::string name_;
    sys::FileId id_;
    int undoSlot_ = -1; // the signals' undo of it
};

} // namespace brenzolt
