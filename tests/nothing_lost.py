#!/usr/bin/env python3
# The scenarios of nothing_lost_test.sh that need a run's wait status or a lock, one function
# each, run in the test's directory with the files it made.
# usage: nothing_lost.py signals|locked|descriptors BRENZOLT
#        nothing_lost.py toggle_link TARGET NAME   (until killed)
import fcntl, glob, os, resource, signal, subprocess, sys, time

OUTPUTS = {"one name": "cp old.txt out.txt",
           "two names": "cp old.txt out.txt && ln out.txt out2.txt"}


def start(brenzolt, kind, **options):  # a run into out.txt made afresh as `kind`; its inode
    subprocess.run(f"rm -f out*.txt* && {OUTPUTS[kind]}", shell=True, check=True)
    inode = os.lstat("out.txt").st_ino
    run = subprocess.Popen([brenzolt, "big.grd", "out.txt"], stdout=subprocess.DEVNULL, **options)
    return run, inode


def temporaries():
    return glob.glob("out.txt.brenzolt-incomplete-*")


def writing(run):  # the run holds a temporary file with part of a grid: named, or without a name
    def temporary(fd):
        target = os.readlink(fd)
        return ("incomplete" in target or target.endswith("(deleted)")) and os.stat(fd).st_size
    try:
        return any(map(temporary, glob.glob(f"/proc/{run.pid}/fd/*")))
    except OSError:  # an open file gone meanwhile
        return False


def wait_until(ready, tries=1000):  # of 30 ms each
    for _ in range(tries):
        if ready():
            return
        time.sleep(0.03)


# The run ends with `status`, every name of the output holds `grid`, no temporary file is left
# (but after SIGKILL).
def expect(run, status, grid, what, killed=False):
    ended, left, text = run.wait(), [] if killed else temporaries(), open(grid, "rb").read()
    if ended != status or left or any(open(n, "rb").read() != text for n in glob.glob("out*.txt")):
        sys.exit(f"FAILED: {what}: ended {ended}, left {left}")


# A signal that ends a process, once the grid is being written, to an output replaced or one
# written in place (two names): the output stays as it was, nothing is left (but by SIGKILL, where
# the temporary file has a name), and the run ends by that signal, as its wait status says. A
# signal the caller ignores stays ignored, and one at the commit (the rename, or the copy into the
# output begun) comes too late: the run completes.
def signals(brenzolt):
    for kind in ("one name", "two names"):
        for name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGALRM", "SIGUSR1", "SIGUSR2",
                     "SIGPROF", "SIGVTALRM", "SIGXCPU", "SIGRTMIN", "SIGKILL", "ignored", "late"):
            action = signal.SIG_IGN if name == "ignored" else signal.SIG_DFL
            ignore = lambda: (signal.signal(signal.SIGHUP, action),
                              resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
            run, old = start(brenzolt, kind, preexec_fn=ignore)
            number = getattr(signal, name, signal.SIGHUP)
            begun = lambda: os.stat("out.txt").st_ino != old or os.path.getsize("out.txt") != 5
            while not begun() and (name == "late" or not writing(run)):
                time.sleep(0.0005)
            run.send_signal(number)
            late = name in ("ignored", "late")
            expect(run, 0 if late else -number, "big.txt" if late else "old.txt", f"{name}, {kind}",
                   name == "SIGKILL")


# Another program holds the lock of the file a run would copy into (two names): a SIGTERM while
# the run waits for it ends the run as the signal says, the file as it was.
def locked(brenzolt):
    run, _ = start(brenzolt, "two names")
    wait_until(lambda: writing(run))
    holder = open("out.txt", "r+")
    fcntl.lockf(holder, fcntl.LOCK_EX)
    inode = f":{os.fstat(holder.fileno()).st_ino} "
    wait_until(lambda: any("->" in lock and inode in lock for lock in open("/proc/locks")))
    run.send_signal(signal.SIGTERM)
    time.sleep(0.2)  # the signal first, then the lock comes free
    holder.close()
    expect(run, -signal.SIGTERM, "old.txt", "locked")


# Too few descriptors for the temporary file beside an output (ulimit -n 6: the input, the
# output and its directory take the last three) fail the run with that reason, naming the
# output; only a directory that takes no new file sends an output in place, made aside.
def descriptors(brenzolt):
    limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (6, 6))
    run, _ = start(brenzolt, "one name", stderr=open("errors", "w"), preexec_fn=limit)
    expect(run, 1, "old.txt", "ulimit -n 6")
    if open("errors").read() != "brenzolt: out.txt: Too many open files\n":  # a CR LF, as read
        sys.exit(f"FAILED: ulimit -n 6: {open('errors').read()}")


# Another user's loop: NAME is a link to TARGET, then nothing, and again.
def toggle_link(target, name):
    while True:
        try:
            os.symlink(os.path.abspath(target), name)
            os.unlink(name)
        except OSError:
            pass


COMMANDS = {"signals": signals, "locked": locked, "descriptors": descriptors,
            "toggle_link": toggle_link}
COMMANDS[sys.argv[1]](*sys.argv[2:])
