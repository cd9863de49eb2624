#!/usr/bin/env bash
# Faults from outside a run, one function per scenario: signals while the output is written and
# at its commit, a signal while another program holds the output's lock, runs at once on one
# output, a run whose stalled input fails after another run wrote the output, pre-created names,
# attributes, little address space, another user's files, a failed write, a loop. The old output
# survives whole, or one complete grid stands there. The scenarios that need a run's wait
# status, a lock or runs started together are in nothing_lost.py. (An output held open on
# Windows is a row of the end-to-end table.)
# Usage: nothing_lost_test.sh BRENZOLT SCENARIO: one scenario in a directory of its own, with
#            status 77 where it cannot run here; BRENZOLT_TEST_WRAPPER runs the program (qemu).
#        nothing_lost_test.sh --list: the scenarios (each function scenario_NAME), one a line,
#            with "big" after those that read the big grid.
#        nothing_lost_test.sh BRENZOLT --big DIR: makes the big grid and its text in DIR, where
#            a scenario takes them from when BRENZOLT_BIG_GRID=DIR (a ctest fixture).
set -euo pipefail
set -m # background runs keep the default reaction to SIGINT, as at a terminal
fail() { echo "FAILED: $scenario: $*" >&9; exit 1; }
skip() { echo "skipped: $scenario: $*" >&9; exit 77; }
check() { "$@" || fail "$*"; }
temporaries() { ls "$1".brenzolt-incomplete-* 2>/dev/null | wc -l; }
grid() { perl -e 'print pack "f<*", @ARGV' "$1" "$2" 0 0 1 0 0 0 0 0 0 0 "${@:3}"; } # words, nodes
holding() { ls -l /proc/$1/fd 2>/dev/null | grep -q 'incomplete\|(deleted)'; } # a temporary file
as() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; } # as the user nobody
# Limits on the address space and the descriptors are for a program of this machine alone.
native() { ldd "$brenzolt" >libraries 2>&1 && ! grep -q libasan libraries || skip "$1"; }
# What the generic POSIX build (BRENZOLT_PLATFORM=posix) does without: see files_posix.cpp.
generic() { if [ "${BRENZOLT_PLATFORM:-}" = posix ]; then skip "the generic POSIX build $1"; fi; }
root() { [ "$(id -u)" = 0 ] || skip "needs root"; }
acl() { command -v setfacl >/dev/null || skip "no setfacl"; }
# A grid big enough to be caught writing, 2000 x 2000 random words, and its text: made in the
# current directory, or taken from $BRENZOLT_BIG_GRID, where the ctest fixture made them.
make_big_grid() {
    grid 2000 2000 >big.grd && head -c 16000000 /dev/urandom >>big.grd
    BRENZOLT_THREADS=1 "$brenzolt" big.grd big.txt >/dev/null
}
big_grid() {
    if [ -n "${BRENZOLT_BIG_GRID:-}" ]; then
        ln -s "$BRENZOLT_BIG_GRID"/big.{grd,txt} .
    else
        make_big_grid
    fi
}

# Signals, a lock that another program holds, too few descriptors: see nothing_lost.py.
scenario_signals() { big_grid; python3 "$scenarios" signals "$brenzolt" 2>&9; }
scenario_locked() { big_grid; python3 "$scenarios" locked "$brenzolt" 2>&9; }
scenario_descriptors() {
    native "not a program of this machine alone"
    big_grid
    python3 "$scenarios" descriptors "$brenzolt" 2>&9
}

