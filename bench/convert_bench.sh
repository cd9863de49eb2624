#!/usr/bin/env bash
# Conversion benchmark (not a test). Converts a generated 4096 x 4096 grid,
# values uniform in [-500, 3000] and a threshold that blanks about 10% of them,
# side by side with `cat` copying the output just written (the floor for
# writing that many bytes), in rounds that run each command once in turn; every
# figure is the median of REPEAT rounds. The cases:
#  - the default precision and precisions 2, 6, 8 and 9, on one thread and on
#    all, each writing a new output;
#  - replacing an output that is there (default precision, all threads),
#    beside cat replacing a copy of it;
#  - a cold input, where the machine lets the caches be dropped (as root):
#    the conversion beside `cat` of the cold input, and the target, the warm
#    conversion plus that read;
#  - a 16384 x 16384 grid (1 GiB input), for its time per node and peak memory.
# With BASELINE set, another build of brenzolt runs in the same rounds and the
# table gives how many times faster this one is.
#
#   bash bench/convert_bench.sh                # builds a Release binary in build-bench
#   BRENZOLT=path/to/brenzolt BASELINE=path/to/old REPEAT=5 BIG=0 bash bench/convert_bench.sh
#   TMPDIR=/dev/shm bash bench/convert_bench.sh  # in memory, without the disk's writeback
#
# Every conversion ends with its grid on the disk (flushed before it takes the
# output's place), so the figures on a disk include that flush, as a user's
# runs do. Targets: at most 1.2 x cat for every precision (all threads, in
# memory: TMPDIR=/dev/shm); a cold input within 10% of warm + cat of the cold
# input; peak memory at most 16 MiB whatever the grid and the threads.
set -euo pipefail
cd "$(dirname "$0")/.."

repeat=${REPEAT:-5}
big=${BIG:-1}
size=4096
[ -x /usr/bin/time ] || bash scripts/install-deps.sh time
command -v python3 >/dev/null || bash scripts/install-deps.sh python3

if [ -z "${BRENZOLT:-}" ]; then
    build=${BUILD_DIR:-build-bench}
    bash scripts/install-deps.sh cmake make g++
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRENZOLT_TESTS=OFF >/dev/null
    cmake --build "$build" -j2 --target brenzolt >/dev/null
    BRENZOLT=$build/app/brenzolt
fi
BRENZOLT=$(realpath "$BRENZOLT")
baseline=${BASELINE:+$(realpath "$BASELINE")}
all_threads=$(nproc)

