#!/usr/bin/env bash
# Faults from outside a run: signals while the output is written and at its commit, runs at once
# on one output, a run whose stalled input fails after another run wrote the output, another
# user's links and pre-created names, a renamed directory, and little address space. The old
# output survives whole, or one complete grid stands there. (An output held open on Windows is a
# row of the end-to-end table.)
# Usage: nothing_lost_test.sh BRENZOLT
set -euo pipefail
set -m # background runs keep the default reaction to SIGINT, as at a terminal
brenzolt=$(realpath "$1")
cd "$(mktemp -d)" && chmod 755 .
trap 'rm -rf "$PWD"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
grid() { python3 -c 'import struct, sys; sys.stdout.buffer.write(struct.pack("<%df" % (len(sys.argv) - 1), *map(float, sys.argv[1:])))' "$@"; }
temporaries() { ls "$1".brenzolt-incomplete-* 2>/dev/null | wc -l; }
await() { for _ in $(seq 1000); do eval "$1" && return; sleep 0.03; done; fail "waited for $1"; }

grid 1 2 0 0 0 0 0 0 0 0 0 0 5 6 >small.grd && grid 1 2 0 0 0 0 0 0 0 0 0 0 7 6 >other.grd
head -c 50 small.grd >short.grd && printf 'old\r\n' >old.txt && mkfifo stalled.grd stalled2.grd

# A grid big enough to be caught writing: 2000 x 2000 random words.
grid 2000 2000 0 0 0 0 0 0 0 0 0 0 >big.grd && head -c 16000000 /dev/urandom >>big.grd
export BRENZOLT_THREADS=1 && "$brenzolt" big.grd big.txt >/dev/null
"$brenzolt" small.grd small.txt >/dev/null && "$brenzolt" other.grd other.txt >/dev/null

# A signal once the grid is being written, to an output replaced or one written in place (two
# names): the output stays as it was, nothing is left (but by SIGKILL), and the run ends by that
# signal, as its wait status says, not as a shell's $? would have it. A signal the caller ignores
# stays ignored, and one at the commit (the rename, or the copy into the output begun) comes too
# late: either way the run completes.
python3 - "$brenzolt" <<'PY' || fail "a signal while the grid was written"
import filecmp, glob, os, signal, subprocess, sys, time
for linked in (False, True):
    for name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGKILL", "ignored", "late"):
        os.system("rm -f out*.txt* && cp old.txt out.txt")
        linked and os.link("out.txt", "out2.txt")
        old = os.stat("out.txt").st_ino
        ignore = lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN if name == "ignored" else signal.SIG_DFL)
        run = subprocess.Popen([sys.argv[1], "big.grd", "out.txt"], stdout=subprocess.DEVNULL, preexec_fn=ignore)
        begun = lambda: os.stat("out.txt").st_ino != old or os.path.getsize("out.txt") != 5
        while not begun() and (name == "late" or not any(map(os.path.getsize, glob.glob("out.txt.*")))):
            time.sleep(0.0005)
        run.send_signal(getattr(signal, name, signal.SIGHUP))
        status, left = run.wait(), glob.glob("out.txt.*") if name != "SIGKILL" else []
        expected = (0, "big.txt") if name in ("ignored", "late") else (-getattr(signal, name), "old.txt")
        if (status, left) != (expected[0], []) or not filecmp.cmp("out.txt", expected[1], False) or \
                (linked and not filecmp.cmp("out2.txt", expected[1], False)):
            sys.exit(f"{name}, {'two names' if linked else 'replaced'}: ended {status}, left {left}")
PY

# Three runs on one output finish together, replacing it, creating it, or writing it in place
# (two names): the last to finish wins, its grid whole on every name, each run succeeds, nothing
# is left.
for n in 1 2 3; do grid 300 300 0 0 0 0 0 0 0 0 0 0 >run$n.grd && head -c 360000 /dev/urandom >>run$n.grd; done
for n in 1 2 3; do "$brenzolt" run$n.grd run$n.txt >/dev/null && rm -f fifo$n && mkfifo fifo$n; done
for kind in replaced new linked; do
    end=$((SECONDS + 2))
    while [ $SECONDS -lt $end ]; do
        rm -f out*.txt && { [ $kind = new ] || cp old.txt out.txt; } && { [ $kind != linked ] || ln out.txt out2.txt; }
        for n in 1 2 3; do "$brenzolt" fifo$n out.txt >/dev/null 2>&1 & eval "run$n=$!" && eval "exec $((n + 2))>fifo$n"; done
        head -c 360000 run1.grd >&3 && head -c 360000 run2.grd >&4 && head -c 360000 run3.grd >&5
        await '[ "$(temporaries out.txt)" = 3 ]'
        tail -c +360001 run1.grd >&3 && tail -c +360001 run2.grd >&4 && tail -c +360001 run3.grd >&5 && exec 3>&- 4>&- 5>&-
        status=0 && for n in 1 2 3; do wait $((run$n)) || status=$?; done
        { [ $status = 0 ] && [ "$(temporaries out.txt)" = 0 ] && { cmp -s out.txt run1.txt || cmp -s out.txt run2.txt ||
            cmp -s out.txt run3.txt; } && { [ $kind != linked ] || cmp -s out.txt out2.txt; }; } ||
            fail "three runs at once, $kind: status $status, $(ls out*)"
    done
