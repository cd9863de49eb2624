#!/usr/bin/env bash
# Converts one generated 1024 x 1024 grid with every precision code, with the
# x86-64 Linux build and with another build run through the command given
# after it (Wine, qemu; or the same build on an emulated older processor),
# and fails unless both give the same grid file,
# console bytes and exit status.
#
#   bash scripts/compare-builds.sh REFERENCE PROGRAM [RUNNER...]
#   bash scripts/compare-builds.sh build/app/brenzolt build-win/app/brenzolt.exe wine
#   bash scripts/compare-builds.sh build/app/brenzolt build-arm64/app/brenzolt \
#     qemu-aarch64 -L /usr/aarch64-linux-gnu
#   bash scripts/compare-builds.sh build/app/brenzolt build/app/brenzolt qemu-x86_64 \
#     -cpu SandyBridge,-x2apic,-tsc-deadline
set -euo pipefail
reference=$(realpath "$1")
other=$(realpath "$2")
runner=("${@:3}")
export WINEDEBUG=-all

work=$(mktemp -d "${TMPDIR:-/tmp}/brenzolt-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/reference" "$work/other"

# Values over several magnitudes and both signs, with the ones whose text is
# easy to get wrong: halves that round away from zero, blanks, NaN,
# infinities, values at and above the blank value, tiny and negative zero.
perl -e '
  my ($n) = @ARGV;
  my @special = (2.5, -2.5, 0.125, 0.5, 1e-5, -0.0, 0.0, 9**9**9, -9**9**9, 1.70141e38,
                 3.4e38, -3.4e38, 1.4e-45, 123456789, -99999.5, 0.05, 1e10);
  my $nan = unpack("f<", pack("L<", 0x7fc00000));
  print pack("f<12", $n, $n, -512.5, 1000.25, 0.5, -9000, 0, -1e4, 1e4, 0, 0, 0);
  my $state = 20240601;
  for my $i (0 .. $n * $n - 1) {
    $state = ($state * 1103515245 + 12345) % 2147483648;
    my $u = $state / 2147483648;
    my $v;
    if ($i % 97 == 0) { $v = $special[($i / 97) % @special] }
    elsif ($i % 101 == 0) { $v = $nan }
    elsif ($i % 7 == 0) { $v = -9500 + 1000 * $u }  # blank: not above -9000
    else { $v = ($u - 0.3) * 10 ** (($i % 13) - 5) }
    print pack("f<", $v);
  }' 1024 > "$work/grid.grd"

run() { # run SYSTEM PROGRAM... : converts in $work/SYSTEM, keeps the console text and status
  local system=$1
  shift
  (cd "$work/$system" && "$@" > console.txt; echo $? > status.txt)
}

failures=0
for code in 0 1 2 3 4 5 6 7 8 9 x default; do
  args=(../grid.grd out.grd)
  [ "$code" = default ] || args+=("$code")
  run reference "$reference" "${args[@]}"
  run other "${runner[@]}" "$other" "${args[@]}"
  if [ "$(cat "$work/reference/status.txt")" != 0 ]; then
    echo "precision $code: brenzolt failed"
    failures=$((failures + 1))
  fi
  for file in out.grd console.txt status.txt; do
    if ! cmp -s "$work/reference/$file" "$work/other/$file"; then
      echo "precision $code: $file differs between $1 and $2"
      cmp "$work/reference/$file" "$work/other/$file" | head -n 1 || true
      failures=$((failures + 1))
    fi
  done
  rm -f "$work"/*/out.grd
done
[ "$failures" -eq 0 ] || exit 1
echo "$2${3:+ under $3}: 1024 x 1024 grid, 12 precisions: same grids, console text and status as $1"