# A run whose input stalls after its header while another run writes the output: failing late
# (its nodes cut short), it keeps its hands off; finishing late, it replaces the other run's
# grid, whether or not the output was there before. Finishing after its directory was renamed,
# it puts its grid there. Written in place (two names) while another program saves a file by
# rename under the name, it fails and changes nothing: that file stands, and the other name
# keeps the old output.
stalled() {
    local ending=$1 output=out.txt status=0 run
    rm -rf out*.txt sub moved && mkdir sub
    case $ending in
        renamed) output=sub/out.txt ;;
        whole-old) cp old.txt out.txt ;;
        in-place) cp old.txt out.txt && ln out.txt out2.txt ;;
    esac
    "$brenzolt" stalled.grd $output &
    run=$! && exec 3>stalled.grd && head -c 48 other.grd >&3
    for _ in $(seq 1000); do holding $run && break; sleep 0.03; done
    case $ending in
        renamed) mv sub moved ;;
        in-place) cp small.txt saved.txt && mv saved.txt out.txt ;;
        *) "$brenzolt" small.grd out.txt ;;
    esac
    if [ $ending != short ]; then tail -c +49 other.grd >&3; fi
    exec 3>&-
    wait $run || status=$?
    case $ending in
        renamed) [ $status = 0 ] && cmp -s moved/out.txt other.txt && [ "$(ls moved)" = out.txt ] ;;
        short) [ $status = 1 ] && cmp -s out.txt small.txt ;;
        in-place) [ $status = 1 ] && cmp -s out.txt small.txt && cmp -s out2.txt old.txt ;;
        *) [ $status = 0 ] && cmp -s out.txt other.txt ;;
    esac || fail "a stalled run, $ending: status $status"
}
scenario_stalled() {
    big_grid
    for ending in renamed short whole-new whole-old in-place; do stalled $ending; done
    [ "$(temporaries out.txt)" = 0 ] || fail "temporary files left"
}

# A replaced output keeps its permission bits and its group; a new one gets the usual ones. Names
# pre-created for the run's process id stop nothing: the temporary names are random. An output
# whose full path is longer than PATH_MAX is replaced all the same.
scenario_attributes() {
    local group=$(id -g) made top=$PWD
    (d=$(printf %0200d 0) && for _ in {1..21}; do mkdir $d && cd $d; done &&
        cp "$top/old.txt" o.txt && "$brenzolt" "$top/small.grd" o.txt &&
        cmp -s o.txt "$top/small.txt") || fail "a long path"
    if [ "$(id -u)" = 0 ]; then group=65534; fi
    cp old.txt out.txt && chmod 640 out.txt && chgrp $group out.txt && "$brenzolt" small.grd out.txt
    (umask 022 && touch new.txt.brenzolt-incomplete-$BASHPID{,-{1..99}} &&
        exec "$brenzolt" small.grd new.txt)
    check cmp -s new.txt small.txt
    made=$(stat -c '%a %g' out.txt new.txt | tr '\n' ' ')
    [ "$made" = "640 $group 644 $(id -g) " ] || fail "permission bits or group: $made"
}

# A new output in a directory with a default access list gets what any new file gets there, also
# with one inode left (a small tmpfs), which leaves none for a file to show what that is; a replaced
# output without an access list stays without one.
scenario_default_acl() {
    local old i=0 dir
    acl
    mkdir acl tiny && cp old.txt acl/old.txt && old=$(getfacl -cp acl/old.txt)
    trap 'umount tiny 2>/dev/null || true; rm -rf "$PWD"' EXIT
    [ "$(id -u)" != 0 ] || mount -t tmpfs -o nr_inodes=8,size=1M tmpfs tiny || true
    for dir in acl tiny; do setfacl -d -m u::rw,u:nobody:rw,g::r,o::r $dir && touch $dir/touched; done
    if mountpoint -q tiny; then
        while touch tiny/$((++i)) 2>/dev/null; do :; done
        rm tiny/$((i - 1))
    fi
    for dir in acl tiny; do
        (umask 077 && "$brenzolt" small.grd $dir/new.txt)
        [ "$(getfacl -cp $dir/new.txt)" = "$(getfacl -cp $dir/touched)" ] || fail "$dir: $(getfacl -cp $dir/new.txt)"
    done
    check "$brenzolt" small.grd acl/old.txt
    [ "$(getfacl -cp acl/old.txt)" = "$old" ] || fail "a replaced output: $(getfacl -cp acl/old.txt)"
    mountpoint -q tiny || skip "one inode left: no tmpfs can be mounted here"
}

# A replaced output keeps its access list, whose mask gives the group nothing more.
scenario_access_list() {
    local made
    acl
    cp old.txt listed.txt && chgrp $(id -g) listed.txt && chmod 640 listed.txt
    setfacl -m u:nobody:rw,g::r,m::rw,o::- listed.txt && made=$(getfacl -cp listed.txt)
    check "$brenzolt" small.grd listed.txt
    [ "$(getfacl -cp listed.txt)" = "$made" ] || fail "$(getfacl -cp listed.txt)"
}

