#!/usr/bin/env bash
# Conversion benchmark (not a test): converts a generated 4096 x 4096 grid,
# values uniform in [-500, 3000] and a threshold that blanks about 10% of
# them, with the default precision and with precision 2 and 9. Reports the
# best wall time of REPEAT runs as ns per node, the peak resident memory, and
# the time `cat` takes to copy the output just written: the floor for writing
# that many bytes.
#
#   bash bench/convert_bench.sh                # builds a Release binary in build-bench
#   BRENZOLT=path/to/brenzolt REPEAT=5 bash bench/convert_bench.sh
#
# Targets: at most 40 ns per node with the default precision and with 2, at
# most 50 with 9; peak memory at most the input size plus 32 MiB.
set -euo pipefail
cd "$(dirname "$0")/.."

repeat=${REPEAT:-3}
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

work=$(mktemp -d "${TMPDIR:-/tmp}/brenzolt-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$work/in.grd" "$size" <<'EOF'
import array, random, struct, sys
path, n = sys.argv[1], int(sys.argv[2])
low, high = -500.0, 3000.0
threshold = low + 0.1 * (high - low)  # blanks about 10% of the nodes
rng = random.Random(20240601)
nodes = array.array("f", [low + (high - low) * rng.random() for _ in range(n * n)])
if sys.byteorder != "little":
    nodes.byteswap()
with open(path, "wb") as out:
    out.write(struct.pack("<12f", n, n, 0.0, 0.0, 1.0, threshold, 0.0, low, high, 0.0, 0.0, 0.0))
    nodes.tofile(out)
EOF

nodes=$((size * size))
input_bytes=$(stat -c %s "$work/in.grd")
memory_limit_kib=$(((input_bytes + 32 * 1024 * 1024) / 1024))

now_ns() { date +%s%N; }

# Runs the command `repeat` times; leaves the best wall time in $best_ns, the
# best user + system time in $best_cpu_ns and the largest peak resident set
# size (KiB) in $peak_kib. On a shared machine the CPU time is the steadier.
best_of() {
    local start end elapsed kib cpu
    best_ns=""
    best_cpu_ns=""
    peak_kib=0
    for _ in $(seq "$repeat"); do
        start=$(now_ns)
        /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null
        end=$(now_ns)
        elapsed=$((end - start))
        if [ -z "$best_ns" ] || [ "$elapsed" -lt "$best_ns" ]; then best_ns=$elapsed; fi
        kib=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
        if [ "$kib" -gt "$peak_kib" ]; then peak_kib=$kib; fi
        cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {printf "%.0f", s * 1e9}' "$work/time.txt")
        if [ -z "$best_cpu_ns" ] || [ "$cpu" -lt "$best_cpu_ns" ]; then best_cpu_ns=$cpu; fi
    done
}

per_node() { awk -v t="$1" -v n="$nodes" 'BEGIN { printf "%.1f", t / n }'; }

echo "grid: ${size} x ${size} nodes, input $((input_bytes / 1024)) KiB, best of $repeat runs"
printf '%-10s %8s %12s %11s %12s %10s %10s  %s\n' precision ns/node "cpu ns/node" "output MiB" "cat ns/node" \
    "peak KiB" "limit KiB" verdict
for precision in default 2 9; do
    args=("$work/in.grd" "$work/out.txt")
    target=40
    if [ "$precision" != default ]; then args+=("$precision"); fi
    if [ "$precision" = 9 ]; then target=50; fi
    best_of "$BRENZOLT" "${args[@]}"
    convert_ns=$best_ns
    convert_cpu_ns=$best_cpu_ns
    convert_peak=$peak_kib
    lines=$(wc -l <"$work/out.txt")
    if [ "$lines" -ne $((size + 5)) ]; then
        echo "conversion with precision $precision wrote $lines lines, not $((size + 5))" >&2
        exit 1
    fi
    output_mib=$(awk -v b="$(stat -c %s "$work/out.txt")" 'BEGIN { printf "%.1f", b / 1048576 }')
    best_of sh -c 'cat "$1" >"$2"' sh "$work/out.txt" "$work/copy.txt"
    cat_ns=$best_ns
    rm -f "$work/copy.txt"
    ns=$(per_node "$convert_ns")
    verdict=$(awk -v ns="$ns" -v t="$target" -v kib="$convert_peak" -v lim="$memory_limit_kib" \
        'BEGIN { print (ns <= t ? "time ok" : "time over " t) ", " (kib <= lim ? "memory ok" : "memory over") }')
    printf '%-10s %8s %12s %11s %12s %10s %10s  %s\n' "$precision" "$ns" \
        "$(per_node "$convert_cpu_ns")" "$output_mib" "$(per_node "$cat_ns")" "$convert_peak" \
        "$memory_limit_kib" "$verdict"
done
