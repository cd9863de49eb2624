#!/usr/bin/env bash
# Conversion benchmark (not a test). Converts a generated 4096 x 4096 grid,
# values uniform in [-500, 3000] and a threshold that blanks about 10% of them,
# on one thread and on two, side by side with `cat` copying the output just
# written (the floor for writing that many bytes), in rounds that run each
# command once in turn (A B C A B C ...); every figure is the median of REPEAT
# rounds. For each command: user and system CPU seconds, wall seconds, the wall
# time against cat's, the CPU time against one thread's, the peak resident
# memory and the minor page faults. The cases:
#  - the default precision and precisions 2, 6, 8 and 9, each writing a new output;
#  - replacing an output that is there (default precision, all threads),
#    beside cat replacing a copy of it;
#  - a cold input, where the machine lets the caches be dropped (as root):
#    the conversion beside `cat` of the cold input, and the target, the warm
#    conversion plus that read;
#  - a 16384 x 16384 grid (1 GiB input), for its time per node and peak memory.
# With BASELINE set, another build of brenzolt runs in the same rounds (on one
# thread and on two), and "x base" gives its wall time against this build's.
#
#   bash bench/convert_bench.sh                # builds a Release binary in build-bench
#   BRENZOLT=path/to/brenzolt BASELINE=path/to/old REPEAT=7 BIG=0 bash bench/convert_bench.sh
#   TMPDIR=/dev/shm bash bench/convert_bench.sh  # in memory, without the disk's writeback
#
# Every conversion ends with its grid on the disk (flushed before it takes the
# output's place): on a disk (TMPDIR not in memory) cat is followed by `sync`
# of its copy, so that both sides pay for the flush. Targets, on a quiet
# machine: two threads' CPU at most 1.15 x one thread's; wall time at most
# 1.0 x cat at precisions 6 and 8 and 1.15 x at the default, in memory; on a
# disk at most 1.1 x cat + sync; at one thread no precision slower than the
# last version by more than 2%; a cold input within 10% of warm + cat of the
# cold input; peak memory at most 6 MiB at 16384 x 16384.
set -euo pipefail
cd "$(dirname "$0")/.."

repeat=${REPEAT:-7}
big=${BIG:-1}
size=4096
command -v python3 >/dev/null || bash scripts/install-deps.sh python3
command -v g++ >/dev/null || bash scripts/install-deps.sh g++

source bench/release_build.sh
baseline=${BASELINE:+$(realpath "$BASELINE")}
all_threads=$(nproc)
[ "$all_threads" -ge 2 ] || all_threads=2

work=$(mktemp -d "${TMPDIR:-/tmp}/brenzolt-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
in_memory=0
case $(stat -f -c %T "$work") in tmpfs | ramfs) in_memory=1 ;; esac

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

# Runs a command and prints its wall, user and system seconds, peak resident
# KiB and minor page faults, from the system's own account of the process (a
# small program of its own, so that the peak is the command's alone).
cat >"$work/measure.cpp" <<'CPP'
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
int main(int, char** argv) {
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_WRONLY), 1);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage use{};
    wait4(pid, &status, 0, &use);
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s ended with status %d\n", argv[1], status);
        return 1;
    }
    auto seconds = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    std::printf("%.6f %.6f %.6f %ld %ld\n",
                double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9,
                seconds(use.ru_utime), seconds(use.ru_stime), use.ru_maxrss, use.ru_minflt);
}
CPP
g++ -O2 -o "$work/measure" "$work/measure.cpp"

# The figures of each run, by label: one line "wall user sys peak faults" a run.
declare -A runs

# timed LABEL COMMAND...: runs the command once and keeps its figures.
timed() {
    local label=$1
    shift
    runs[$label]+="$("$work/measure" "$@")"$'\n'
}

