// What Ctrl-C, Ctrl-Break or closing the console undoes on Windows, and
// nothing else. The console control handler runs on a thread of its own,
// which the system starts for it: it may do what any thread does, but must
// never meet a change half made.
#include "platform/system.h"
#include "platform/win32.h"

namespace brenzolt::sys {

namespace {

// What the handler must undo (sys::Undo). It is given no argument, so this is
// the one piece of process-wide state; its lock is what sys::SignalsHeld
// holds, taken by the outermost hold of the one thread that holds it.
struct PendingUndo {
    SRWLOCK lock = SRWLOCK_INIT;
    Undo slots[kMostUndone]; // no name where a slot is free
    int depth = 0;           // how deep the holds nest
    bool ignored = false;
};
PendingUndo pendingUndo;

BOOL WINAPI undoAndEnd(DWORD event) {
    AcquireSRWLockExclusive(&pendingUndo.lock);
    if (pendingUndo.ignored) {
        // Past the commit the run finishes: Ctrl-C waits for it, and a closing
        // console has the system wait for it as long as it waits.
        ReleaseSRWLockExclusive(&pendingUndo.lock);
        if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
            Sleep(INFINITE);
        return TRUE;
    }
    for (const Undo& undo : pendingUndo.slots)
        if (!undo.name.empty())
            removeIfSame(undo.directory, undo.name, undo.id);
    // Ends the process as the console's own handler would have.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

} // namespace

int armUndo(const Undo& undo) {
    for (Undo& slot : pendingUndo.slots)
        if (slot.name.empty()) {
            slot = undo;
            return static_cast<int>(&slot - pendingUndo.slots);
        }
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return -1;
}

void disarmUndo(int slot) {
    if (slot >= 0)
        pendingUndo.slots[slot] = {};
}

SignalsHeld::SignalsHeld() {
    if (pendingUndo.depth++ == 0)
        AcquireSRWLockExclusive(&pendingUndo.lock);
}

SignalsHeld::~SignalsHeld() {
    if (--pendingUndo.depth == 0)
        ReleaseSRWLockExclusive(&pendingUndo.lock);
}

void ignoreSignals() {
    if (pendingUndo.depth == 1) // else the hold around this one decides
        pendingUndo.ignored = true;
}

void undoOnSignals() {
    SetConsoleCtrlHandler(undoAndEnd, TRUE);
}

} // namespace brenzolt::sys
