#include "dsaa/decimal17.h"
#include "dsaa/node_format.h"
#include "dsaa/number_text.h"
#include "tests/support/reference_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#ifndef BRENZOLT_RANDOM_VALUES
#define BRENZOLT_RANDOM_VALUES 2000000
#endif

namespace brenzolt::test {
namespace {

constexpr NodeFormat kG = kPercentG;
constexpr NodeFormat kF60{NumberKind::fixed, 6, 0};
constexpr NodeFormat kF61{NumberKind::fixed, 6, 1};
constexpr NodeFormat kF62{NumberKind::fixed, 6, 2};
constexpr NodeFormat kF63{NumberKind::fixed, 6, 3};
constexpr NodeFormat kF64{NumberKind::fixed, 6, 4};
constexpr NodeFormat kF75{NumberKind::fixed, 7, 5};
constexpr NodeFormat kF86{NumberKind::fixed, 8, 6};
constexpr NodeFormat kF97{NumberKind::fixed, 9, 7};
constexpr NodeFormat kF108{NumberKind::fixed, 10, 8};
constexpr NodeFormat kG108{NumberKind::general, 10, 8};

// Every conversion a node value or header number can be written with.
constexpr NodeFormat kAllConversions[] = {kG,   kF60, kF61, kF62,  kF63, kF64,
                                          kF75, kF86, kF97, kF108, kG108};

std::string printfName(NodeFormat c) {
    std::string name = "%";
    if (c.width > 0)
        name += std::to_string(c.width);
    if (c.kind == NumberKind::fixed || c.width > 0) {
        name += '.';
        name += std::to_string(c.digits);
    }
    name += c.kind == NumberKind::fixed ? 'f' : 'g';
    return name;
}

float fromBits(std::uint32_t bits) {
    return std::bit_cast<float>(bits);
}

template <typename Value> std::string describe(Value value) {
    using Bits = std::conditional_t<sizeof(Value) == 4, std::uint32_t, std::uint64_t>;
    std::ostringstream text;
    text << "0x" << std::hex << std::bit_cast<Bits>(value) << std::dec << " ("
         << std::setprecision(std::numeric_limits<Value>::max_digits10) << value << ")";
    return text.str();
}

std::string fastText(float value, NodeFormat c) {
    char text[kMaxNumberText];
    return std::string(text, formatFloat(text, value, c));
}

// Counts disagreements and reports only the first few, so that a broken
// formatter does not flood the log from a loop over millions of values.
class Mismatches {
  public:
    void report(const std::string& what) {
        if (++count_ <= 10)
            ADD_FAILURE() << what;
    }
    int count() const { return count_; }

  private:
    int count_ = 0;
};

class NumberText : public ::testing::Test {
  protected:
    // The fast formatter and the reference must both give `text`.
    template <typename Value> void expectText(Value value, NodeFormat c, const std::string& text) {
        EXPECT_EQ(fastText(value, c), text) << describe(value) << " with " << printfName(c);
        EXPECT_EQ(reference_.format(static_cast<double>(value), c), text)
            << "reference, " << describe(value) << " with " << printfName(c);
    }

    // The fast formatter must agree with the reference on the 17 digits and
    // on every conversion.
    template <typename Value> void compare(Value value, Mismatches& mismatches) {
        double wide = static_cast<double>(value);
        if (!std::isfinite(wide)) {
            for (NodeFormat c : kAllConversions)
                compareText(value, c, reference_.format(wide, c), mismatches);
            return;
        }
        ReferenceDigits digits = reference_.digits17(wide);
        Decimal17 expected = asDecimal17(digits);
        Decimal17 actual = brenzolt::toDecimal17(value);
        if (actual.digits != expected.digits || actual.exponent != expected.exponent ||
            actual.negative != expected.negative)
            mismatches.report(
                "toDecimal17 of " + describe(value) + ": " + std::to_string(actual.digits) + "e" +
                std::to_string(actual.exponent) + ", reference " + std::to_string(expected.digits) +
                "e" + std::to_string(expected.exponent));
        for (NodeFormat c : kAllConversions)
            compareText(value, c, reference_.format(digits, c), mismatches);
    }

