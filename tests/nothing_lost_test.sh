#!/usr/bin/env bash
# Faults from outside a run: a signal while the output is written, two runs to
# one output, and a run whose stalled input fails after another run wrote the
# output. The old output survives whole, or one complete grid stands there.
# Usage: nothing_lost_test.sh BRENZOLT
set -euo pipefail
set -m # background runs keep the default reaction to SIGINT, as at a terminal
brenzolt=$(realpath "$1")
cd "$(mktemp -d)"
trap 'rm -rf "$PWD"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# A grid big enough to be caught writing: 2000 x 2000 random words.
python3 -c 'import struct, sys; sys.stdout.buffer.write(struct.pack("<12f", 2000, 2000, *[0] * 10))' >big.grd
head -c 16000000 /dev/urandom >>big.grd
python3 -c 'import struct, sys; sys.stdout.buffer.write(struct.pack("<14f", 1, 2, *[0] * 10, 5, 6))' >small.grd
printf 'old\r\n' >old.txt
export BRENZOLT_THREADS=1

for signal in INT TERM HUP KILL; do
    cp old.txt out.txt
    "$brenzolt" big.grd out.txt >/dev/null &
    pid=$!
    until [ -s "out.txt.brenzolt-incomplete-$pid" ]; do sleep 0.01; done
    kill -s "$signal" "$pid"
    status=0 && wait "$pid" || status=$?
    [ "$status" -eq $((128 + $(kill -l "$signal"))) ] || fail "$signal: status $status"
    cmp -s old.txt out.txt || fail "$signal: the old output changed"
    left=$(ls out.txt.* 2>/dev/null || true)
    [ -z "$left" ] || [ "$signal" = KILL ] || fail "$signal left $left"
    rm -f out.txt.*
done

"$brenzolt" small.grd small.txt >/dev/null
"$brenzolt" big.grd big.txt >/dev/null
rm -f out.txt
"$brenzolt" big.grd out.txt >/dev/null & first=$!
"$brenzolt" small.grd out.txt >/dev/null & second=$!
wait "$first" || true
wait "$second" || true
cmp -s out.txt big.txt || cmp -s out.txt small.txt || fail "two runs mixed their grids"

# A run whose input stalls, while another writes the output: failing late,
# it keeps its hands off; finishing late, it does not replace the other
# run's grid, whether or not the output was there before.
mkfifo stalled.grd
for ending in short whole-new whole-old; do
    rm -f out.txt && [ "$ending" != whole-old ] || cp old.txt out.txt
    "$brenzolt" stalled.grd out.txt >/dev/null 2>&1 & stalled=$!
    exec 3>stalled.grd
    until [ -e "out.txt.brenzolt-incomplete-$stalled" ]; do sleep 0.01; done
    "$brenzolt" small.grd out.txt >/dev/null
    if [ "$ending" = short ]; then head -c 20 big.grd >&3; else cat big.grd >&3; fi
    exec 3>&-
    wait "$stalled" && fail "$ending: the stalled run replaced another run's output"
    cmp -s out.txt small.txt || fail "$ending: another run's output was lost"
done
[ -z "$(ls out.txt.* 2>/dev/null || true)" ] || fail "temporary files left"

# A replaced output keeps its permission bits; a new one gets the usual ones.
chmod 640 out.txt && "$brenzolt" small.grd out.txt >/dev/null
rm -f new.txt && (umask 022 && "$brenzolt" small.grd new.txt >/dev/null)
[ "$(stat -c %a out.txt new.txt | tr '\n' ' ')" = "640 644 " ] || fail "permission bits"

# A write that fails stops every thread: far fewer dots than rows.
python3 -c 'import struct, sys; sys.stdout.buffer.write(struct.pack("<12f", 3, 100000, *[0] * 10))' >tall.grd
head -c 1200000 /dev/zero >>tall.grd
dots=$( (ulimit -f 4 && trap "" XFSZ && BRENZOLT_THREADS=2 "$brenzolt" tall.grd tall.txt 2>/dev/null || true) | tr -cd . | wc -c)
[ "$dots" -lt 50000 ] || fail "$dots rows written after the first failed write"
echo "nothing lost"
