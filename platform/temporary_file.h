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
//  state     fd      name_      a signal
//  none      -1      empty      removes nothing
//  created   open    its name   removes it (until the commit of a copy, from
//                               which on the signals are ignored)
//  placed    -1      empty      is ignored: the run finishes
class TemporaryFile {
  public:
    int fd = -1;
    int error = 0;        // why the last creation failed
    bool refused = false; // as no file may be made there

    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { remove(); }

    // "TARGET.brenzolt-incomplete-XXXXXXXXXXXX", or the same without TARGET
    // when the long name fails for any reason (too long for the directory,
    // which some systems report as another failure); a name already taken
    // means another random one.
    bool create(const sys::Directory& where, const std::string& target);
    bool createUnnamed(const sys::Directory& where);
    // Closed, then in place of `to` in its directory in one step (an unnamed
    // one named `to`): the commit, from which on the signals are ignored.
    bool putInPlace(const std::string& to, bool replacing);
    void remove();

  private:
    bool unnamed_ = false;
    const sys::Directory* directory_ = nullptr;
    std::string name_;
    sys::FileId id_;
};

} // namespace brenzolt