done

# A run whose input stalls, while another writes the output: failing late, it keeps its hands
# off; finishing late, it replaces the other run's grid, whether or not the output was there
# before. Finishing after its directory was renamed, it puts its grid there.
for ending in renamed short whole-new whole-old; do
    rm -rf out.txt sub moved && mkdir sub && [ "$ending" != whole-old ] || cp old.txt out.txt
    output=$([ $ending = renamed ] && echo sub/out.txt || echo out.txt)
    "$brenzolt" stalled.grd $output >/dev/null 2>&1 & stalled=$! && exec 3>stalled.grd
    await '[ "$(temporaries $output)" = 1 ]'
    [ $ending = renamed ] && mv sub moved && output=moved/out.txt || "$brenzolt" small.grd out.txt >/dev/null
    { [ "$ending" = short ] && head -c 20 big.grd >&3 || cat other.grd >&3; } && exec 3>&-
    status=0 && wait "$stalled" || status=$?
    [ $ending != renamed ] || { [ $status = 0 ] && cmp -s $output other.txt && [ "$(ls moved)" = out.txt ] &&
        continue; } || fail "a renamed directory: status $status, $(ls moved)"
    { [ $ending = short ] && [ $status != 0 ] && cmp -s out.txt small.txt; } ||
        { [ $ending != short ] && [ $status = 0 ] && cmp -s out.txt other.txt; } || fail "$ending: status $status"
done
[ "$(temporaries out.txt)" = 0 ] || fail "temporary files left"

# Names pre-created for the next process ids stop nothing: the temporary names are random.
(touch new.txt.brenzolt-incomplete-$BASHPID{,-{1..99}} && exec "$brenzolt" small.grd new.txt </dev/null >/dev/null) &&
    cmp -s new.txt small.txt || fail "pre-created temporary names"

# A replaced output keeps its permission bits and its group; a new one gets the usual ones.
group=$([ "$(id -u)" = 0 ] && echo 65534 || id -g) && chmod 640 out.txt && chgrp $group out.txt && "$brenzolt" small.grd out.txt >/dev/null
rm -f new.txt && (umask 022 && "$brenzolt" small.grd new.txt >/dev/null)
[ "$(stat -c '%a %g' out.txt new.txt | tr '\n' ' ')" = "640 $group 644 $(id -g) " ] || fail "permission bits or group"
# In a directory with a default access list, a new output gets what any new file gets there.
if command -v setfacl >/dev/null; then
    mkdir acl && setfacl -d -m u::rw,g::rw,o::r acl && touch acl/touched && (umask 077 && "$brenzolt" small.grd acl/new.txt >/dev/null)
    [ "$(getfacl -cp acl/new.txt)" = "$(getfacl -cp acl/touched)" ] || fail "a default access list: $(getfacl -cp acl/new.txt)"
fi

# With standard error in the console's pipe (2>&1), the reason line comes after the console text
# that was written before it.
{ "$brenzolt" short.grd out.txt 2>&1 || true; } | sed -n 3p | grep -q '^brenzolt: short.grd: ' || fail "2>&1"
# Help that cannot be written is no success.
! "$brenzolt" --help >/dev/full || fail "help written to a full device ended with status 0"

