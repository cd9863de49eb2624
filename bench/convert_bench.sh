#!/usr/bin/env bash
# Conversion benchmark (not a test). Converts a generated 4096 x 4096 grid,
# values uniform in [-500, 3000] and a threshold that blanks about 10% of them,
# with the default precision and with precision 2 and 9, on one thread and on
# all of them, side by side with `cat` copying the output just written: the
# floor for writing that many bytes. Each figure is the median of REPEAT runs.
# Then converts a 16384 x 16384 grid (1 GiB input) the same way, for its peak
# memory and time per node.
#
#   bash bench/convert_bench.sh                # builds a Release binary in build-bench
#   BRENZOLT=path/to/brenzolt REPEAT=5 BIG=0 bash bench/convert_bench.sh
#   TMPDIR=/dev/shm bash bench/convert_bench.sh  # in memory, without the disk's writeback
#
# Every conversion ends with its grid on the disk (flushed before it takes the output's
# place), so the figures on a disk include that flush, as a user's runs do.
#
# Targets: default precision at most 2.5 x cat, precision 9 at most 3 x cat
# (all threads); peak memory at most 64 MiB whatever the grid's size.
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

# Runs the command `repeat` times, each time writing a new file $fresh (as
# cat does), or replacing the output that is there when $fresh is empty;
# leaves the median wall time in $median_ns and the largest peak resident set
# size (KiB) in $peak_kib.
median_of() {
    local start end kib times=()
    peak_kib=0
    for _ in $(seq "$repeat"); do
        rm -f "$fresh"
        start=$(now_ns)
        /usr/bin/time -f %M -o "$work/peak.txt" "$@" >/dev/null
        end=$(now_ns)
        times+=($((end - start)))
        kib=$(tail -n 1 "$work/peak.txt")
        if [ "$kib" -gt "$peak_kib" ]; then peak_kib=$kib; fi
    done
    median_ns=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
}

per_node() { awk -v t="$1" -v n="$2" 'BEGIN { printf "%.1f", t / n }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

make_grid "$work/in.grd" "$size"
nodes=$((size * size))
echo "grid: ${size} x ${size}, median of $repeat runs, $all_threads hardware threads"
printf '%-10s %8s %12s %9s %12s %9s %10s\n' precision threads "ns/node" "x cat" "cat ns/node" "peak KiB" "output MiB"
for precision in default 2 9; do
    args=("$work/in.grd" "$work/out.txt")
    if [ "$precision" != default ]; then args+=("$precision"); fi
    for threads in 1 "$all_threads"; do
        fresh=$work/out.txt
        median_of env BRENZOLT_THREADS="$threads" "$BRENZOLT" "${args[@]}"
        convert_ns=$median_ns
        convert_peak=$peak_kib
        lines=$(wc -l <"$work/out.txt")
        if [ "$lines" -ne $((size + 5)) ]; then
            echo "precision $precision wrote $lines lines, not $((size + 5))" >&2
            exit 1
        fi
        fresh=$work/copy.txt
        median_of sh -c 'cat "$1" >"$2"' sh "$work/out.txt" "$work/copy.txt"
        cat_ns=$median_ns
        rm -f "$work/copy.txt"
        printf '%-10s %8s %12s %9s %12s %9s %10s\n' "$precision" "$threads" \
            "$(per_node "$convert_ns" "$nodes")" "$(ratio "$convert_ns" "$cat_ns")" \
            "$(per_node "$cat_ns" "$nodes")" "$convert_peak" \
            "$(awk -v b="$(stat -c %s "$work/out.txt")" 'BEGIN { printf "%.1f", b / 1048576 }')"
    done
done
# The same conversion replacing an output that is there, as users mostly run it: the
# new file must reach the disk before it takes the old one's place, and so must a new
# output, which the table above measures.
fresh=
median_of "$BRENZOLT" "$work/in.grd" "$work/out.txt"
echo "replacing an existing output: $(per_node "$median_ns" "$nodes") ns/node" \
    "(default precision, $all_threads threads)"
rm -f "$work/in.grd" "$work/out.txt"

if [ "$big" = 1 ]; then
    # The same median for the big grid, beside cat of its output: a single
    # run would mostly measure how fast the machine hands out fresh memory for
    # 4.3 GB of page cache (twice as slow on a first touch in a virtual machine).
    big_size=16384
    make_grid "$work/big.grd" "$big_size"
    fresh=$work/big.txt
    median_of "$BRENZOLT" "$work/big.grd" "$work/big.txt"
    convert_ns=$median_ns
    convert_peak=$peak_kib
    fresh=$work/copy.txt
    median_of sh -c 'cat "$1" >"$2"' sh "$work/big.txt" "$work/copy.txt"
    big_nodes=$((big_size * big_size))
    echo "grid: ${big_size} x ${big_size} (1 GiB input), default precision, $all_threads threads:" \
        "$(per_node "$convert_ns" "$big_nodes") ns/node, $(ratio "$convert_ns" "$median_ns") x cat" \
        "($(per_node "$median_ns" "$big_nodes") ns/node), peak $convert_peak KiB"
fi
