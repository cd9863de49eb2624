// The temporary file that an output's grid is made in. Private to
// platform/: the output's policy (files.cpp) is written over it.
#pragma once

#include "platform/system.h"

#include <string>

namespace brenzolt {

// A temporary file of its own, as a lock file sits on one: created new in a
// held directory, without a name where the system makes such files, else
// under a random name and armed at once, so that a signal that ends the
// process removes it; then ended one way, put in place (the commit of a
// replaced output), or removed while it is still the file it created (after
// a failure, or once its grid was copied into the output). One without a
// name is named only at the commit, just before its rename, and goes when
// it is closed. Each step holds the signals once, so that a signal finds it
// armed or not. In a directory whose names cannot be removed it is named as
// the output itself, at the commit. One that cannot be removed is named on
// standard error.
//
//  state     fd()    name_      a signal
//  none      -1      empty      removes nothing
//  unnamed   open    empty      removes nothing: it goes with the process
//  created   open    its name   removes it (until the commit of a copy, from
//                               which on the signals are ignored)
//  named     -1      its name   removes it: the rename is next
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
    // A file for the grid of `target`, with what `sys::createExclusive`
    // gives (`asNew`). Its name, now or at the commit, is
    // "TARGET.brenzolt-incomplete-XXXXXXXXXXXX", or the same without TARGET
    // when the long name fails for any reason (too long for the directory,
    // which some systems report as another failure); a name already taken
    // means another random one. `where` must stay open until the file is
    // placed or removed.
    Created create(const sys::Directory& where, const std::string& target, bool asNew);
    // Without a name until it is named `to` at the commit; every failure
    // counts as a refusal.
    Created createUnnamed(const sys::Directory& where, bool asNew);
    // Closed, then in place of `to` in its directory in one step: the commit,
    // from which on the signals are ignored. False, and why in `reason`,
    // where that failed, or where the file that the temporary's name led to
    // was not this grid (another user's, in a directory whose names anyone
    // may change): before the rename nothing changed; after it, that file
    // stands.
    bool putInPlace(const std::string& to, bool replacing, std::string& reason);
    void remove();

  private:
    int arm(int created, const std::string& name);
    bool nameIt();
    int fd_ = -1;
    bool unnamed_ = false;     // named at the commit
    bool namedAsTo_ = false;   // as the output itself
    sys::Directory directory_; // where it is, held open by the caller
    std::string target_;
    std::string name_;
    sys::FileId id_;
    int undoSlot_ = -1; // the signals' undo of it
};

} // namespace brenzolt