# median LABEL FIELD: the median of one figure (1 wall, 2 user, 3 system,
# 4 peak KiB, 5 faults, 6 user + system) over the rounds.
median() {
    printf '%s' "${runs[$1]}" | awk -v f="$2" 'NF { print f == 6 ? $2 + $3 : $f }' | sort -g |
        awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# rounds FUNCTION...: calls the functions in turn, `repeat` rounds; each
# prepares its case untimed and runs it through `timed`.
rounds() {
    runs=()
    for _ in $(seq "$repeat"); do
        for f; do "$f"; done
    done
}

# One conversion of $input into $output with $precision on $threads threads: a
# new output, or one replaced ($replace=1); the caches dropped first when $cold=1.
convert_as() {
    local label=$1 program=$2 threads=$3 args=("$input" "$output")
    [ "$precision" = default ] || args+=("$precision")
    if [ "$replace" = 1 ]; then [ -e "$output" ] || cp "$input" "$output"; else rm -f "$output"; fi
    if [ "$cold" = 1 ]; then sync; echo 3 >/proc/sys/vm/drop_caches; fi
    timed "$label" env BRENZOLT_THREADS="$threads" "$program" "${args[@]}"
}
new_one() { convert_as new1 "$BRENZOLT" 1; }
new_all() { convert_as new "$BRENZOLT" "$all_threads"; }
old_one() { convert_as old1 "$baseline" 1; }
old_all() { convert_as old "$baseline" "$all_threads"; }
# cat of the output into a new file, or over the copy made before when the
# conversion replaces its output (then both pay for freeing the old file); on a
# disk, with the copy flushed, as a conversion flushes its grid.
copy_output() {
    if [ "$replace" = 1 ]; then [ -e "$work/copy.txt" ] || cp "$output" "$work/copy.txt"; else rm -f "$work/copy.txt"; fi
    if [ "$in_memory" = 1 ]; then
        timed cat sh -c 'cat "$1" >"$2"' sh "$output" "$work/copy.txt"
    else
        timed cat sh -c 'cat "$1" >"$2" && sync "$2"' sh "$output" "$work/copy.txt"
    fi
}
read_cold_input() {
    sync; echo 3 >/proc/sys/vm/drop_caches
    timed cold-cat sh -c 'cat "$1" >/dev/null' sh "$input"
}
convert_warm() { cold=0 convert_as warm "$BRENZOLT" "$all_threads"; }

# line LABEL NAME [ONE [BASE]]: one command's figures from the rounds just
# run; its wall time against cat's; its CPU time against that of ONE, the same
# program on one thread; BASE's wall time against its own.
line() {
    local label=$1 name=$2 one=${3:-} base=${4:-} wall cpu
    wall=$(median "$label" 1)
    cpu=$(median "$label" 6)
    printf '  %-22s %6.3f %6.3f %6.3f %6s' "$name" "$(median "$label" 2)" "$(median "$label" 3)" \
        "$wall" "$(ratio "$wall" "$(median cat 1)")"
    printf ' %7s' "$([ -z "$one" ] || [ -z "${runs[$one]:-}" ] || ratio "$cpu" "$(median "$one" 6)")"
    printf ' %7s' "$([ -z "$base" ] || [ -z "${runs[$base]:-}" ] || ratio "$(median "$base" 1)" "$wall")"
    printf ' %9s %7s\n' "$(median "$label" 4)" "$(median "$label" 5)"
}

# The table for the rounds just run.
report() {
    echo "$1"
    [ -z "${runs[new1]:-}" ] || line new1 "brenzolt, 1 thread" new1 old1
    line new "brenzolt, $all_threads threads" new1 old
    [ -z "${runs[old1]:-}" ] || line old1 "baseline, 1 thread" old1
    [ -z "${runs[old]:-}" ] || line old "baseline, $all_threads threads" old1
    line cat "cat$([ "$in_memory" = 1 ] || echo ' + sync')"
}

input=$work/in.grd
output=$work/out.txt
make_grid "$input" "$size"
versions=(new_one new_all)
[ -z "$baseline" ] || versions+=(old_one old_all)
echo "grid: ${size} x ${size}; median of $repeat rounds, each command once a round in turn;" \
    "$all_threads hardware threads; output in $(stat -f -c %T "$work")"
printf '  %-22s %6s %6s %6s %6s %6s %7s %9s %7s\n' "" user sys wall "x cat" "x 1 cpu" "x base" \
    "peak KiB" faults
replace=0 cold=0
for precision in default 2 6 8 9; do
    rounds "${versions[@]}" copy_output
    lines=$(wc -l <"$output")
    [ "$lines" -eq $((size + 5)) ] || { echo "precision $precision wrote $lines lines" >&2; exit 1; }
    report "precision $precision, new output"
done
precision=default
replace=1
rounds new_all ${baseline:+old_all} copy_output
report "precision default, replaced output"
replace=0
if [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ]; then
    cold=1
    rounds new_all ${baseline:+old_all} copy_output read_cold_input convert_warm
    cold=0
    report "cold input"
    target=$(awk -v a="$(median warm 1)" -v b="$(median cold-cat 1)" 'BEGIN { print a + b }')
    echo "cold input: $(median new 1) s against warm + cat of the cold input $target s:" \
        "$(ratio "$(median new 1)" "$target") x"
fi
rm -f "$input" "$output"

if [ "$big" = 1 ]; then
    # A single run would mostly measure how fast the machine hands out fresh
    # memory for 4.3 GB of page cache (twice as slow on a first touch in a
    # virtual machine): the median of rounds beside cat, as above.
    big_size=16384
    make_grid "$input" "$big_size"
    rounds new_all ${baseline:+old_all} copy_output
    report "${big_size} x ${big_size}, new output"
fi