    template <typename Value> void expectAgreement(const std::vector<Value>& values) {
        Mismatches mismatches;
        for (Value value : values)
            compare(value, mismatches);
        EXPECT_EQ(mismatches.count(), 0) << "of " << values.size() << " values";
    }

    const ReferenceFormatter& reference() const { return reference_; }

  private:
    template <typename Value>
    static void compareText(Value value, NodeFormat c, const std::string& expected,
                            Mismatches& mismatches) {
        std::string actual = fastText(value, c);
        if (actual != expected)
            mismatches.report(describe(value) + " with " + printfName(c) + ": \"" + actual +
                              "\", reference \"" + expected + "\"");
    }

    ReferenceFormatter reference_;
};

struct FloatCase {
    float value;
    NodeFormat conversion;
    const char* text;
};

TEST_F(NumberText, WorkedExamples) {
    const FloatCase cases[] = {
        {3.14159f, kF62, "  3.14"}, {3.25f, kG108, "      3.25"}, {3.14159f, kG108, " 3.1415901"},
        {0.00001f, kG, "1e-005"},   {2.5f, kF60, "     3"},       {-2.5f, kF60, "    -3"},
        {0.125f, kF62, "  0.13"},   {100000.0f, kG, "100000"},    {1000000.0f, kG, "1e+006"},
        {0.0001f, kG, "0.0001"},
    };
    for (const FloatCase& c : cases)
        expectText(c.value, c.conversion, c.text);
}

TEST_F(NumberText, BasicValues) {
    const FloatCase cases[] = {
        // 123.456f is 123.45600128173828125.
        {123.456f, kG, "123.456"},
        {123.456f, kF62, "123.46"},
        {123.456f, kF108, "123.45600128"},
        {123.456f, kG108, "   123.456"},
        // 0.1f is 0.100000001490116119384765625.
        {0.1f, kG108, "       0.1"},
        {0.1f, kF108, "0.10000000"},
        {1.0f, kF97, "1.0000000"},
        {-1.5f, kG108, "      -1.5"},
        {1234567.0f, kG, "1.23457e+006"},
        {1234567.0f, kG108, "   1234567"},
        {12345678.0f, kG108, "  12345678"},
        {123456792.0f, kG108, "1.2345679e+008"},
        {-0.00012345f, kG, "-0.00012345"},
        {0.000012345f, kG, "1.2345e-005"},
    };
    for (const FloatCase& c : cases)
        expectText(c.value, c.conversion, c.text);
}

TEST_F(NumberText, ReferenceExpandsBinaryValuesExactly) {
    EXPECT_EQ(reference().exactDecimal(0.1).digits,
              "1000000000000000055511151231257827021181583404541015625");
    EXPECT_EQ(reference().exactDecimal(0.1).exponent, -1);
    ExactDecimal smallest = reference().exactDecimal(fromBits(0x00000001));
    EXPECT_EQ(smallest.digits, "140129846432481707092372958328991613128026194187651577175706828388"
                               "979108268586060148663818836212158203125");
    EXPECT_EQ(smallest.exponent, -45);
    EXPECT_EQ(reference().exactDecimal(-0.0).digits, "");
    EXPECT_TRUE(reference().exactDecimal(-0.0).negative);
}

// Exactly representable ties at the requested digits round away from zero,
// where round-to-even would have gone the other way half of the time.
TEST_F(NumberText, RoundingTiesGoAwayFromZero) {
    const FloatCase cases[] = {
        {0.5f, kF60, "     1"},
        {-0.5f, kF60, "    -1"},
        {1.5f, kF60, "     2"},
        {3.5f, kF60, "     4"},
        {0.25f, kF61, "   0.3"},
        {0.75f, kF61, "   0.8"},
        {-0.25f, kF61, "  -0.3"},
        {0.375f, kF62, "  0.38"},
        {0.0625f, kF63, " 0.063"},
        {0.03125f, kF64, "0.0313"},
        {0.015625f, kF75, "0.01563"},
        {0.0078125f, kF86, "0.007813"},
        {0.00390625f, kF97, "0.0039063"},
        {0.001953125f, kF108, "0.00195313"},
        {8388607.5f, kF60, "8388608"},
        {1234.125f, kG, "1234.13"},
        {-1234.125f, kG, "-1234.13"},
        {12345.6875f, kG108, " 12345.688"},
        {0.5f, kG, "0.5"},
    };
    for (const FloatCase& c : cases)
        expectText(c.value, c.conversion, c.text);
}

// A tie at D decimals is an odd multiple of 2^-(D+1); it must read like the
// next float away from zero wherever that float lies within the same rounding
// step. This holds whatever the reference says.
TEST_F(NumberText, EveryRepresentableFixedTieReadsLikeItsOuterNeighbour) {
    std::mt19937 random(20240601);
    int checked = 0;
    for (NodeFormat c : kAllConversions) {
        if (c.kind != NumberKind::fixed)
            continue;
        std::vector<float> ties;
        for (std::uint32_t odd = 1; odd < 4000; odd += 2)
            ties.push_back(std::ldexp(static_cast<float>(odd), -(c.digits + 1)));
        // Odd multipliers of every bit length up to 24, for ties at all scales.
        for (int i = 0; i < 4000; ++i) {
            std::uint32_t odd = (random() >> (8 + random() % 24)) | 1u;
            ties.push_back(std::ldexp(static_cast<float>(odd), -(c.digits + 1)));
        }
        const double halfStep = 0.5 * std::pow(10.0, -c.digits);
        for (float tie : ties) {
            for (float value : {tie, -tie}) {
                float outer = std::nextafter(value, value * 2);
                if (std::abs(static_cast<double>(outer) - value) >= halfStep)
                    continue; // floats too sparse here: the neighbour is past the step
                ASSERT_EQ(fastText(value, c), fastText(outer, c))
                    << describe(value) << " with " << printfName(c);
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 50000);
}

TEST_F(NumberText, RepresentableTiesAgreeWithReference) {
    std::vector<float> values;
    for (int exponent = -12; exponent <= 0; ++exponent)
        for (std::uint32_t odd = 1; odd < 20000; odd += 2)
            values.push_back(std::ldexp(static_cast<float>(odd), exponent));
    expectAgreement(values);
}

// 18 significant digits ending in 5: the 17-digit rounding is a tie itself and
// goes to the even digit.
TEST_F(NumberText, SeventeenDigitTiesGoToEven) {
    struct Case {
        std::uint32_t bits;
        std::uint64_t digits;
        int exponent;
    };
    const Case cases[] = {
        {0x35100000, 53644180297851562u, -7}, // 5.36441802978515625e-7
        {0x36780000, 36954879760742188u, -6}, // 3.69548797607421875e-6
        {0x3c244800, 10026931762695312u, -2}, // 0.0100269317626953125
        {0x3c247800, 10038375854492188u, -2}, // 0.0100383758544921875
        {0x447a0001, 10000000610351562u, 3},  // 1000.00006103515625
        {0x447a000b, 10000006713867188u, 3},  // 1000.00067138671875
    };
    std::vector<float> values;
    for (const Case& c : cases) {
        Decimal17 d = brenzolt::toDecimal17(fromBits(c.bits));
        EXPECT_EQ(d.digits, c.digits) << describe(fromBits(c.bits));
        EXPECT_EQ(d.exponent, c.exponent) << describe(fromBits(c.bits));
        values.push_back(fromBits(c.bits));
        values.push_back(-fromBits(c.bits));
    }
    expectAgreement(values);
}

TEST_F(NumberText, CarriesIntoANewLeadingDigit) {
    // 9.9999995f is 9.99999904632568359375; 0.99999994f is 1 - 2^-24.
    const FloatCase cases[] = {
        {9.9999995f, kG, "10"},
        {9.9999995f, kF60, "    10"},
        {9.9999995f, kF64, "10.0000"},
        {9.9999995f, kG108, "  9.999999"},
        {9.9999995f, kF108, "9.99999905"},
        {-9.9999995f, kF60, "   -10"},
        {0.99999994f, kG, "1"},
        {0.99999994f, kF62, "  1.00"},
        {0.99999994f, kG108, "0.99999994"},
        {999999.5f, kG, "1e+006"},
        {999999.5f, kF60, "1000000"},
        {99999.95f, kG, "100000"},
        {99999.95f, kF61, "100000.0"},
        {9.5f, kF60, "    10"},
        {9999999.0f, kG, "1e+007"},
        {0.000999999931f, kG, "0.001"},
    };
    for (const FloatCase& c : cases)
        expectText(c.value, c.conversion, c.text);
}

TEST_F(NumberText, PowersOfTenAndTheirNeighbours) {
    const FloatCase cases[] = {
        {1e-45f, kG, "1.4013e-045"}, {1e-38f, kG, "1e-038"},
        {1e-10f, kG, "1e-010"},      {1e10f, kG, "1e+010"},
        {1e38f, kG, "1e+038"},       {1e5f, kG108, "    100000"},
        {1e8f, kG108, "    1e+008"}, {1e-4f, kG108, "9.9999997e-005"},
    };
    for (const FloatCase& c : cases)
        expectText(c.value, c.conversion, c.text);

    std::vector<float> values;
    for (int k = -45; k <= 38; ++k) {
        float power = std::strtof(("1e" + std::to_string(k)).c_str(), nullptr);
        float below = power;
        float above = power;
        values.push_back(power);
        for (int step = 0; step < 3; ++step) {
            below = std::nextafter(below, 0.0f);
            above = std::nextafter(above, std::numeric_limits<float>::infinity());
            values.push_back(below);
            values.push_back(above);
        }
    }
    std::vector<float> negatives;
    for (float value : values)
        negatives.push_back(-value);
    expectAgreement(values);
    expectAgreement(negatives);
}

TEST_F(NumberText, Subnormals) {
    const FloatCase cases[] = {
        {fromBits(0x00000001), kG, "1.4013e-045"},
        {fromBits(0x00000001), kG108, "1.4012985e-045"},
        {fromBits(0x80000001), kG, "-1.4013e-045"},
        {fromBits(0x007fffff), kG, "1.17549e-038"},
        {fromBits(0x007fffff), kG108, "1.1754942e-038"},
        {fromBits(0x00800000), kG108, "1.1754944e-038"},
        {fromBits(0x00000001), kF108, "0.00000000"},
        {fromBits(0x80000001), kF62, " -0.00"},
    };
    for (const FloatCase& c : cases)
        expectText(c.value, c.conversion, c.text);

    std::vector<float> values;
    for (std::uint32_t bits = 1; bits < 0x00800000; bits += bits < 2000 ? 1 : 997)
        values.push_back(fromBits(bits));
    for (std::uint32_t bits = 0x007ff000; bits <= 0x00800100; ++bits)
        values.push_back(fromBits(bits));
    expectAgreement(values);
}

TEST_F(NumberText, ZeroAndNegativeZero) {
    const FloatCase cases[] = {
        {0.0f, kG, "0"},
        {0.0f, kF60, "     0"},
        {0.0f, kF62, "  0.00"},
        {0.0f, kF108, "0.00000000"},
        {0.0f, kG108, "         0"},
        {-0.0f, kG, "-0"},
        {-0.0f, kF60, "    -0"},
        {-0.0f, kF62, " -0.00"},
        {-0.0f, kF108, "-0.00000000"},
        {-0.0f, kG108, "        -0"},
        // Negative values that round to zero keep their sign.
        {-0.001f, kF62, " -0.00"},
        {-0.4f, kF60, "    -0"},
        {0.4f, kF60, "     0"},
    };
    for (const FloatCase& c : cases)
        expectText(c.value, c.conversion, c.text);
}

TEST_F(NumberText, InfinityAndNotANumber) {
    const float infinity = std::numeric_limits<float>::infinity();
    const FloatCase cases[] = {
        {infinity, kG, "inf"},
        {infinity, kF62, "   inf"},
        {infinity, kG108, "       inf"},
        {-infinity, kG, "-inf"},
        {-infinity, kF60, "  -inf"},
        {-infinity, kF108, "      -inf"},
        {fromBits(0x7fc00000), kG, "nan"},
        {fromBits(0x7fc00000), kF62, "   nan"},
        // The sign and the payload of a NaN do not show.
        {fromBits(0xffc00000), kG, "nan"},
        {fromBits(0x7f800001), kF75, "    nan"},
        {fromBits(0xffffffff), kG108, "       nan"},
    };
    for (const FloatCase& c : cases)
        expectText(c.value, c.conversion, c.text);
}

TEST_F(NumberText, TextsLongerThanTheWidthAreWrittenWhole) {
    const FloatCase cases[] = {
        {123456.7f, kF62, "123456.70"}, // 123456.703125
        {-12345.0f, kF61, "-12345.0"},      {100.0f, kF62, "100.00"},
        {-10.0f, kF62, "-10.00"},           {-123456792.0f, kG108, "-1.2345679e+008"},
        {-1e-5f, kG108, "-9.9999997e-006"},
    };
    for (const FloatCase& c : cases)
        expectText(c.value, c.conversion, c.text);
}

// Digits past the 17th significant digit are written as zeros.
TEST_F(NumberText, HugeFixedValues) {
    const float largest = std::numeric_limits<float>::max();
    const FloatCase cases[] = {
        {1e30f, kF62, "1000000015047466200000000000000.00"},
        {largest, kF60, "340282346638528860000000000000000000000"},
        {-largest, kF108, "-340282346638528860000000000000000000000.00000000"},
        {9223372036854775808.0f, kF60, "9223372036854775800"},
        {16777216.0f, kF61, "16777216.0"},
        // Decimals past the 17th digit, integer digits within it.
        {123456790528.0f, kF108, "123456790528.00000000"},
    };
    for (const FloatCase& c : cases)
        expectText(c.value, c.conversion, c.text);
}

// Texts that once came out wrong.
TEST_F(NumberText, Regressions) {
    // Trailing zeros of the integer part were dropped with those of the fraction.
    expectText(100000.0f, kG108, "    100000");
    expectText(-1200.0f, kG, "-1200");
    // Decimals past the 17th digit were written over the last digits kept.
    expectText(-12345678901.234567f, kF108, "-12345678848.00000000");
}

TEST_F(NumberText, ValuesInTheUsualNodeRange) {
    std::mt19937 random(4711);
    std::uniform_real_distribution<float> nodeRange(-500.0f, 3000.0f);
    std::vector<float> values;
    for (int i = 0; i < 200000; ++i)
        values.push_back(nodeRange(random));
    expectAgreement(values);
}

TEST_F(NumberText, RandomBitPatterns) {
    std::mt19937 random(12345);
    Mismatches mismatches;
    const int count = BRENZOLT_RANDOM_VALUES;
    for (int i = 0; i < count; ++i)
        compare(fromBits(static_cast<std::uint32_t>(random())), mismatches);
    EXPECT_EQ(mismatches.count(), 0) << "of " << count << " values";
}

TEST(SelectNodeFormat, FirstCharacterOfThePrecisionTextPicksTheRow) {
    const struct {
        const char* precision;
        NodeFormat conversion;
    } cases[] = {
        {"0", kF60}, {"1", kF61}, {"2", kF62},  {"3", kF63},  {"4", kF64},  {"5", kF75},
        {"6", kF86}, {"7", kF97}, {"8", kF108}, {"9", kG108}, {"25", kF62}, {"9x", kG108},
        {"-", kG},   {"", kG},    {"x", kG},    {" 2", kG},   {"/", kG},    {":", kG},
    };
    for (const auto& c : cases) {
        NodeFormat format = selectNodeFormat(c.precision);
        EXPECT_EQ(format.kind, c.conversion.kind) << '"' << c.precision << '"';
        EXPECT_EQ(format.width, c.conversion.width) << '"' << c.precision << '"';
        EXPECT_EQ(format.digits, c.conversion.digits) << '"' << c.precision << '"';
    }
}

} // namespace
} // namespace brenzolt::test