# An output of two names, one line longer than the grid, converted on a Btrfs image: with 60 MB
# free for a grid of 50 MB, beside the output, which takes the grid's own blocks; made aside on
# another file system (the directory takes no new file), which needs room for every block anew:
# with 20 MB free, status 1 and the old output; with 150 MB, status 0 and the grid on both names.
scenario_copy_on_write() {
    local status free
    root; generic "shares no blocks between files"
    command -v mkfs.btrfs >/dev/null || skip "no mkfs.btrfs"
    big_grid
    mkdir disk && mkdir -m 1777 aside && trap 'umount disk 2>/dev/null || true; rm -rf "$PWD"' EXIT
    for free in 60 20 150; do
        truncate -s 400M image && mkfs.btrfs -q -f image && mount -o loop image disk ||
            skip "no loop device or no permission to mount"
        mkdir disk/dir && cp big.txt disk/dir/out.txt && echo >>disk/dir/out.txt
        cp disk/dir/out.txt old.txt && ln disk/dir/out.txt disk/dir/out2.txt && sync
        fallocate -l $(($(df -B1 --output=avail disk | tail -1) - free * 1000000)) disk/fill
        if [ $free != 60 ]; then chattr +i disk/dir; fi
        status=0 && TMPDIR=$PWD/aside "$brenzolt" big.grd disk/dir/out.txt || status=$?
        grid=$([ $status = 0 ] && echo big.txt || echo old.txt)
        [ $status = $((free == 20)) ] && cmp -s $grid disk/dir/out.txt &&
            cmp -s $grid disk/dir/out2.txt || fail "$free MB free: status $status"
        chattr -i disk/dir && umount disk
    done
}

# A directory that keeps every name it is given (chattr +a) takes a new output, an old one (where
# the directory cannot be looked at: statx fails) and one of two names, each whole; a failing run
# leaves nothing, and no other name is made there.
scenario_append_only() {
    root; generic "knows no append-only directory"
    mkdir kept && cp old.txt kept/old.txt && cp old.txt kept/two.txt
    ln kept/two.txt kept/two2.txt
    chattr +a kept || skip "chattr +a fails on this file system"
    trap 'chattr -a kept; rm -rf "$PWD"' EXIT
    for name in new old two; do
        check $([ $name != old ] || echo strace -fqqo /dev/null -e inject=statx:error=EIO) \
            "$brenzolt" small.grd kept/$name.txt
    done
    if "$brenzolt" short.grd kept/failed.txt; then fail "a short grid: status 0"; fi
    [ "$(ls kept | tr '\n' ' ')" = "new.txt old.txt two.txt two2.txt " ] || fail "left: $(ls kept)"
    for name in new old two two2; do check cmp -s kept/$name.txt small.txt; done
}

# With standard error in the console's pipe (2>&1), the reason line comes after the console text
# written before it. Help that cannot be written is no success.
scenario_console() {
    local third=$({ "$brenzolt" short.grd out.txt 2>&1 || true; } | sed -n 3p)
    [[ $third == "brenzolt: short.grd: "* ]] || fail "2>&1: $third"
    if "$brenzolt" --help >/dev/full; then fail "help written to a full device: status 0"; fi
}

# One run on 16 threads under `ulimit -v LIMIT` into an output with two names ends with status 0
# and the new grid, or with status 1, a message and the old output, never with an output
# emptied; its status (127: the system could not even load it).
limited() {
    local status=0 grid=big.txt
    cp old.txt out.txt && ln -f out.txt out2.txt
    (ulimit -v $1 && BRENZOLT_THREADS=16 exec "$brenzolt" big.grd out.txt 2>errors) || status=$?
    if [ $status = 127 ] && grep -q "shared libraries\|TLS" errors; then return 127; fi
    if [ $status != 0 ]; then grid=old.txt; fi
    if [ $status -gt 1 ] || [ "$(grep -c "too little memory" errors)" != $status ] ||
        ! cmp -s out.txt $grid || ! cmp -s out2.txt $grid || [ "$(temporaries out.txt)" != 0 ]; then
        fail "ulimit -v $1 on 16 threads: status $status, $(cat errors)"
    fi
    return $status
}

# Little address space (ulimit -v; not under AddressSanitizer or an emulator, which reserve far
# more), where fewer threads start than asked for: the limit lowered by 256 KiB (a thread's
# stack) until a run fails, then by 32 KiB from the last that converted to where the program
# cannot be loaded, and by 8 KiB through the 32 KiB above that, the few KiB where the runtime
# has no room to report a failure.
scenario_address_space() {
    local limit=12288
    native "not a program of this machine alone"
    big_grid
    while limited $limit; do limit=$((limit - 256)); done
    [ $limit != 12288 ] || fail "ulimit -v 12288 too little to convert"
    limit=$((limit + 256 - 32))
    while limited $limit || [ $? = 1 ]; do limit=$((limit - 32)); done
    limit=$((limit + 24))
    while limited $limit || [ $? = 1 ]; do limit=$((limit - 8)); done
}

