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

mkfifo stalled.grd
"$brenzolt" stalled.grd out.txt >/dev/null 2>&1 & stalled=$!
exec 3>stalled.grd
"$brenzolt" small.grd out.txt >/dev/null
head -c 20 small.grd >&3
exec 3>&-
wait "$stalled" && fail "a stalled input that ends early converted"
cmp -s out.txt small.txt || fail "a failed run removed another run's output"
[ -z "$(ls out.txt.* 2>/dev/null || true)" ] || fail "temporary files left"
echo "nothing lost"
