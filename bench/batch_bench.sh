#!/usr/bin/env bash
# The batch form's benchmark (not a test), on the disk that holds TMPDIR. Each time is the
# median of REPEAT rounds, each round running every command of a comparison once, in turn:
#  1. 200 grids of 100 x 80 converted in one run, beside `cp` of the same 200 output files
#     followed by one `sync`, and beside a loop of two-name runs. Target: the run at most
#     1.2 x cp + sync.
#  2. One 4096 x 4096 grid in the batch form beside the two-name form. Target: within 1.05 x.
#  3. Peak memory (maximum resident set) of 10,000 grids of 20 x 20 in one run beside one
#     grid of BIG x BIG (default 16384; 0 leaves it out) in the two-name form. Target: no more.
#  4. For the record: 500 grids of 100 x 80 in a tree of 10 folders, converted with -r in one
#     run and by a loop over `find`; the commands and the run's last line are printed.
# Every conversion ends with its grids on the disk, and every copy with a sync: the figures
# include the flushes, as a user's runs do.
#
#   bash bench/batch_bench.sh                   # builds a Release binary in build-bench
#   BRENZOLT=path/to/brenzolt REPEAT=5 BIG=0 bash bench/batch_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."

repeat=${REPEAT:-5}
big=${BIG:-16384}
[ -x /usr/bin/time ] || bash scripts/install-deps.sh time
command -v python3 >/dev/null || bash scripts/install-deps.sh python3
source bench/release_build.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/brenzolt-batch-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# grids FOLDER COUNT COLUMNS ROWS [FOLDERS]: COUNT random grids, spread over FOLDERS
# subfolders when given.
grids() {
    python3 - "$@" <<'PY'
import os, random, struct, sys
folder, count, columns, rows = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
folders = int(sys.argv[5]) if len(sys.argv) > 5 else 0
rng = random.Random(20260101)
# A large grid repeats a random block of at most 1 Mi nodes, so that it costs little to make.
size = columns * rows
block = struct.pack(f"<{min(size, 1 << 20)}f", *[rng.uniform(-500, 3000) for _ in range(min(size, 1 << 20))])
header = struct.pack("<12f", columns, rows, 0, 0, 1, -1e30, 0, -500, 3000, 0, 0, 0)
for i in range(count):
    where = os.path.join(folder, f"part{i % folders}") if folders else folder
    os.makedirs(where, exist_ok=True)
    with open(os.path.join(where, f"grid{i:05d}.grd"), "wb") as out:
        out.write(header)
        for left in range(size, 0, -(1 << 20)):
            out.write(block[:4 * min(left, 1 << 20)])
PY
}

now_ns() { date +%s%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
seconds() { awk -v t="$1" 'BEGIN { printf "%.3f", t / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# timed LABEL COMMAND...: the command's wall time, kept under LABEL for the median.
declare -A times
timed() {
    local label=$1 start
    shift
    sync
    start=$(now_ns)
    "$@" >/dev/null
    times[$label]+="$(($(now_ns) - start)) "
}
middle() { tr ' ' '\n' <<<"${times[$1]}" | grep . | median; }

loop() { for f in "$1"/*.grd; do "$BRENZOLT" "$f" "$2/$(basename "$f")"; done; }
copy() { cp "$1"/* "$2"/ && sync; }
fresh() { rm -rf "$@" && mkdir -p "$@"; }

echo "1. 200 grids of 100 x 80 in $work (median of $repeat rounds)"
grids small 200 100 80
for _ in $(seq "$repeat"); do
    fresh out && timed batch "$BRENZOLT" -t out small/*.grd
    fresh copy && timed cp+sync copy out copy
    fresh loop && timed loop loop small loop
done
for label in batch cp+sync loop; do
    printf '   %-8s %s s  %s x cp + sync\n' "$label" "$(seconds "$(middle $label)")" \
        "$(ratio "$(middle $label)" "$(middle cp+sync)")"
done

echo "2. one 4096 x 4096 grid"
grids large 1 4096 4096
for round in $(seq "$repeat"); do # each into an empty folder, first one, then the other
    for form in $( ((round % 2)) && echo two-name batch || echo batch two-name); do
        fresh out
        if [ $form = batch ]; then
            timed batch "$BRENZOLT" -t out large/grid00000.grd
        else
            timed two-name "$BRENZOLT" large/grid00000.grd out/grid00000.grd
        fi
    done
done
printf '   two-name %s s, batch %s s: %s x\n' "$(seconds "$(middle two-name)")" \
    "$(seconds "$(middle batch)")" "$(ratio "$(middle batch)" "$(middle two-name)")"

echo "3. peak memory"
rm -rf small large out copy loop
grids many 10000 20 20
fresh out
/usr/bin/time -f %M -o many.kib "$BRENZOLT" -t out many/*.grd >/dev/null
rm -rf many out
printf '   10000 grids of 20 x 20 in one run: %s KiB\n' "$(cat many.kib)"
if [ "$big" != 0 ]; then
    grids big 1 "$big" "$big"
    /usr/bin/time -f %M -o big.kib "$BRENZOLT" big/grid00000.grd big.txt >/dev/null
    rm -rf big big.txt
    printf '   one grid of %s x %s: %s KiB\n' "$big" "$big" "$(cat big.kib)"
fi

echo "4. 500 grids of 100 x 80 in 10 folders"
grids tree 500 100 80 10
fresh out && mkdir loop
start=$(now_ns)
"$BRENZOLT" -r -t out tree | sed 's/^/   /'
echo "   brenzolt -r -t out tree: $(seconds $(($(now_ns) - start))) s"
start=$(now_ns)
find tree -name '*.grd' | while read -r f; do "$BRENZOLT" "$f" "loop/${f//\//_}" </dev/null; done \
    >/dev/null
echo "   find tree -name '*.grd' | while read -r f; do brenzolt \"\$f\" \"loop/\${f//\\//_}\"" \
    "</dev/null; done: $(seconds $(($(now_ns) - start))) s"
