#include "number_text/decimal17.h"
#include "number_text/number_text.h"
#include "number_text/number_text_routes.h"
#include "tests/support/reference_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace brenzolt {
namespace {

// The text of `value` in the conversion that printf names `name`, "%6.2f" say.
std::string numberText(float value, std::string_view name) {
    std::size_t f = 0;
    while (kConversions[f].name != name)
        ++f;
    char text[kMaxNumberText];
    return std::string(text, formatFloat(text, value, NodeFormat(f)));
}

constexpr float bits(std::uint32_t pattern) {
    return std::bit_cast<float>(pattern);
}

// clang-format off
struct Row { float value; const char* format; const char* text; };

constexpr Row kRows[] = {
    // Ties at the requested digits go away from zero.
    {2.5f, "%6.0f", "     3"}, {-0.5f, "%6.0f", "    -1"}, {-0.25f, "%6.1f", "  -0.3"},
    {0.125f, "%6.2f", "  0.13"}, {0.0625f, "%6.3f", " 0.063"}, {0.03125f, "%6.4f", "0.0313"},
    {0.015625f, "%7.5f", "0.01563"}, {0.0078125f, "%8.6f", "0.007813"}, {-1234.125f, "%g", "-1234.13"},
    {0.00390625f, "%9.7f", "0.0039063"}, {0.001953125f, "%10.8f", "0.00195313"},
    {8388607.5f, "%6.0f", "8388608"}, {12345.6875f, "%10.8g", " 12345.688"},
    // Carries into a new leading digit (9.9999995f is 9.99999904632568359375).
    {9.9999995f, "%g", "10"}, {9.9999995f, "%6.4f", "10.0000"}, {-9.9999995f, "%6.0f", "   -10"},
    {0.99999994f, "%6.2f", "  1.00"}, {999999.5f, "%g", "1e+006"}, {0.000999999931f, "%g", "0.001"},
    // Where %g turns to the exponent form: below 1e-4, and from 1e+6 on.
    {1e-4f, "%g", "0.0001"}, {1e-5f, "%g", "1e-005"}, {1e6f, "%g", "1e+006"},
    // Powers of ten and their neighbours: the decimal exponent must be exact.
    {1e-38f, "%g", "1e-038"}, {1e8f, "%10.8g", "    1e+008"}, {1e-4f, "%10.8g", "9.9999997e-005"},
    // Just above a power of ten the quick rounding has one integer digit too many at first.
    {bits(0x3727c5b2), "%g", "1e-005"}, {100000.0546875f, "%g", "100000"},
    // Subnormals.
    {bits(0x00000001), "%g", "1.4013e-045"}, {bits(0x80000001), "%6.2f", " -0.00"},
    {bits(0x007fffff), "%10.8g", "1.1754942e-038"}, {bits(0x00800000), "%10.8g", "1.1754944e-038"},
    // Zeros, and negative values that round to zero, keep their sign.
    {0.0f, "%g", "0"}, {0.0f, "%10.8f", "0.00000000"}, {-0.0f, "%g", "-0"}, {-0.0f, "%6.2f", " -0.00"},
    {-0.0f, "%10.8g", "        -0"}, {-0.4f, "%6.0f", "    -0"},
    // Infinities and not-a-number; the sign and the payload of a NaN do not show.
    {bits(0x7f800000), "%g", "inf"}, {bits(0x7f800000), "%6.2f", "   inf"},
    {bits(0xff800000), "%10.8f", "      -inf"}, {bits(0x7fc00000), "%g", "nan"},
    {bits(0xffc00000), "%6.2f", "   nan"}, {bits(0x7f800001), "%10.8g", "       nan"},
    // Texts wider than the width are written whole.
    {123456.7f, "%6.2f", "123456.70"}, {-12345.0f, "%6.1f", "-12345.0"},
    {-1e-5f, "%10.8g", "-9.9999997e-006"},
    // Huge fixed values: zeros stand for the digits past the 17th.
    {1e30f, "%6.2f", "1000000015047466200000000000000.00"},
    {bits(0x7f7fffff), "%6.0f", "340282346638528860000000000000000000000"},
    {9223372036854775808.0f, "%6.0f", "9223372036854775800"},
    {-12345678901.234567f, "%10.8f", "-12345678848.00000000"},
    {bits(0xff7fffff), "%10.8f", "-340282346638528860000000000000000000000.00000000"},
};

// 18 significant digits ending in 5: a tie at the 17th digit, to the even one, down and up;
// powers of ten and their neighbours, whose decimal exponent must be exact.
constexpr std::uint32_t kDigitsPatterns[] = {0x35100000, 0x36780000, 0x447a0001, 0xbc247800,
                                             0x4479ffff, 0x501502f8, 0x501502f9, 0x00000001};
// clang-format on

TEST(NumberText, WritesTheTextOfEveryRow) {
    for (const Row& row : kRows)
        EXPECT_EQ(numberText(row.value, row.format), row.text)
            << std::hex << std::bit_cast<std::uint32_t>(row.value) << " in " << row.format;
}

// About a second; the sanitizers slow the check about eightfold.
#ifdef __SANITIZE_ADDRESS__
constexpr int kRandomPatterns = 50000;
#else
constexpr int kRandomPatterns = 200000;
#endif

// The values of the tables and random bit patterns (every other one with the
// exponent of a value from 2^-40 to 2^33, where most grids' values and the
// quick roundings lie), some blank (at and below -1e10): each value alone,
// and rows of every length from 1 to 70 on every route, so that rows end at
// every place of a group of values, against the reference; and each value's 17 digits.
TEST(NumberText, AgreesWithTheReferenceAloneAndInRowsOnEveryRoute) {
    std::vector<float> values = {-1e10f};
    for (const Row& row : kRows)
        values.push_back(row.value);
    for (std::uint32_t pattern : kDigitsPatterns)
        values.push_back(bits(pattern));
    std::mt19937 random(12345);
    for (int i = 0; i < kRandomPatterns; ++i) {
        auto pattern = static_cast<std::uint32_t>(random());
        if (i % 2 != 0)
            pattern = (pattern & 0x807fffffu) | (87u + pattern % 96u) << 23;
        values.push_back(bits(pattern));
    }
    for (float value : values) {
        if (!std::isfinite(value))
            continue;
        Decimal d = toDecimal17(value), reference = test::referenceDigits17(value);
        EXPECT_TRUE(d.digits == reference.digits && d.exponent == reference.exponent)
            << std::hex << std::bit_cast<std::uint32_t>(value) << ": " << std::dec << d.digits
            << "e" << d.exponent;
    }
    std::vector routes = {&scalarRowWriters()};
    if (const RowWriters* avx2 = avx2RowWriters())
        routes.push_back(avx2);
    for (std::size_t f = 0; f < kConversionCount; ++f) {
        // Exactly the room the conversion asks for: the sanitizers see a write past it.
        std::vector<char> text(numberTextRoom(70, NodeFormat(f)));
        std::vector<std::string> expected;
        for (float value : values) {
            if (!(value > -1e10f)) { // not-a-number too
                expected.emplace_back(kBlankText);
                continue;
            }
            expected.push_back(test::referenceText(static_cast<double>(value), kConversions[f]));
            ASSERT_EQ(numberText(value, kConversions[f].name), expected.back())
                << std::hex << std::bit_cast<std::uint32_t>(value) << " in "
                << kConversions[f].name;
        }
        std::size_t count = 1;
        for (std::size_t first = 0; first < values.size(); first += count, count = count % 70 + 1) {
            count = std::min(count, values.size() - first);
            std::string row;
            for (std::size_t i = first; i < first + count; ++i)
                row += expected[i] + '\t';
            for (const RowWriters* route : routes) {
                char* end = (*route)[f](text.data(), values.data() + first, count, -1e10f);
                ASSERT_EQ(std::string(text.data(), end), row)
                    << kConversions[f].name << " at " << first;
            }
        }
    }
}

} // namespace
} // namespace brenzolt