# As root: another user's file is written in place, kept as it was after a failing input, and
# after a conversion it is still theirs; root's own file keeps its file capabilities, which the
# grid's writes clear (but in place, as the generic build writes it). As that user: their own file in a directory where they
# can make none is made aside in $TMPDIR, copied in, the same file after, and nothing is left
# aside; where nothing can be made aside, the message names the place; their file of a group
# they are not in is written in place, its group kept.
scenario_as_root() {
    local inode errors
    root
    cp old.txt theirs.txt && chown nobody theirs.txt
    if "$brenzolt" short.grd theirs.txt || ! cmp -s old.txt theirs.txt; then fail "theirs.txt"; fi
    check "$brenzolt" small.grd theirs.txt
    [ "$(stat -c %U theirs.txt)" = nobody ] && cmp -s small.txt theirs.txt || fail "theirs.txt"
    cp old.txt capable.txt && setcap cap_net_raw+ep capable.txt && check "$brenzolt" small.grd capable.txt
    [ "$(getcap capable.txt)" = "capable.txt cap_net_raw=ep" ] || [ "${BRENZOLT_PLATFORM:-}" = posix ] ||
        fail "capabilities: $(getcap capable.txt)" # the generic build writes it in place
    mkdir -m 755 closed && mkdir -m 1777 aside && cp old.txt closed/mine.txt
    chown nobody closed/mine.txt && inode=$(stat -c %i closed/mine.txt)
    errors=$(TMPDIR=/nowhere as "$brenzolt" small.grd closed/mine.txt 2>&1 >/dev/null || true)
    [[ $errors == *"aside in /nowhere: No such file"* ]] || fail "no place aside: $errors"
    TMPDIR="$PWD/aside" check as "$brenzolt" small.grd closed/mine.txt
    check cmp -s closed/mine.txt small.txt
    [ "$(stat -c %i closed/mine.txt)" = "$inode" ] || fail "a file in a closed directory replaced"
    [ -z "$(ls -A aside)" ] || fail "left aside: $(ls -A aside)"
    cp old.txt aside/grouped.txt && chown nobody:users aside/grouped.txt
    inode=$(stat -c %i aside/grouped.txt) && check as "$brenzolt" small.grd aside/grouped.txt
    [ "$(stat -c '%i %G' aside/grouped.txt)" = "$inode users" ] || fail "a group not theirs"
}

# Another user's drop box (mode 1733), which they may write but not read, takes a new output.
scenario_drop_box() {
    root; generic "holds no directory it cannot read"
    mkdir -m 1733 drop && check as "$brenzolt" small.grd drop/out.txt
    check cmp -s drop/out.txt small.txt
}

# A file mounted over a name is written in place.
scenario_mount_point() {
    local placed=
    root; generic "knows no mount point"
    cp old.txt mounted.txt && cp old.txt source.txt
    mount --bind source.txt mounted.txt 2>/dev/null || skip "no bind mount here"
    if "$brenzolt" small.grd mounted.txt && cmp -s source.txt small.txt; then placed=1; fi
    umount mounted.txt
    [ -n "$placed" ] || fail "a mount point"
}

# Another user toggles the output's name between nothing and a link to where root keeps its
# files, in a shared sticky directory, while root converts there again and again for 3 seconds:
# nothing appears at the link's end, and a run that ends with status 0 leaves its grid there.
scenario_links() {
    local end=$((SECONDS + 3)) toggler
    root
    mkdir -m 700 private && mkdir -m 1777 sticky
    as /usr/bin/python3 "$scenarios" toggle_link private/made sticky/out.txt 9>&- &
    toggler=$! # its own process group (set -m), killed whole
    while [ $SECONDS -lt $end ]; do
        if "$brenzolt" small.grd sticky/out.txt && ! cmp -s sticky/out.txt small.txt; then
            kill -9 -- -$toggler
            fail "another user's link: status 0 without the grid"
        fi
        if [ ! -L sticky/out.txt ]; then rm -f sticky/out.txt; fi
    done
    kill -9 -- -$toggler || fail "another user's link: the toggler did not run"
    wait $toggler || true
    [ ! -e private/made ] || fail "another user's link: a file made at its end"
}

