// What a replaced output carries on Windows: ReplaceFileW gives the new file
// the old one's attributes, creation time, streams and security, and fails
// where the security cannot go; never the owner, as a new file is its
// maker's. A new output has what its directory gives.
#include "platform/system.h"
#include "platform/win32.h"

namespace brenzolt::sys {

namespace {

// Whether the user may open the open file with `access`: all but "access
// denied" says yes (a file held by another program now may not be later).
bool mayOpen(HANDLE handle, DWORD access) {
    HANDLE again = ReOpenFile(handle, access, kShareAll, 0);
    if (again != INVALID_HANDLE_VALUE)
        CloseHandle(again);
    return again != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED;
}

} // namespace

// The security goes with a new file where the old file's owner is the new
// one's, and the user may open the old file as ReplaceFileW opens it and set
// its access list (DACL), and the new one's; a volume that keeps no security
// has none to carry.
bool carryAttributes(int to, int from, const Facts&, std::string& accessList) {
    HANDLE temporary = handleOf(to), output = handleOf(from);
    DWORD flags = 0;
    accessList.clear();
    if (!GetVolumeInformationByHandleW(output, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
        return false;
    Owner old(output), made(temporary);
    return (flags & FILE_PERSISTENT_ACLS) == 0 ||
           (old.sid != nullptr && made.sid != nullptr && EqualSid(old.sid, made.sid) &&
            mayOpen(output, GENERIC_READ | DELETE | WRITE_DAC) && mayOpen(temporary, WRITE_DAC));
}

bool takeAttributes(int, const Facts*, const std::string&, const Directory&) {
    return true;
}

} // namespace brenzolt::sys
