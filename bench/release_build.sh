# Sourced by the benchmarks, from the top of the source tree: BRENZOLT is the program they
# measure, as given, else a Release build of this tree made in BUILD_DIR (build-bench).
if [ -z "${BRENZOLT:-}" ]; then
    build=${BUILD_DIR:-build-bench}
    bash scripts/install-deps.sh cmake make g++
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRENZOLT_TESTS=OFF >/dev/null
    cmake --build "$build" -j2 --target brenzolt >/dev/null
    BRENZOLT=$build/app/brenzolt
fi
BRENZOLT=$(realpath "$BRENZOLT")