# The plainest loop over source grids, its output folder not made: no run takes the loop's next
# line for another name; each ends with status 1, and every source grid stays as it was.
scenario_loop() {
    local before=$(cat small.grd other.grd | cksum) statuses=$(printf 'small.grd\nother.grd\n' |
        while read -r f; do "$brenzolt" "$f" "none/$f" >/dev/null && echo -n 0 || echo -n $?; done)
    [ "$statuses$(cat small.grd other.grd | cksum)" = "11$before" ] || fail "a loop: $statuses"
}

# A write that fails stops every thread: far fewer dots than rows.
scenario_failed_write() {
    local dots=$( (ulimit -f 4 && BRENZOLT_THREADS=2 exec "$brenzolt" tall.grd tall.txt) | tr -cd .)
    [ ${#dots} -lt 50000 ] || fail "${#dots} rows written after the first failed write"
}

# Many grids in one run, half of them over old outputs, ended by INT, TERM or HUP later each
# time: the run ends by the signal, or converted all; every output holds its old text (or is
# not there), or the whole new grid; no temporary file is left.
scenario_batch() {
    local delay=0 run status kind stopped=0
    grid 300 300 >mid.grd && head -c 360000 /dev/urandom >>mid.grd && "$brenzolt" mid.grd mid.txt
    mkdir grids && for i in {10..49}; do cp mid.grd grids/$i.grd; done
    for kind in INT TERM HUP INT TERM HUP INT; do
        rm -rf out && mkdir out && for i in {10..49..2}; do cp old.txt out/$i.grd; done
        "$brenzolt" -t out grids/*.grd & run=$!
        delay=$((delay + 10 + RANDOM % 60)) && sleep "0.$(printf %03d $delay)"
        kill -$kind $run || true # or it had converted every grid
        status=0 && wait $run || status=$?
        [ $status = 0 ] || [ $status = $((128 + $(kill -l $kind))) ] || fail "$kind: status $status"
        stopped=$((stopped + (status != 0)))
        for i in {10..49}; do
            cmp -s out/$i.grd mid.txt || cmp -s out/$i.grd old.txt || [ ! -e out/$i.grd ] ||
                fail "$kind after 0.$delay s: out/$i.grd"
            ((i % 2 == 1)) || [ -e out/$i.grd ] || fail "$kind: out/$i.grd removed"
        done
        [ -z "$(ls out | grep -v '\.grd$')" ] || fail "$kind after 0.$delay s: left $(ls out)"
    done
    [ $stopped -gt 0 ] || fail "every run had converted its grids before the signal"
}

scenarios=$(realpath "$(dirname "$0")/nothing_lost.py") scenario=${2:-}
if [ "$1" = --list ]; then
    for function in $(compgen -A function scenario_); do
        echo "${function#scenario_}$([[ $(declare -f $function) != *big_grid* ]] || echo ' big')"
    done
    exit 0
elif [ "$scenario" != --big ] && ! declare -F "scenario_$scenario" >/dev/null; then
    echo "FAILED: no scenario $scenario" >&2 && exit 1
fi
brenzolt=$(realpath "$1") work=$(mktemp -d) && chmod 755 "$work" && trap 'rm -rf "$work"' EXIT
if [ -n "${BRENZOLT_TEST_WRAPPER:-}" ]; then # an emulator (qemu), which passes signals on
    printf '#!/bin/sh\nexec %s "%s" "$@"\n' "$BRENZOLT_TEST_WRAPPER" "$brenzolt" >"$work/brenzolt"
    chmod +x "$work/brenzolt" && brenzolt=$work/brenzolt
fi
if [ "$scenario" = --big ]; then mkdir -p "$3" && cd "$3" && make_big_grid && exit 0; fi
cd "$work"
exec 9>&2 >/dev/null 2>&1 </dev/null # the runs' console out of the way; what failed on 9
grid 1 2 5 6 >small.grd && grid 1 2 7 6 >other.grd && head -c 50 small.grd >short.grd
grid 3 100000 >tall.grd && head -c 1200000 /dev/zero >>tall.grd # 100000 short rows
printf 'old\r\n' >old.txt && mkfifo stalled.grd && export BRENZOLT_THREADS=1
for name in small other; do "$brenzolt" $name.grd $name.txt; done
"scenario_$scenario"
