// What a signal that ends the process undoes on POSIX systems, and nothing
// else: the handler and the state it reads. The handler may call only
// what is async-signal-safe (fstatat, unlinkat, sigaction, signal, raise),
// and where it returns, it leaves errno as the code it interrupted had it.
#include "platform/system.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brenzolt::sys {

namespace {

// What a signal must undo (sys::Undo), and whether it must wait (sys::SignalsHeld).
// A signal handler is given no argument, so this is the one piece of
// process-wide state.
struct UndoSlot {
    int directory;
    char name[NAME_MAX + 1];
    FileId id;
    volatile std::sig_atomic_t armed;
};
struct PendingUndo {
    UndoSlot slots[kMostUndone];
    volatile std::sig_atomic_t held, waiting; // held: how deep the holds nest
};
PendingUndo pendingUndo;

// Every signal whose default ends the process, the real-time ones too, but
// those that a fault of the program itself raises (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGTRAP, SIGSYS), after which the process is in no state to undo
// anything.
constexpr int kUndoneSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGABRT, SIGPIPE,   SIGALRM, SIGTERM,
    SIGUSR1,   SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

template <class Each> void forEachUndone(Each each) {
    for (int signal : kUndoneSignals)
        each(signal);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        each(signal);
#endif
}

// Whether `name` in `directory` is still the file `id`, the name itself not followed.
bool isStill(int directory, const char* name, const FileId& id) {
    struct stat st {};
    return ::fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)} ==
               id;
}

extern "C" void undoAndEnd(int signal) {
    int interrupted = errno;
    // Past the commit the signal is ignored: one that came in the meantime too.
    struct sigaction now {};
    if (::sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) {
        errno = interrupted;
        return;
    }
    if (pendingUndo.held) {
        pendingUndo.waiting = signal;
        errno = interrupted;
        return;
    }
    for (const UndoSlot& slot : pendingUndo.slots)
        if (slot.armed && slot.name[0] != '\0' && isStill(slot.directory, slot.name, slot.id))
            ::unlinkat(slot.directory, slot.name, 0);
    // Ends the process as the signal would have: the caller sees the signal.
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

} // namespace

int armUndo(const Undo& undo) {
    for (int slot = 0; slot < kMostUndone; ++slot) {
        UndoSlot& free = pendingUndo.slots[slot];
        if (free.armed)
            continue;
        free.directory = undo.directory.fd;
        std::snprintf(free.name, sizeof free.name, "%s", undo.name.c_str());
        free.id = undo.id;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        free.armed = 1;
        return slot;
    }
    errno = EMFILE;
    return -1;
}

void disarmUndo(int slot) {
    if (slot >= 0)
        pendingUndo.slots[slot].armed = 0;
}

SignalsHeld::SignalsHeld() {
    pendingUndo.held = pendingUndo.held + 1;
}

// A signal that came meanwhile is handled once the outermost hold ends.
SignalsHeld::~SignalsHeld() {
    pendingUndo.held = pendingUndo.held - 1;
    if (pendingUndo.held == 0 && pendingUndo.waiting != 0)
        undoAndEnd(pendingUndo.waiting);
}

void ignoreSignals() {
    if (pendingUndo.held > 1)
        return; // the hold around this one decides
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    forEachUndone([&](int signal) { ::sigaction(signal, &ignore, nullptr); });
    pendingUndo.waiting = 0;
}

void undoOnSignals() {
    forEachUndone([](int signal) {
        struct sigaction action {};
        // A signal the caller set to be ignored (nohup, a background job)
        // stays ignored.
        if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            return;
        action.sa_handler = undoAndEnd;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    });
}

} // namespace brenzolt::sys