# Little address space (ulimit -v; for a program of this machine, not under AddressSanitizer or an
# emulator, which reserve far more): the grid
# on 1, 16 and 256 threads, the same bytes. With too little for one block of text, the run fails
# with a message and leaves the output as it was.
grid 3 100000 0 0 0 0 0 0 0 0 0 0 >tall.grd && head -c 1200000 /dev/zero >>tall.grd
if ldd "$brenzolt" >libraries 2>&1 && ! grep -q libasan libraries; then
    for threads in 1 16 256; do
        rm -f out.txt && (ulimit -v 65536 && BRENZOLT_THREADS=$threads "$brenzolt" big.grd out.txt >/dev/null) &&
            cmp -s out.txt big.txt || fail "ulimit -v 65536 on $threads threads"
    done
    limit=16384 && status=0
    while [ $status = 0 ] && [ $limit -gt 4096 ]; do
        cp old.txt out.txt && limit=$((limit - 256)) && status=0
        (ulimit -v $limit && exec "$brenzolt" tall.grd out.txt >/dev/null 2>errors) || status=$?
    done
    [ $status = 1 ] && grep -q "too little memory" errors && cmp -s out.txt old.txt && [ "$(temporaries out.txt)" = 0 ] ||
        fail "ulimit -v $limit: status $status, $(cat errors)"
fi

# As root: an output owned by another user is written in place, kept as it was after a failing
# input, and after a conversion it is still theirs, on every name. As that user: a drop box
# (mode 1733) takes a new output; their own file in a directory where they can make none is made
# aside and copied in, the same file after; where nothing can be made aside, the message names
# the place. A file mounted over a name is written in place.
if [ "$(id -u)" = 0 ]; then
    as() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
    cp old.txt theirs.txt && chown nobody theirs.txt && ln theirs.txt theirs2.txt
    ! "$brenzolt" short.grd theirs.txt >/dev/null 2>&1 && cmp -s old.txt theirs.txt || fail "in place"
    "$brenzolt" small.grd theirs.txt >/dev/null && cmp -s small.txt theirs2.txt &&
        [ "$(stat -c %U theirs.txt theirs2.txt | tr '\n' ' ')" = "nobody nobody " ] || fail "another user's file changed hands"
    mkdir -m 1733 drop && as "$brenzolt" small.grd drop/out.txt >/dev/null && cmp -s drop/out.txt small.txt || fail "a drop box"
    mkdir -m 755 closed && cp old.txt closed/mine.txt && chown nobody closed/mine.txt && inode=$(stat -c %i closed/mine.txt)
    errors=$(TMPDIR=/nowhere as "$brenzolt" small.grd closed/mine.txt 2>&1 >/dev/null </dev/null) ||
        [[ $errors == *"aside in /nowhere: No such file"* ]] || fail "no place aside: $errors"
    as "$brenzolt" small.grd closed/mine.txt >/dev/null && cmp -s closed/mine.txt small.txt &&
        [ "$(stat -c %i closed/mine.txt)" = "$inode" ] || fail "a file in a closed directory"
    cp old.txt mounted.txt && cp old.txt source.txt && if mount --bind source.txt mounted.txt 2>/dev/null; then
        "$brenzolt" small.grd mounted.txt >/dev/null && cmp -s source.txt small.txt || { umount mounted.txt; fail "a mount point"; }
        umount mounted.txt
    fi

    # Another user toggles the output's name between nothing and a link to where root keeps its
    # files, in a shared sticky directory, with the system's protection of such links on, while
    # root converts there again and again: nothing appears at the link's end, and a run that
    # succeeds leaves the output.
    protection=$(cat /proc/sys/fs/protected_symlinks)
    if echo 1 2>/dev/null >/proc/sys/fs/protected_symlinks; then
        mkdir -m 700 private && mkdir -m 1777 sticky
        setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c 'import os
while True:
    try: os.symlink(os.path.abspath("private/made"), "sticky/out.txt"); os.unlink("sticky/out.txt")
    except OSError: pass' &
        toggler=$! && end=$((SECONDS + 3)) && lost=
        while [ $SECONDS -lt $end ] && [ -z "$lost" ]; do
            "$brenzolt" small.grd sticky/out.txt </dev/null >/dev/null 2>&1 && { [ -f sticky/out.txt ] &&
                [ ! -L sticky/out.txt ] || lost=1; }
            [ -L sticky/out.txt ] || rm -f sticky/out.txt
        done
        { kill -9 $toggler && wait $toggler; } 2>/dev/null || true
        echo "$protection" >/proc/sys/fs/protected_symlinks
        [ ! -e private/made ] && [ -z "$lost" ] || fail "another user's link: a file made at its end, or status 0 without the output"
    fi
fi

# A write that fails stops every thread: far fewer dots than rows.
dots=$( (ulimit -f 4 && BRENZOLT_THREADS=2 "$brenzolt" tall.grd tall.txt 2>/dev/null || true) | tr -cd . | wc -c)
[ "$dots" -lt 50000 ] || fail "$dots rows written after the first failed write"
echo "nothing lost"
