// Speed of the number text: 16 million float values formatted per iteration,
// node-like values (uniform in [-500, 3000], as bench/convert_bench.sh's grid)
// and random bit patterns, in rows of 4096 as the program writes them, on
// each route the processor runs (scalar: one value after the other; avx2:
// eight at a time), every conversion; and by the C library's snprintf for
// comparison. The per_value counter (CPU time per value) is the figure to read.
//
//   cmake -S . -B build-bench -DBRENZOLT_BENCH=ON -DBRENZOLT_TESTS=OFF
//   cmake --build build-bench -j2 --target number_text_bench
//   build-bench/bench/number_text_bench [--benchmark_filter=avx2/uniform]

#include "bench/text_room.h"
#include "number_text/number_text.h"
#include "number_text/number_text_routes.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using brenzolt::kConversionCount;
using brenzolt::kConversions;
using brenzolt::NodeFormat;

constexpr std::size_t kValueCount = 16'000'000;

std::vector<float> makeUniformValues() {
    std::mt19937 random(1);
    std::uniform_real_distribution<float> nodeRange(-500.0f, 3000.0f);
    std::vector<float> values(kValueCount);
    for (float& value : values)
        value = nodeRange(random);
    return values;
}

// Every pattern, infinities and NaNs included, as a damaged or unusual grid
// file could hold.
std::vector<float> makeRandomPatterns() {
    std::mt19937 random(2);
    std::vector<float> values(kValueCount);
    for (float& value : values)
        value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    return values;
}

void setPerValue(benchmark::State& state, std::size_t count) {
    // The rate inverted: seconds per value, printed as "per_value=12.3ns".
    state.counters["per_value"] = benchmark::Counter(static_cast<double>(count),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

// The texts of rows of 4096 values at a time, TAB-separated, as the program
// writes a grid's rows; no value is blank.
void rowTexts(benchmark::State& state, const std::vector<float>& values,
              brenzolt::RowWriter writer) {
    constexpr std::size_t kRow = 4096;
    std::vector<char> row(textRoomOfAnyConversion(kRow));
    std::size_t total = 0;
    for (auto _ : state) {
        for (std::size_t first = 0; first < values.size(); first += kRow) {
            std::size_t count = std::min(kRow, values.size() - first);
            char* end = writer(row.data(), values.data() + first, count, -HUGE_VALF);
            total += static_cast<std::size_t>(end - row.data());
        }
        benchmark::DoNotOptimize(total);
        benchmark::ClobberMemory();
    }
    setPerValue(state, values.size());
}

void cLibrary(benchmark::State& state, const std::vector<float>& values, const char* format) {
    char text[brenzolt::kMaxNumberText];
    std::size_t total = 0;
    for (auto _ : state) {
        for (float value : values)
            total += static_cast<std::size_t>(
                std::snprintf(text, sizeof text, format, static_cast<double>(value)));
        benchmark::DoNotOptimize(total);
        benchmark::ClobberMemory();
    }
    setPerValue(state, values.size());
}

} // namespace

int main(int argc, char** argv) {
    static const std::vector<float> uniform = makeUniformValues();
    static const std::vector<float> patterns = makeRandomPatterns();
    struct Route {
        const char* name;
        const brenzolt::RowWriters* writers;
    };
    const Route routes[] = {{"scalar", &brenzolt::scalarRowWriters()},
                            {"avx2", brenzolt::avx2RowWriters()}};
    for (const auto& [input, values] : {std::pair{"uniform", &uniform}, {"bits", &patterns}})
        for (const Route& route : routes)
            for (std::size_t f = 0; route.writers != nullptr && f < kConversionCount; ++f)
                benchmark::RegisterBenchmark(
                    (std::string(route.name) + "/" + input + "/" + kConversions[f].name).c_str(),
                    rowTexts, *values, (*route.writers)[f])
                    ->Unit(benchmark::kMillisecond);
    for (const char* format : {"%g", "%6.2f", "%10.8f"})
        benchmark::RegisterBenchmark((std::string("snprintf/uniform/") + format).c_str(), cLibrary,
                                     uniform, format)
            ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
