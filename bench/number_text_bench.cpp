// Speed of the number text: 16 million float values formatted per iteration,
// node-like values (uniform in [-500, 3000]) and random bit patterns, with
// "%g", "%6.2f" and "%10.8g": one value at a time (numberText), in rows of
// 4096 as the program writes them (rowTexts, with vector instructions where
// the processor has them), and by the C library's snprintf for comparison.
// The per_value counter (CPU time per value) is the figure to read.
//
//   cmake -S . -B build-bench -DBRENZOLT_BENCH=ON -DBRENZOLT_TESTS=OFF
//   cmake --build build-bench -j2 --target number_text_bench
//   build-bench/bench/number_text_bench

#include "number_text/number_text.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using brenzolt::NodeFormat;

constexpr std::size_t kValueCount = 16'000'000;

// Places in the table of conversions.
constexpr NodeFormat kG = brenzolt::kPercentG;
constexpr NodeFormat kF62{3};
constexpr NodeFormat kG108{10};

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

enum class Input { uniform, bitPatterns };

const std::vector<float>& valuesOf(Input input) {
    static const std::vector<float> uniform = makeUniformValues();
    static const std::vector<float> patterns = makeRandomPatterns();
    return input == Input::uniform ? uniform : patterns;
}

// Runs `format` over all values each iteration; the written lengths are summed
// so that no call can be optimised away.
template <typename Format> void formatAll(benchmark::State& state, Input input, Format format) {
    const std::vector<float>& values = valuesOf(input);
    char text[brenzolt::kMaxNumberText];
    std::size_t total = 0;
    for (auto _ : state) {
        for (float value : values)
            total += format(text, value);
        benchmark::DoNotOptimize(total);
        benchmark::ClobberMemory();
    }
    // The rate inverted: seconds per value, printed as "per_value=12.3ns".
    state.counters["per_value"] = benchmark::Counter(static_cast<double>(values.size()),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void numberText(benchmark::State& state, Input input, NodeFormat nodeFormat) {
    formatAll(state, input, [nodeFormat](char* out, float value) {
        return brenzolt::formatFloat(out, value, nodeFormat);
    });
}

// The texts of a row of 4096 values at a time, TAB-separated, as the program
// writes a grid's rows (with vector instructions where the processor has
// them); no value is blank.
void rowTexts(benchmark::State& state, Input input, NodeFormat nodeFormat) {
    constexpr std::size_t kRow = 4096;
    const std::vector<float>& values = valuesOf(input);
    std::vector<char> row(kRow * (brenzolt::kLongestNumberText + 1) + brenzolt::kMaxNumberText);
    std::size_t total = 0;
    for (auto _ : state) {
        for (std::size_t first = 0; first < values.size(); first += kRow) {
            std::size_t count = std::min(kRow, values.size() - first);
            char* end = brenzolt::writeNumberTexts(row.data(), values.data() + first, count,
                                                   nodeFormat, -HUGE_VALF);
            total += static_cast<std::size_t>(end - row.data());
        }
        benchmark::DoNotOptimize(total);
        benchmark::ClobberMemory();
    }
    state.counters["per_value"] = benchmark::Counter(static_cast<double>(values.size()),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void cLibrary(benchmark::State& state, Input input, const char* format) {
    formatAll(state, input, [format](char* out, float value) {
        return static_cast<std::size_t>(
            std::snprintf(out, brenzolt::kMaxNumberText, format, static_cast<double>(value)));
    });
}

} // namespace

BENCHMARK_CAPTURE(numberText, g_uniform, Input::uniform, kG)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(numberText, f6_2_uniform, Input::uniform, kF62)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(numberText, g10_8_uniform, Input::uniform, kG108)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(numberText, g_bits, Input::bitPatterns, kG)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(numberText, f6_2_bits, Input::bitPatterns, kF62)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(numberText, g10_8_bits, Input::bitPatterns, kG108)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(rowTexts, g_uniform, Input::uniform, kG)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(rowTexts, f6_2_uniform, Input::uniform, kF62)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(rowTexts, g10_8_uniform, Input::uniform, kG108)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(rowTexts, g_bits, Input::bitPatterns, kG)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(rowTexts, f6_2_bits, Input::bitPatterns, kF62)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(rowTexts, g10_8_bits, Input::bitPatterns, kG108)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(cLibrary, g_uniform, Input::uniform, "%g")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(cLibrary, f6_2_uniform, Input::uniform, "%6.2f")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(cLibrary, g10_8_uniform, Input::uniform, "%10.8g")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(cLibrary, g_bits, Input::bitPatterns, "%g")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(cLibrary, f6_2_bits, Input::bitPatterns, "%6.2f")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(cLibrary, g10_8_bits, Input::bitPatterns, "%10.8g")
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
