// Checks the number text of every one of the 2^32 float bit patterns, in one
// of two ways:
//  - against the reference (tests/support): the 17 significant digits
//    of toDecimal17, and the text of every conversion, one value at a time
//    (formatFloat) and in rows on every route the processor runs;
//  - with --routes, the rows of the vector route against those of the scalar
//    route (which the first way checks against the reference), every
//    conversion, in rows of many lengths: about twenty times as fast.
//
// Usage: exhaustive_check [--routes] [first-pattern last-pattern [threads]]
// (patterns hexadecimal and inclusive; two threads unless given)
// Prints progress to standard error, a summary to standard output, and exits
// with status 1 when any text differs.

#include "bench/text_room.h"
#include "number_text/decimal17.h"
#include "number_text/number_text.h"
#include "number_text/number_text_routes.h"
#include "tests/support/reference_format.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using brenzolt::kConversionCount;
using brenzolt::kConversions;
using brenzolt::NodeFormat;

constexpr std::uint64_t kChunk = 1u << 20;
constexpr int kMaxReported = 20;

struct Tally {
    std::uint64_t checked = 0;
    std::uint64_t digitMismatches = 0;
    std::uint64_t textMismatches[kConversionCount] = {};
    std::uint64_t rowMismatches[kConversionCount] = {};
};

// The scalar route, and the vector route where the processor runs it.
std::vector<const brenzolt::RowWriters*> routes() {
    std::vector<const brenzolt::RowWriters*> all = {&brenzolt::scalarRowWriters()};
    if (const brenzolt::RowWriters* avx2 = brenzolt::avx2RowWriters())
        all.push_back(avx2);
    return all;
}

// Rows of this many values: a prime, so that rows end at every place of the
// vector route's groups.
constexpr std::size_t kRowValues = 1021;

// Values at or below it are blank in rows: -inf and not-a-number.
constexpr float kBlankThreshold = -HUGE_VALF;

// Rows of these lengths in turn: every length of a short row, and long ones.
constexpr std::size_t kRowLengths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 15, kRowValues, kRowValues};

// The texts of a block of values as rows of one route give them, one a value.
class RowTexts {
  public:
    RowTexts(const float* values, std::size_t count, brenzolt::RowWriter writer)
        : text_(textRoomOfAnyConversion(count)) {
        char* end = text_.data();
        for (std::size_t first = 0, row = 0; first < count; ++row) {
            std::size_t length = std::min(kRowLengths[row % std::size(kRowLengths)], count - first);
            end = writer(end, values + first, length, kBlankThreshold);
            first += length;
        }
        end_ = end;
    }
    std::string_view all() const {
        return std::string_view(text_.data(), static_cast<std::size_t>(end_ - text_.data()));
    }
    // The next value's text.
    std::string_view next() {
        const char* start = at_;
        at_ = std::find(start, end_, '\t') + 1; // past the TAB
        return std::string_view(start, static_cast<std::size_t>(at_ - 1 - start));
    }

  private:
    std::vector<char> text_;
    const char* at_ = text_.data();
    const char* end_;
};

// What the threads share: the next chunk to take, and the log of mismatches.
class Sweep {
  public:
    Sweep(std::uint64_t first, std::uint64_t last) : next_(first), last_(last) {}

    // Takes the next chunk of patterns; false when none is left.
    bool take(std::uint64_t& begin, std::uint64_t& end) {
        begin = next_.fetch_add(kChunk);
        if (begin > last_)
            return false;
        end = std::min(begin + kChunk - 1, last_) + 1;
        return true;
    }

    void report(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (reported_++ < kMaxReported)
            std::printf("MISMATCH %s\n", line.c_str());
    }

    std::uint64_t progress() const { return std::min(next_.load(), last_ + 1); }

  private:
    std::atomic<std::uint64_t> next_;
    std::uint64_t last_;
    std::mutex mutex_;
    int reported_ = 0;
};

std::string hexBits(std::uint32_t bits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", bits);
    return text;
}

// The row text of each conversion against the one formatFloat gives, or the
// blank text.
void checkRowTexts(std::uint32_t bits, std::vector<RowTexts>& rows, Sweep& sweep, Tally& tally) {
    float value = std::bit_cast<float>(bits);
    char fast[brenzolt::kMaxNumberText];
    for (std::size_t i = 0; i < kConversionCount; ++i) {
        std::string_view expected =
            value > kBlankThreshold
                ? std::string_view(fast, brenzolt::formatFloat(fast, value, NodeFormat(i)))
                : brenzolt::kBlankText;
        std::string_view row = rows[i].next();
        if (row != expected) {
            ++tally.rowMismatches[i];
            sweep.report(hexBits(bits) + " " + kConversions[i].name + " in a row: \"" +
                         std::string(row) + "\", alone \"" + std::string(expected) + "\"");
        }
    }
}

void checkPattern(std::uint32_t bits, Sweep& sweep, Tally& tally) {
    float value = std::bit_cast<float>(bits);
    char fast[brenzolt::kMaxNumberText];
    ++tally.checked;
    brenzolt::Decimal digits{};
    if (std::isfinite(value)) {
        digits = brenzolt::test::referenceDigits17(value);
        brenzolt::Decimal actual = brenzolt::toDecimal17(value);
        if (actual.digits != digits.digits || actual.exponent != digits.exponent) {
            ++tally.digitMismatches;
            sweep.report(hexBits(bits) + " toDecimal17");
        }
    }
    for (std::size_t i = 0; i < kConversionCount; ++i) {
        std::string_view text(fast, brenzolt::formatFloat(fast, value, NodeFormat(i)));
        std::string expected =
            std::isfinite(value)
                ? brenzolt::test::referenceText(digits, std::signbit(value), kConversions[i])
                : brenzolt::test::referenceText(value, kConversions[i]);
        if (text != expected) {
            ++tally.textMismatches[i];
            sweep.report(hexBits(bits) + " " + kConversions[i].name + ": \"" + std::string(text) +
                         "\", reference \"" + expected + "\"");
        }
    }
}

