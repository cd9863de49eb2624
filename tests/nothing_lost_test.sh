#!/usr/bin/env bash
# Faults from outside a run: signals while the output is written, two runs to one output, a run
# whose stalled input fails after another run wrote the output, another user's links and
# pre-created names and a renamed directory. The old output survives whole, or one complete grid
# stands there. (An output held open on Windows is a row of the end-to-end table.)
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
# stays ignored, and the run completes.
python3 - "$brenzolt" <<'PY' || fail "a signal while the grid was written"
import filecmp, glob, os, signal, subprocess, sys, time
for linked in (False, True):
    for name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGKILL", "ignored"):
        os.system("rm -f out*.txt* && cp old.txt out.txt")
        linked and os.link("out.txt", "out2.txt")
        ignore = lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN if name == "ignored" else signal.SIG_DFL)
        run = subprocess.Popen([sys.argv[1], "big.grd", "out.txt"], stdout=subprocess.DEVNULL, preexec_fn=ignore)
        while os.path.getsize("out.txt") == 5 and not any(map(os.path.getsize, glob.glob("out.txt.*"))):
            time.sleep(0.002)
        run.send_signal(getattr(signal, name, signal.SIGHUP))
        status, left = run.wait(), glob.glob("out.txt.*") if name != "SIGKILL" else []
        expected = (0, "big.txt") if name == "ignored" else (-getattr(signal, name), "old.txt")
        if (status, left) != (expected[0], []) or not filecmp.cmp("out.txt", expected[1], False):
            sys.exit(f"{name}, {'two names' if linked else 'replaced'}: ended {status}, left {left}")
PY

# Two runs replacing one output finish together: one whole grid stands, and only the run that put
# it there succeeds.
for try in $(seq 30); do
    rm -f out2.txt && cp old.txt out.txt
    "$brenzolt" stalled.grd out.txt >/dev/null 2>&1 & one=$! && exec 3>stalled.grd
    "$brenzolt" stalled2.grd out.txt >/dev/null 2>&1 & two=$! && exec 4>stalled2.grd
    head -c 55 small.grd >&3 && head -c 55 other.grd >&4
    await '[ "$(temporaries out.txt)" = 2 ]'
    printf @ >&3 && printf @ >&4 && exec 3>&- 4>&- && won=0
    wait $one && won=1; wait $two && won=$((won + 2))
    { [ $won = 1 ] && cmp -s out.txt small.txt; } || { [ $won = 2 ] && cmp -s out.txt other.txt; } ||
        fail "two runs at once: $won won"
done

# A run whose input stalls, while another writes the output: failing late, it keeps its hands
# off; finishing late, it does not replace the other run's grid, whether or not the output was
# there before. Finishing after its directory was renamed, it puts its grid there.
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
    [ $status != 0 ] || fail "$ending: the stalled run replaced another run's output"
    cmp -s out.txt small.txt || fail "$ending: another run's output was lost"
done
[ "$(temporaries out.txt)" = 0 ] || fail "temporary files left"

# Names pre-created for the next process ids stop nothing: the temporary names are random.
(touch new.txt.brenzolt-incomplete-$BASHPID{,-{1..99}} && exec "$brenzolt" small.grd new.txt </dev/null >/dev/null) &&
    cmp -s new.txt small.txt || fail "pre-created temporary names"

# A replaced output keeps its permission bits and its group; a new one gets the usual ones.
group=$([ "$(id -u)" = 0 ] && echo 65534 || id -g) && chmod 640 out.txt && chgrp $group out.txt && "$brenzolt" small.grd out.txt >/dev/null
rm -f new.txt && (umask 022 && "$brenzolt" small.grd new.txt >/dev/null)
[ "$(stat -c '%a %g' out.txt new.txt | tr '\n' ' ')" = "640 $group 644 $(id -g) " ] || fail "permission bits or group"

# With standard error in the console's pipe (2>&1), the reason line comes after the console text
# that was written before it.
{ "$brenzolt" short.grd out.txt 2>&1 || true; } | sed -n 3p | grep -q '^brenzolt: short.grd: ' || fail "2>&1"

# As root: an output owned by another user is written in place, and after a failing input it is
# as it was. Another user swaps the output's name between a link to nothing and a link to one of
# root's files, in a directory that user may write, while root converts a short grid there again
# and again: root's file survives.
if [ "$(id -u)" = 0 ]; then
    cp old.txt theirs.txt && chown nobody theirs.txt
    ! "$brenzolt" short.grd theirs.txt >/dev/null 2>&1 && cmp -s old.txt theirs.txt || fail "in place"
    mkdir -m 700 private && echo precious >private/file && mkdir -m 777 shared
    setpriv --reuid=65534 --regid=65534 --clear-groups sh -c \
        'while :; do ln -sfn ../private/file shared/out.txt; ln -sfn nothing shared/out.txt; done' &
    swapper=$! && end=$((SECONDS + 3))
    while [ $SECONDS -lt $end ]; do "$brenzolt" short.grd shared/out.txt </dev/null >/dev/null 2>&1 || true; done
    { kill $swapper && wait $swapper; } 2>/dev/null || true
    [ "$(cat private/file)" = precious ] || fail "another user's links cost root a file"
fi

# A write that fails stops every thread: far fewer dots than rows.
grid 3 100000 0 0 0 0 0 0 0 0 0 0 >tall.grd && head -c 1200000 /dev/zero >>tall.grd
dots=$( (ulimit -f 4 && BRENZOLT_THREADS=2 "$brenzolt" tall.grd tall.txt 2>/dev/null || true) | tr -cd . | wc -c)
[ "$dots" -lt 50000 ] || fail "$dots rows written after the first failed write"
echo "nothing lost"