work=$(mktemp -d "${TMPDIR:-/tmp}/brenzolt-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# make_grid PATH N: an N x N grid whose rows repeat the rows of one random
# 4096 x 4096 grid (so the big grid costs no more to make than the small).
make_grid() {
    python3 - "$1" "$2" <<'PY'
import array, random, struct, sys
path, n = sys.argv[1], int(sys.argv[2])
low, high = -500.0, 3000.0
threshold = low + 0.1 * (high - low)  # blanks about 10% of the nodes
rng = random.Random(20240601)
base = 4096
nodes = array.array("f", [low + (high - low) * rng.random() for _ in range(base * base)])
if sys.byteorder != "little":
    nodes.byteswap()
with open(path, "wb") as out:
    out.write(struct.pack("<12f", n, n, 0.0, 0.0, 1.0, threshold, 0.0, low, high, 0.0, 0.0, 0.0))
    if n == base:
        nodes.tofile(out)
    else:
        raw = nodes.tobytes()
        row = 4 * base
        for r in range(n):
            first = (r % base) * row
            out.write(raw[first:first + row] * (n // base))
PY
}

now_ns() { date +%s%N; }
per_node() { awk -v t="$1" -v n="$2" 'BEGIN { printf "%.1f", t / n }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Wall times (ns) and peak resident set sizes (KiB) of each command, by label.
declare -A times peaks

# timed LABEL COMMAND...: runs the command once and keeps its figures.
timed() {
    local label=$1 start end kib
    shift
    start=$(now_ns)
    /usr/bin/time -f %M -o "$work/peak.txt" "$@" >/dev/null
    end=$(now_ns)
    times[$label]+="$((end - start)) "
    kib=$(tail -n 1 "$work/peak.txt")
    [ "$kib" -le "${peaks[$label]:-0}" ] || peaks[$label]=$kib
}

median() {
    printf '%s\n' ${times[$1]} | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'
}

# rounds FUNCTION...: calls the functions in turn, `repeat` rounds; each
# prepares its case untimed and runs it through `timed`.
rounds() {
    times=() peaks=()
    for _ in $(seq "$repeat"); do
        for f; do "$f"; done
    done
}

# One conversion of $input into $output with $precision on $threads threads,
# by this build and by the baseline: a new output, or one replaced
# ($replace=1); the caches dropped first when $cold=1.
convert_as() {
    local label=$1 program=$2 args=("$input" "$output")
    [ "$precision" = default ] || args+=("$precision")
    if [ "$replace" = 1 ]; then [ -e "$output" ] || cp "$input" "$output"; else rm -f "$output"; fi
    if [ "$cold" = 1 ]; then sync; echo 3 >/proc/sys/vm/drop_caches; fi
    timed "$label" env BRENZOLT_THREADS="$threads" "$program" "${args[@]}"
}
convert_new() { convert_as new "$BRENZOLT"; }
convert_old() { convert_as old "$baseline"; }
# cat of the output into a new file, or over the copy made before when the
# conversion replaces its output: then both pay for freeing the old file.
copy_output() {
    if [ "$replace" = 1 ]; then [ -e "$work/copy.txt" ] || cp "$output" "$work/copy.txt"; else rm -f "$work/copy.txt"; fi
    timed cat sh -c 'cat "$1" >"$2"' sh "$output" "$work/copy.txt"
}
read_cold_input() {
    sync; echo 3 >/proc/sys/vm/drop_caches
    timed cold-cat sh -c 'cat "$1" >/dev/null' sh "$input"
}
convert_warm() { cold=0 convert_as warm "$BRENZOLT"; }

# One line of the table for the rounds just run.
report() {
    local nodes=$1 name=$2 new old cat
    new=$(median new)
    cat=$(median cat)
    printf '%-26s %7s %8s %7s' "$name" "$threads" "$(per_node "$new" "$nodes")" "$(ratio "$new" "$cat")"
    if [ -n "${times[old]:-}" ]; then
        old=$(median old)
        printf ' %8s %7s' "$(per_node "$old" "$nodes")" "$(ratio "$old" "$new")"
    fi
    printf ' %8s %9s\n' "$(per_node "$cat" "$nodes")" "${peaks[new]}"
}

input=$work/in.grd
output=$work/out.txt
make_grid "$input" "$size"
nodes=$((size * size))
with_baseline=()
[ -z "$baseline" ] || with_baseline=(convert_old)
echo "grid: ${size} x ${size}, median of $repeat rounds, $all_threads hardware threads"
printf '%-26s %7s %8s %7s' case threads ns/node "x cat"
[ -z "$baseline" ] || printf ' %8s %7s' "base ns" "x faster"
printf ' %8s %9s\n' "cat ns" "peak KiB"
replace=0 cold=0
for precision in default 2 6 8 9; do
    for threads in 1 "$all_threads"; do
        rounds convert_new "${with_baseline[@]}" copy_output
        lines=$(wc -l <"$output")
        [ "$lines" -eq $((size + 5)) ] || { echo "precision $precision wrote $lines lines" >&2; exit 1; }
        report "$nodes" "precision $precision, new"
    done
done
precision=default threads=$all_threads
replace=1
rounds convert_new "${with_baseline[@]}" copy_output
report "$nodes" "precision default, replace"
replace=0
if [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ]; then
    cold=1
    rounds convert_new "${with_baseline[@]}" copy_output read_cold_input convert_warm
    cold=0
    report "$nodes" "cold input"
    target=$(($(median warm) + $(median cold-cat)))
    echo "cold input: $(per_node "$(median new)" "$nodes") ns/node against warm + cat of the cold input" \
        "$(per_node "$target" "$nodes") ns/node: $(ratio "$(median new)" "$target") x"
fi
rm -f "$input" "$output"

if [ "$big" = 1 ]; then
    # A single run would mostly measure how fast the machine hands out fresh
    # memory for 4.3 GB of page cache (twice as slow on a first touch in a
    # virtual machine): the median of rounds beside cat, as above.
    big_size=16384
    make_grid "$input" "$big_size"
    rounds convert_new "${with_baseline[@]}" copy_output
    report $((big_size * big_size)) "${big_size} x ${big_size}, new"
fi