std::vector<float> patterns(std::uint64_t begin, std::uint64_t end) {
    std::vector<float> values;
    for (std::uint64_t bits = begin; bits < end; ++bits)
        values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    return values;
}

// Patterns [begin, end), at most kRowValues x 16 of them, against the
// reference, and the rows of every route against formatFloat.
void checkBlock(std::uint64_t begin, std::uint64_t end, Sweep& sweep, Tally& tally) {
    std::vector<float> values = patterns(begin, end);
    for (const brenzolt::RowWriters* route : routes()) {
        std::vector<RowTexts> rows;
        rows.reserve(kConversionCount);
        for (std::size_t i = 0; i < kConversionCount; ++i)
            rows.emplace_back(values.data(), values.size(), (*route)[i]);
        for (std::uint64_t bits = begin; bits < end; ++bits)
            checkRowTexts(static_cast<std::uint32_t>(bits), rows, sweep, tally);
    }
    for (std::uint64_t bits = begin; bits < end; ++bits)
        checkPattern(static_cast<std::uint32_t>(bits), sweep, tally);
}

// The same patterns in rows of the vector route against those of the scalar
// route, counted as text mismatches.
void checkRoutes(std::uint64_t begin, std::uint64_t end, Sweep& sweep, Tally& tally) {
    std::vector<float> values = patterns(begin, end);
    tally.checked += values.size();
    std::vector<const brenzolt::RowWriters*> all = routes();
    for (std::size_t i = 0; i < kConversionCount; ++i) {
        RowTexts scalar(values.data(), values.size(), (*all.front())[i]);
        RowTexts vector(values.data(), values.size(), (*all.back())[i]);
        if (scalar.all() == vector.all())
            continue;
        for (std::uint64_t bits = begin; bits < end; ++bits) {
            std::string_view expected = scalar.next();
            std::string_view got = vector.next();
            if (got != expected) {
                ++tally.textMismatches[i];
                sweep.report(hexBits(static_cast<std::uint32_t>(bits)) + " " +
                             kConversions[i].name + ": vector \"" + std::string(got) +
                             "\", scalar \"" + std::string(expected) + "\"");
            }
        }
    }
}

void runWorker(bool byRoutes, Sweep& sweep, Tally& tally) {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    while (sweep.take(begin, end))
        for (std::uint64_t block = begin; block < end; block += kRowValues * 16) {
            std::uint64_t blockEnd = std::min(end, block + kRowValues * 16);
            if (byRoutes)
                checkRoutes(block, blockEnd, sweep, tally);
            else
                checkBlock(block, blockEnd, sweep, tally);
        }
}

} // namespace

int main(int argc, char** argv) {
    bool byRoutes = argc >= 2 && std::string_view(argv[1]) == "--routes";
    if (byRoutes) {
        --argc;
        ++argv;
        if (routes().size() < 2) {
            std::printf("the processor runs no vector route: nothing to compare\n");
            return 0;
        }
    }
    std::uint64_t first = 0;
    std::uint64_t last = 0xffffffffu;
    int threads = 2;
    if (argc >= 3) {
        first = std::strtoull(argv[1], nullptr, 16);
        last = std::strtoull(argv[2], nullptr, 16);
    }
    if (argc >= 4)
        threads = std::max(1, std::atoi(argv[3]));
    Sweep sweep(first, last);
    std::vector<Tally> tallies(static_cast<std::size_t>(threads));
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (Tally& tally : tallies)
        workers.emplace_back(runWorker, byRoutes, std::ref(sweep), std::ref(tally));

    // Progress about once a minute, with the rate so far.
    std::thread progress([&] {
        std::uint64_t total = last - first + 1;
        for (;;) {
            for (int i = 0; i < 60; ++i) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                if (sweep.progress() > last)
                    return;
            }
            double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::uint64_t done = sweep.progress() - first;
            std::fprintf(stderr, "%5.1f%% after %.0f s\n", 100.0 * done / total, seconds);
        }
    });
    for (std::thread& worker : workers)
        worker.join();
    progress.join();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    Tally sum;
    for (const Tally& tally : tallies) {
        sum.checked += tally.checked;
        sum.digitMismatches += tally.digitMismatches;
        for (std::size_t i = 0; i < kConversionCount; ++i) {
            sum.textMismatches[i] += tally.textMismatches[i];
            sum.rowMismatches[i] += tally.rowMismatches[i];
        }
    }
    std::uint64_t mismatches = sum.digitMismatches;
    std::printf("patterns 0x%08llx..0x%08llx: %llu checked in %.0f s with %d threads%s\n",
                static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
                static_cast<unsigned long long>(sum.checked), seconds, threads,
                byRoutes ? ", vector route against scalar route" : "");
    std::printf("  toDecimal17: %llu mismatches\n",
                static_cast<unsigned long long>(sum.digitMismatches));
    for (std::size_t i = 0; i < kConversionCount; ++i) {
        std::printf(byRoutes ? "  %-7s %llu mismatches\n"
                             : "  %-7s %llu mismatches, %llu in rows\n",
                    kConversions[i].name, static_cast<unsigned long long>(sum.textMismatches[i]),
                    static_cast<unsigned long long>(sum.rowMismatches[i]));
        mismatches += sum.textMismatches[i] + sum.rowMismatches[i];
    }
    return mismatches == 0 ? 0 : 1;
}
