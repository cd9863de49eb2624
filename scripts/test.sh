#!/usr/bin/env bash
# Builds brenzolt and runs every test: a normal build, the end-to-end tests
# again with the program under valgrind, GDAL reading an output back, a build
# with AddressSanitizer and UndefinedBehaviorSanitizer, a minute of fuzzing,
# and the Windows program under Wine; then makes the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh cmake make g++ libgtest-dev libbenchmark-dev \
  clang libclang-rt-14-dev gdal-bin valgrind man-db \
  g++-mingw-w64-x86-64-posix wine dpkg-dev file lintian python3

jobs=2
# Every build here treats a warning as an error; a packager's build does not.
# The benchmarks are built (not run) so that they keep compiling; the
# exhaustive check of the number text runs on a slice of the float patterns
# (those in [1, 1.03) against the reference, those in [1, 1.125) on the vector
# route against the scalar one; seconds), so that it cannot rot either.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBRENZOLT_TESTS=ON -DBRENZOLT_BENCH=ON \
  -DBRENZOLT_EXHAUSTIVE=ON -DBRENZOLT_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
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

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRENZOLT_TESTS=ON -DBRENZOLT_SANITIZE=ON \
  -DBRENZOLT_WERROR=ON
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

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

# Windows: brenzolt.exe cross-built with MinGW-w64 and run under Wine, in a
# Wine prefix of its own that is set up once. The end-to-end table runs it
# (skipping the runs that only exist on Linux), and on a large grid its output
# must equal the Linux build's byte for byte.
echo "Windows build under Wine"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBRENZOLT_TESTS=OFF \
  -DBRENZOLT_WERROR=ON
cmake --build build-win -j "$jobs"
export WINEDEBUG=-all WINEPREFIX="$PWD/build-win/wine-prefix"
wineboot --init > /dev/null 2>&1
# Wine takes Linux's names in the locale's encoding.
LANG=C.UTF-8 BRENZOLT_TEST_PROGRAM="$PWD/build-win/app/brenzolt.exe" BRENZOLT_TEST_WRAPPER=wine \
  build/tests/run_test --gtest_brief=1 > build-win/run_test.log 2>&1 || { cat build-win/run_test.log; exit 1; }
tail -n 2 build-win/run_test.log
LANG=C.UTF-8 bash tests/nothing_lost_test.sh build-win/app/brenzolt.exe build-win/hold_open.exe
bash scripts/compare-windows.sh build/app/brenzolt build-win/app/brenzolt.exe

bash scripts/package.sh build build-win
