#include "dsaa/number_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

namespace brenzolt {
namespace {

// "%W.Df", "%W.Pg", "%.Pg" or "%g" as a NodeFormat.
NodeFormat nodeFormat(std::string text) {
    NodeFormat format{text.back() == 'f' ? NumberKind::fixed : NumberKind::general, 0, 6};
    if (std::sscanf(text.c_str(), "%%.%d", &format.digits) == 0)
        std::sscanf(text.c_str(), "%%%d.%d", &format.width, &format.digits);
    return format;
}

std::string numberText(float value, NodeFormat format) {
    char text[kMaxNumberText];
    return std::string(text, formatFloat(text, value, format));
}

constexpr float bits(std::uint32_t pattern) {
    return std::bit_cast<float>(pattern);
}

// clang-format off
struct Row { float value; const char* format; const char* text; };

constexpr Row kRows[] = {
    // Worked examples.
    {3.25f, "%10.8g", "      3.25"}, {3.14159f, "%10.8g", " 3.1415901"}, {0.0001f, "%g", "0.0001"},
    {0.00001f, "%g", "1e-005"}, {100000.0f, "%g", "100000"}, {1000000.0f, "%g", "1e+006"},
    {1234567.0f, "%g", "1.23457e+006"}, {-1200.0f, "%g", "-1200"}, {-0.00012345f, "%g", "-0.00012345"},
    {123.456f, "%10.8f", "123.45600128"}, {123456792.0f, "%10.8g", "1.2345679e+008"},
    // Ties at the requested digits go away from zero.
    {2.5f, "%6.0f", "     3"}, {-0.5f, "%6.0f", "    -1"}, {-0.25f, "%6.1f", "  -0.3"},
    {0.125f, "%6.2f", "  0.13"}, {0.0625f, "%6.3f", " 0.063"}, {0.03125f, "%6.4f", "0.0313"},
    {0.015625f, "%7.5f", "0.01563"}, {0.0078125f, "%8.6f", "0.007813"}, {-1234.125f, "%g", "-1234.13"},
    {0.00390625f, "%9.7f", "0.0039063"}, {0.001953125f, "%10.8f", "0.00195313"},
    {8388607.5f, "%6.0f", "8388608"}, {12345.6875f, "%10.8g", " 12345.688"},
    // 18 significant digits ending in 5: the 17-digit rounding is a tie, to the even digit.
    {bits(0x35100000), "%.17g", "5.3644180297851562e-007"},
    {bits(0x36780000), "%.17g", "3.6954879760742188e-006"},
    {bits(0x447a0001), "%.17g", "1000.0000610351562"},
    {bits(0xbc247800), "%.17g", "-0.010038375854492188"},
    // Carries into a new leading digit (9.9999995f is 9.99999904632568359375).
    {9.9999995f, "%g", "10"}, {9.9999995f, "%6.4f", "10.0000"}, {-9.9999995f, "%6.0f", "   -10"},
    {0.99999994f, "%6.2f", "  1.00"}, {999999.5f, "%g", "1e+006"}, {0.000999999931f, "%g", "0.001"},
    // Powers of ten and their neighbours: the decimal exponent must be exact.
    {1e-38f, "%g", "1e-038"}, {1e8f, "%10.8g", "    1e+008"}, {1e-4f, "%10.8g", "9.9999997e-005"},
    {1000.0f, "%.17g", "1000"}, {bits(0x4479ffff), "%.17g", "999.99993896484375"},
    {bits(0x501502f8), "%.17g", "9999998976"}, {bits(0x501502f9), "%.17g", "10000000000"},
    // Subnormals.
    {bits(0x00000001), "%g", "1.4013e-045"}, {bits(0x00000001), "%.17g", "1.4012984643248171e-045"},
    {bits(0x80000001), "%6.2f", " -0.00"}, {bits(0x007fffff), "%10.8g", "1.1754942e-038"},
    {bits(0x00800000), "%10.8g", "1.1754944e-038"},
    // Zeros, and negative values that round to zero, keep their sign.
    {0.0f, "%g", "0"}, {0.0f, "%10.8f", "0.00000000"}, {-0.0f, "%g", "-0"},
    {-0.0f, "%6.2f", " -0.00"}, {-0.0f, "%10.8g", "        -0"}, {-0.4f, "%6.0f", "    -0"},
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
    // The ends of the interface: the longest text, the widest pad, no digits (read as one).
    {bits(0xff7fffff), "%32.17f", "-340282346638528860000000000000000000000.00000000000000000"},
    {1.5f, "%32.17f", "             1.50000000000000000"},
    {-1.5f, "%32.17g", "                            -1.5"}, {25.0f, "%.0g", "3e+001"},
};
// clang-format on

TEST(NumberText, WritesTheTextOfEveryRow) {
    for (const Row& row : kRows)
        EXPECT_EQ(numberText(row.value, nodeFormat(row.format)), row.text)
            << std::hex << std::bit_cast<std::uint32_t>(row.value) << " in " << row.format;
}

// The value's 17 digits, the first at 10^exponent, rounded half up to
// `decimals` decimals and laid out with a point.
std::string fixedText(const std::string& digits, int exponent, int decimals) {
    int kept = exponent + decimals + 1;
    std::string text = kept >= 17
                           ? digits + std::string(kept - 17, '0')
                           : std::to_string((kept > 0 ? std::stoull(digits.substr(0, kept)) : 0) +
                                            (kept >= 0 && digits[kept] >= '5' ? 1 : 0));
    text.insert(0, std::max(decimals + 1 - static_cast<int>(text.size()), 0), '0');
    if (decimals > 0)
        text.insert(text.size() - decimals, 1, '.');
    return text;
}

// The text by an independent route: `e` is the C library's "%+.16e" of the
// value as a double, correctly rounded to 17 digits with ties to even; those
// digits are rounded half up and laid out here, as C's rules for "%f" and "%g" say.
std::string referenceText(const char* e, NodeFormat f) {
    std::string digits = e[1] + std::string(e + 3, 16), text = e + 1;
    char exponentText[16] = "";
    int exponent = std::atoi(e + 20), precision = std::max(f.digits, 1);
    if (text.size() > 3 && f.kind == NumberKind::fixed) {
        text = fixedText(digits, exponent, f.digits);
    } else if (text.size() > 3) {
        // X, the exponent after rounding to P digits, picks the form.
        auto p = static_cast<std::size_t>(precision);
        bool carry = p < 17 && digits.find_first_not_of('9') >= p && digits[p] >= '5';
        int x = exponent + (carry ? 1 : 0);
        if (x < -4 || x >= precision) {
            std::snprintf(exponentText, sizeof exponentText, "e%+04d", x);
            exponent -= x;
            x = 0;
        }
        text = fixedText(digits, exponent, precision - 1 - x);
        if (text.find('.') != std::string::npos)
            text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.')
            text.pop_back();
        text += exponentText;
    }
    if (e[0] == '-' && text != "nan")
        text = '-' + text;
    return std::string(std::max<std::size_t>(f.width, text.size()) - text.size(), ' ') + text;
}

// About half a second; the sanitizers slow the check about eightfold.
#ifdef __SANITIZE_ADDRESS__
constexpr int kRandomPatterns = 50000;
#else
constexpr int kRandomPatterns = 200000;
#endif

TEST(NumberText, AgreesWithTheReferenceOnRandomBitPatterns) {
    const NodeFormat formats[] = {nodeFormat("%g"),      nodeFormat("%6.0f"),  nodeFormat("%6.1f"),
                                  nodeFormat("%6.2f"),   nodeFormat("%6.3f"),  nodeFormat("%6.4f"),
                                  nodeFormat("%7.5f"),   nodeFormat("%8.6f"),  nodeFormat("%9.7f"),
                                  nodeFormat("%10.8f"),  nodeFormat("%10.8g"), nodeFormat("%.17g"),
                                  nodeFormat("%32.17f"), nodeFormat("%15.12g")};
    std::mt19937 random(12345);
    for (int i = 0; i < kRandomPatterns; ++i) {
        // Every other pattern has the exponent of a value from 2^-40 to 2^33,
        // where most grids' values and the quick roundings lie.
        auto pattern = static_cast<std::uint32_t>(random());
        if (i % 2 != 0)
            pattern = (pattern & 0x807fffffu) | (87u + pattern % 96u) << 23;
        float value = bits(pattern);
        char e[32] = {};
        std::snprintf(e, sizeof e, "%+.16e", static_cast<double>(value));
        for (NodeFormat format : formats)
            ASSERT_EQ(numberText(value, format), referenceText(e, format))
                << std::hex << std::bit_cast<std::uint32_t>(value) << std::dec << " in {"
                << format.width << ", " << format.digits << "}";
    }
}

} // namespace
} // namespace brenzolt
