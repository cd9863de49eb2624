// The number texts of many values at once with AVX2.
//
// Eight values at a time take the quick roundings of quick_rounding.h, whose
// proof holds here too, in doubles: a float is m x 2^e with m < 2^24, so
// y = |v| x 10^D = m x 5^D x 2^(D+e) has at most 50 significant bits for
// D <= 11 and is exact in double precision, and so are y + 0.5, its integer
// part (the rounding half up) and its fraction, which tells a value too close
// below one half (there formatFloat takes the value). The digits become
// characters without a division.
//
// Each text is then one of a few hundred layouts, all known when the program
// is compiled: a row of a table, made by plain code below, says where each
// digit goes (one byte shuffle) and holds the other characters (spaces, sign,
// point, zeros, exponent and the TAB after the text). The texts are written
// in order, each with one 16-byte store at the end of the one before. Values
// the quick roundings do not take are written by formatFloat in their place.
//
// Only the functions marked for AVX2 use its instructions, and they run only
// after avx2RowWriters() found it on the processor.
#include "number_text/number_text_routes.h"

#include "number_text/quick_rounding.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

#include <cpuid.h>

#include <immintrin.h>

namespace brenzolt {

namespace {

// ---- The layouts, as plain data.

// One text with its TAB after it: the digit characters the shuffle takes
// (general forms have their P digits at bytes 0..P-1, fixed forms all the
// digits made of the rounded value, leading zeros included: see digitByte),
// the other characters, and the length.
struct alignas(16) Layout {
    std::array<std::uint8_t, 16> shuffle; // digit byte, or 0x80 for none
    std::array<char, 16> characters;      // where the shuffle takes none
};

struct LaidOut {
    Layout layout;
    std::uint8_t length;
};

class LayoutBuilder {
  public:
    constexpr void digit(int source) { add(static_cast<std::uint8_t>(source), '\0'); }
    constexpr void digits(int first, int count) {
        for (int i = 0; i < count; ++i)
            digit(first + i);
    }
    constexpr void character(char c) { add(kNoDigit, c); }
    // The spaces up to the width and the sign before the body, the TAB
    // after it.
    constexpr LaidOut finish(bool negative, int width) const {
        Layout layout{};
        layout.shuffle.fill(kNoDigit);
        int at = 0;
        for (; at < width - (negative ? 1 : 0) - length_; ++at)
            layout.characters[at] = ' ';
        if (negative)
            layout.characters[at++] = '-';
        for (int i = 0; i < length_; ++i, ++at) {
            layout.shuffle[at] = shuffle_[i];
            layout.characters[at] = characters_[i];
        }
        layout.characters[at++] = '\t';
        return LaidOut{layout, static_cast<std::uint8_t>(at)};
    }

  private:
    static constexpr std::uint8_t kNoDigit = 0x80;
    constexpr void add(std::uint8_t source, char c) {
        shuffle_[length_] = source;
        characters_[length_++] = c;
    }
    std::array<std::uint8_t, 16> shuffle_{};
    std::array<char, 16> characters_{};
    int length_ = 0;
};

// "%W.Pg" of P digits, `significant` of them shown, with exponent k (on the
// quick route |k| < 10: "e+00k").
constexpr LaidOut generalLayout(int precision, int width, int k, int significant, bool negative) {
    LayoutBuilder text;
    if (k >= 0 && k < precision) {
        int integerDigits = k + 1;
        text.digits(0, integerDigits);
        if (significant > integerDigits) {
            text.character('.');
            text.digits(integerDigits, significant - integerDigits);
        }
    } else if (k < -4 || k >= precision) {
        text.digit(0);
        if (significant > 1) {
            text.character('.');
            text.digits(1, significant - 1);
        }
        for (char c : {'e', k < 0 ? '-' : '+', '0', '0'})
            text.character(c);
        text.character(static_cast<char>('0' + (k < 0 ? -k : k)));
    } else {
        text.character('0');
        text.character('.');
        for (int zero = 0; zero < -k - 1; ++zero)
            text.character('0');
        text.digits(0, significant);
    }
    return text.finish(negative, width);
}

// Fixed forms of up to four decimals make eight digits a value, those of
// five to eight decimals twelve: the last eight at bytes 0..7, the first four
// at bytes 12..15 (see makeLongFixed).
constexpr bool isLong(const Conversion& conversion) {
    return conversion.kind == NumberKind::fixed && conversion.digits >= 5;
}

constexpr int digitsMade(const Conversion& conversion) {
    return isLong(conversion) ? 12 : 8;
}

// The byte that holds digit j of the digits made.
constexpr int digitByte(const Conversion& conversion, int j) {
    return isLong(conversion) ? (j < 4 ? 12 + j : j - 4) : j;
}

// "%W.Df" with `integerDigits` before the point: the last integerDigits + D
// of the digits made.
constexpr LaidOut fixedLayout(const Conversion& conversion, int integerDigits, bool negative) {
    LayoutBuilder text;
    int count = integerDigits + conversion.digits;
    for (int j = 0; j < count; ++j) {
        if (j == integerDigits)
            text.character('.');
        text.digit(digitByte(conversion, digitsMade(conversion) - count + j));
    }
    return text.finish(negative, conversion.width);
}

// A layout's code: (k - lowestExponent) << 4 | (significant - 1) << 1 |
// negative for general forms, integerDigits << 1 | negative for fixed ones.
// Code kBlank stands for a blank value, codes from kFallBack up for a value
// left to formatFloat.
constexpr std::uint32_t kBlank = 0xe0;
constexpr std::uint32_t kFallBack = 0xf0;

// The exponents of P digits on the quick route: D = P - 1 - k0 in 1..11, and
// k = k0, k0 + 1 or k0 + 2.
constexpr int lowestExponent(int precision) {
    return precision - 12;
}

// The blank text: no digit, all characters.
constexpr LaidOut blankLayout() {
    LayoutBuilder text;
    for (char c : kBlankText)
        text.character(c);
    return text.finish(false, 0);
}

constexpr LaidOut layoutOf(const Conversion& conversion, unsigned code) {
    bool negative = (code & 1) != 0;
    if (code == kBlank)
        return blankLayout();
    if (conversion.kind == NumberKind::general) {
        int k = static_cast<int>(code >> 4) + lowestExponent(conversion.digits);
        int significant = static_cast<int>((code >> 1) & 7) + 1;
        if (code < kBlank && significant <= conversion.digits)
            return generalLayout(conversion.digits, conversion.width, k, significant, negative);
    } else {
        int integerDigits = static_cast<int>(code >> 1);
        if (integerDigits >= 1 && integerDigits + conversion.digits <= digitsMade(conversion))
            return fixedLayout(conversion, integerDigits, negative);
    }
    return LaidOut{};
}

// The layouts of one conversion by code, and their lengths apart.
struct Layouts {
    std::array<Layout, kBlank + 1> layouts;
    std::array<std::uint8_t, kBlank + 1> lengths;
};

template <std::size_t kIndex>
constexpr Layouts kLayouts = [] {
    Layouts all{};
    for (unsigned code = 0; code <= kBlank; ++code) {
        LaidOut laidOut = layoutOf(kConversions[kIndex], code);
        all.layouts[code] = laidOut.layout;
        all.lengths[code] = laidOut.length;
    }
    return all;
}();

// ---- Eight values at a time.

#define BRENZOLT_AVX2 [[gnu::target("avx2"), gnu::always_inline]] inline

// Digit characters and layout codes of eight values, in order.
struct Made {
    // Eight bytes a value, values 0..3 and 4..7; or sixteen, values 0..1,
    // 2..3, 4..5 and 6..7.
    __m256i characters[4];
    __m256i codes; // 32 bits a value
};

// A constant the compiler cannot see through. Plain constants it remakes in
// the loop from integer registers, with instructions that compete with the
// shuffles for one port, and it turns a multiplication by one into shifts and
// additions; these are made once and kept in registers or on the stack.
// Measured with g++ 12.2 at -O3 against the same build with a plain return
// (best of four interleaved rounds of `build/bench/number_text_bench
// --benchmark_filter='avx2/uniform/(%g|%6.2f|%8.6f)$'`, 16 million values):
// 50.3 against 53.6 ms for "%g", 32.1 against 34.9 for "%6.2f", 53.6 against
// 55.6 for "%8.6f", about 5%. Another compiler may void it: measure again.
template <typename Vector> BRENZOLT_AVX2 Vector opaque(Vector v) {
    asm("" : "+x"(v));
    return v;
}

BRENZOLT_AVX2 __m256i constant32(std::int32_t value) {
    return opaque(_mm256_set1_epi32(value));
}

// Eight 64-bit lanes of two vectors, as 32-bit lanes in order.
BRENZOLT_AVX2 __m256i narrow(__m256i low, __m256i high) {
    __m256 pairs = _mm256_shuffle_ps(_mm256_castsi256_ps(low), _mm256_castsi256_ps(high), 0x88);
    return _mm256_permute4x64_epi64(_mm256_castps_si256(pairs), 0xd8);
}

// The two halves of eight floats as doubles.
BRENZOLT_AVX2 __m256d lowerHalf(__m256 v) {
    return _mm256_cvtps_pd(_mm256_castps256_ps128(v));
}

BRENZOLT_AVX2 __m256d upperHalf(__m256 v) {
    return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
}

// Half up to integers, q = floor(y + 0.5) by truncation (y + 0.5 < 2^31),
// and all ones where the fraction of y lies within 2^-24 below one half:
// eight values from two halves, as 32-bit lanes in order.
struct Rounded {
    __m256i q;
    __m256i nearHalf;
};

BRENZOLT_AVX2 Rounded roundHalfUp(const __m256d (&y)[2]) {
    __m128i q[2];
    __m256i nearHalf[2];
    for (int h = 0; h < 2; ++h) {
        __m256d up = _mm256_add_pd(y[h], opaque(_mm256_set1_pd(0.5)));
        q[h] = _mm256_cvttpd_epi32(up);
        __m256d fraction = _mm256_sub_pd(up, _mm256_cvtepi32_pd(q[h]));
        nearHalf[h] = _mm256_castpd_si256(
            _mm256_cmp_pd(fraction, opaque(_mm256_set1_pd(1.0 - 0x1p-24)), _CMP_GE_OQ));
    }
    return Rounded{_mm256_set_m128i(q[1], q[0]), narrow(nearHalf[0], nearHalf[1])};
}

// Eight 32-bit lanes of two halves below 10^4 each, the first in the low
// 16 bits, as eight digit characters each, the first in the lowest byte: two
// digits a 16-bit lane, then tens and ones.
BRENZOLT_AVX2 void writeHalvesCharacters(__m256i halves, __m256i* characters) {
    // x / 100 = (x x 5243) >> 19 for x < 10^4.
    __m256i hundreds =
        _mm256_srli_epi16(_mm256_mulhi_epu16(halves, opaque(_mm256_set1_epi16(5243))), 3);
    __m256i rest =
        _mm256_sub_epi16(halves, _mm256_mullo_epi16(hundreds, opaque(_mm256_set1_epi16(100))));
    // Values 0, 1, 4, 5 and 2, 3, 6, 7.
    __m256i pairs[2] = {_mm256_unpacklo_epi16(hundreds, rest),
                        _mm256_unpackhi_epi16(hundreds, rest)};
    for (__m256i& p : pairs) {
        // p / 10 = (p x 6554) >> 16 for p < 100; tens | ones << 8 is then
        // 256 p - 2559 tens.
        __m256i tens = _mm256_mulhi_epu16(p, opaque(_mm256_set1_epi16(6554)));
        p = _mm256_sub_epi16(_mm256_slli_epi16(p, 8),
                             _mm256_mullo_epi16(tens, opaque(_mm256_set1_epi16(2559))));
        p = _mm256_or_si256(p, opaque(_mm256_set1_epi8('0')));
    }
    characters[0] = _mm256_permute2x128_si256(pairs[0], pairs[1], 0x20);
    characters[1] = _mm256_permute2x128_si256(pairs[0], pairs[1], 0x31);
}

// q < 10^8 as eight digit characters each: four digits a half.
BRENZOLT_AVX2 void writeDigitCharacters(__m256i q, __m256i* characters) {
    const __m256i kTenThousandth = opaque(_mm256_set1_epi64x(0xd1b71759)); // ceil(2^45 / 10^4)
    __m256i evenHigh = _mm256_srli_epi64(_mm256_mul_epu32(q, kTenThousandth), 45);
    __m256i oddHigh =
        _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(q, 32), kTenThousandth), 45);
    __m256i high = _mm256_or_si256(evenHigh, _mm256_slli_epi64(oddHigh, 32));
    __m256i low = _mm256_sub_epi32(q, _mm256_mullo_epi32(high, constant32(10000)));
    writeHalvesCharacters(_mm256_or_si256(high, _mm256_slli_epi32(low, 16)), characters);
}

// For each value, the place of the last of its first `count` digit
// characters that is not '0' (the first never is), as 32-bit lanes in order.
// With the nonzero digits as bits 8i of a lane, shifted right by 7 and bit 0
// set, the highest bit is 8i - 7 for the last such digit i >= 1, and bit 0
// for i = 0: the exponent of the lane as a double tells it.
BRENZOLT_AVX2 __m256i lastNonZeroDigit(const __m256i* characters, int count) {
    // Bit 0 of each digit byte; 2^52 as a double, and with bit 0 set.
    const __m256i kDigitBits = opaque(_mm256_set1_epi64x(0x0101010101010101 >> 8 * (8 - count)));
    const __m256i k2To52 = opaque(_mm256_set1_epi64x(0x4330000000000000));
    const __m256i k2To52AndOne = opaque(_mm256_set1_epi64x(0x4330000000000001));
    __m256i places[2];
    for (int i = 0; i < 2; ++i) {
        __m256i nonZero = _mm256_andnot_si256(
            _mm256_cmpeq_epi8(characters[i], opaque(_mm256_set1_epi8('0'))), kDigitBits);
        __m256i x = _mm256_or_si256(_mm256_srli_epi64(nonZero, 7), k2To52AndOne);
        __m256d value = _mm256_sub_pd(_mm256_castsi256_pd(x), _mm256_castsi256_pd(k2To52));
        __m256i exponent = _mm256_srli_epi64(_mm256_castpd_si256(value), 52);
        places[i] =
            _mm256_srli_epi64(_mm256_add_epi64(exponent, opaque(_mm256_set1_epi64x(7 - 1023))), 3);
    }
    return narrow(places[0], places[1]);
}

// "%W.Pg", as roundToDigitsQuickly: D = P - 1 - k0 decimals, k0 estimated from
// the exponent; one integer digit too many takes one decimal less.
template <int kPrecision> BRENZOLT_AVX2 Made makeGeneral(__m256 v, __m256i bits) {
    constexpr quick::ExponentRange kRange =
        quick::kQuickDigitsRanges[static_cast<std::size_t>(kPrecision)];
    __m256i biased = _mm256_and_si256(_mm256_srli_epi32(bits, 23), constant32(0xff));
    __m256i inRange = _mm256_and_si256(_mm256_cmpgt_epi32(biased, constant32(kRange.low - 1)),
                                       _mm256_cmpgt_epi32(constant32(kRange.high + 1), biased));
    __m256i k0 =
        _mm256_srai_epi32(_mm256_sub_epi32(_mm256_mullo_epi32(biased, constant32(kLog10Of2Scaled)),
                                           constant32(127 * kLog10Of2Scaled)),
                          kLog10Of2Shift);
    // 10^(D-1), D - 1 in 0..10: exact as floats.
    __m256i index = _mm256_sub_epi32(constant32(kPrecision - 2), k0);
    const __m256 kLow = _mm256_setr_ps(1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f);
    const __m256 kHigh = _mm256_setr_ps(1e8f, 1e9f, 1e10f, 0, 0, 0, 0, 0);
    __m256 scale = _mm256_blendv_ps(_mm256_permutevar8x32_ps(kLow, index),
                                    _mm256_permutevar8x32_ps(kHigh, index),
                                    _mm256_castsi256_ps(_mm256_cmpgt_epi32(index, constant32(7))));
    __m256 magnitude = _mm256_and_ps(v, _mm256_castsi256_ps(constant32(0x7fffffff)));
    __m256d y[2] = {_mm256_mul_pd(lowerHalf(magnitude), lowerHalf(scale)),
                    _mm256_mul_pd(upperHalf(magnitude), upperHalf(scale))};
    __m256i oneMore[2];
    for (int h = 0; h < 2; ++h) {
        __m256d moreDigits = _mm256_cmp_pd(
            y[h], opaque(_mm256_set1_pd(static_cast<double>(kPow10[kPrecision - 1]))), _CMP_GE_OQ);
        y[h] = _mm256_blendv_pd(_mm256_mul_pd(y[h], opaque(_mm256_set1_pd(10))), y[h], moreDigits);
        oneMore[h] = _mm256_castpd_si256(moreDigits);
    }
    auto [q, nearHalf] = roundHalfUp(y);
    // A carry into a new leading digit.
    __m256i carried = _mm256_cmpeq_epi32(q, constant32(kPow10[kPrecision]));
    q = _mm256_blendv_epi8(q, constant32(kPow10[kPrecision - 1]), carried);
    Made made;
    writeDigitCharacters(q, made.characters);
    for (int i = 0; i < 2; ++i)
        made.characters[i] = _mm256_srli_epi64(made.characters[i], 8 * (8 - kPrecision));
    __m256i k = _mm256_sub_epi32(_mm256_sub_epi32(k0, narrow(oneMore[0], oneMore[1])), carried);
    __m256i codes = _mm256_or_si256(
        _mm256_slli_epi32(_mm256_sub_epi32(k, constant32(lowestExponent(kPrecision))), 4),
        _mm256_slli_epi32(lastNonZeroDigit(made.characters, kPrecision), 1));
    __m256i quick = _mm256_andnot_si256(nearHalf, inRange);
    made.codes = _mm256_blendv_epi8(constant32(kFallBack), codes, quick);
    return made;
}

// "%W.Df", as roundToDecimalsQuickly, for at most eight digits.
template <int kDecimals> BRENZOLT_AVX2 Made makeFixed(__m256 v) {
    __m256 magnitude = _mm256_and_ps(v, _mm256_castsi256_ps(constant32(0x7fffffff)));
    const __m256d kScale = opaque(_mm256_set1_pd(static_cast<double>(kPow10[kDecimals])));
    __m256d y[2] = {_mm256_mul_pd(lowerHalf(magnitude), kScale),
                    _mm256_mul_pd(upperHalf(magnitude), kScale)};
    auto [q, nearHalf] = roundHalfUp(y);
    // At most eight digits; infinity and not-a-number truncate to INT_MIN.
    __m256i fits = _mm256_and_si256(_mm256_cmpgt_epi32(constant32(100'000'000), q),
                                    _mm256_cmpgt_epi32(q, constant32(-1)));
    __m256i quick = _mm256_andnot_si256(nearHalf, fits);
    Made made;
    writeDigitCharacters(q, made.characters);
    // One integer digit, and one more from each power of ten above 10^D.
    __m256i integerDigits = constant32(1);
    for (int j = kDecimals + 1; j < 8; ++j)
        integerDigits = _mm256_sub_epi32(
            integerDigits, _mm256_cmpgt_epi32(q, constant32(static_cast<int>(kPow10[j]) - 1)));
    made.codes =
        _mm256_blendv_epi8(constant32(kFallBack), _mm256_slli_epi32(integerDigits, 1), quick);
    return made;
}

// "%W.Df" with five to eight decimals, as roundToDecimalsQuickly, for up to
// twelve digits: q < 10^12 takes doubles, not 32-bit lanes. y = |v| x 10^D
// is exact (at most 24 + 19 significant bits), and so are its integer part
// and fraction f. With up to twelve kept digits, the 17-digit rounding
// decides otherwise only for f within 10^(12-17)/2 < 2^-17 below one half
// (quick_rounding.h): those values fall back.
template <int kDecimals> BRENZOLT_AVX2 Made makeLongFixed(__m256 v) {
    __m256 magnitude = _mm256_and_ps(v, _mm256_castsi256_ps(constant32(0x7fffffff)));
    const __m256d kScale = opaque(_mm256_set1_pd(static_cast<double>(kPow10[kDecimals])));
    const __m256d kHalf = opaque(_mm256_set1_pd(0.5));
    __m128i high[2];
    __m128i low[2];
    __m256i quick[2];
    for (int h = 0; h < 2; ++h) {
        __m256d y = _mm256_mul_pd(h == 0 ? lowerHalf(magnitude) : upperHalf(magnitude), kScale);
        __m256d whole = _mm256_floor_pd(y);
        __m256d fraction = _mm256_sub_pd(y, whole);
        __m256d up = _mm256_cmp_pd(fraction, kHalf, _CMP_GE_OQ);
        __m256d q = _mm256_add_pd(whole, _mm256_and_pd(up, opaque(_mm256_set1_pd(1.0))));
        __m256d nearHalf = _mm256_andnot_pd(
            up, _mm256_cmp_pd(fraction, opaque(_mm256_set1_pd(0.5 - 0x1p-17)), _CMP_GE_OQ));
        // Not above 10^12; infinity and not-a-number fail too.
        __m256d fits = _mm256_cmp_pd(q, opaque(_mm256_set1_pd(1e12)), _CMP_LT_OQ);
        quick[h] = _mm256_castpd_si256(_mm256_andnot_pd(nearHalf, fits));
        // q = 10^8 x high + low: q x 10^-8 is off by less than 2^-38, and
        // below an integer by at least 10^-8 when it is none, so
        // floor(q x 10^-8 + 2^-32) is exact.
        __m256d highPart = _mm256_floor_pd(_mm256_add_pd(
            _mm256_mul_pd(q, opaque(_mm256_set1_pd(1e-8))), opaque(_mm256_set1_pd(0x1p-32))));
        __m256d lowPart = _mm256_sub_pd(q, _mm256_mul_pd(highPart, opaque(_mm256_set1_pd(1e8))));
        high[h] = _mm256_cvttpd_epi32(highPart);
        low[h] = _mm256_cvttpd_epi32(lowPart);
    }
    __m256i highs = _mm256_set_m128i(high[1], high[0]);
    __m256i lows = _mm256_set_m128i(low[1], low[0]);
    // One integer digit, and one more from each power of ten above 10^D.
    __m256i integerDigits = constant32(1);
    for (int j = kDecimals + 1; j < 12; ++j) {
        __m256i reaches =
            j < 8 ? _mm256_or_si256(
                        _mm256_cmpgt_epi32(highs, constant32(0)),
                        _mm256_cmpgt_epi32(lows, constant32(static_cast<int>(kPow10[j]) - 1)))
                  : _mm256_cmpgt_epi32(highs, constant32(static_cast<int>(kPow10[j - 8]) - 1));
        integerDigits = _mm256_sub_epi32(integerDigits, reaches);
    }
    Made made;
    made.codes = _mm256_blendv_epi8(constant32(kFallBack), _mm256_slli_epi32(integerDigits, 1),
                                    narrow(quick[0], quick[1]));
    // Sixteen bytes a value: the eight low digits, then the eight of the
    // high part, whose last four are the first digits of the value.
    __m256i lowCharacters[2];
    __m256i highCharacters[2];
    writeDigitCharacters(lows, lowCharacters);
    // Below 10^4: the second half alone.
    writeHalvesCharacters(_mm256_slli_epi32(highs, 16), highCharacters);
    for (int i = 0; i < 2; ++i) {
        __m256i evenValues = _mm256_unpacklo_epi64(lowCharacters[i], highCharacters[i]);
        __m256i oddValues = _mm256_unpackhi_epi64(lowCharacters[i], highCharacters[i]);
        made.characters[2 * i] = _mm256_permute2x128_si256(evenValues, oddValues, 0x20);
        made.characters[2 * i + 1] = _mm256_permute2x128_si256(evenValues, oddValues, 0x31);
    }
    return made;
}

// ---- Texts, in order.

// Values are made this many at a time, then written.
constexpr std::size_t kBatch = 64;

struct Batch {
    std::uint64_t characters[2 * kBatch]; // eight or sixteen bytes a value
    std::uint32_t codes[kBatch];
};

// The characters and codes of values[0..count), count <= kBatch.
template <std::size_t kIndex>
[[gnu::target("avx2")]] void makeBatch(Batch& batch, const float* values, std::size_t count,
                                       float blankThreshold) {
    constexpr Conversion kConversion = kConversions[kIndex];
    for (std::size_t i = 0; i < count; i += 8) {
        __m256i readable = _mm256_cmpgt_epi32(constant32(static_cast<int>(count - i)),
                                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        __m256 v =
            count - i >= 8 ? _mm256_loadu_ps(values + i) : _mm256_maskload_ps(values + i, readable);
        __m256i bits = _mm256_castps_si256(v);
        Made made;
        if constexpr (kConversion.kind == NumberKind::general)
            made = makeGeneral<kConversion.digits>(v, bits);
        else if constexpr (isLong(kConversion))
            made = makeLongFixed<kConversion.digits>(v);
        else
            made = makeFixed<kConversion.digits>(v);
        // Not-a-number fails the comparison and so is blank too.
        __m256i blank = _mm256_castps_si256(
            _mm256_cmp_ps(v, opaque(_mm256_set1_ps(blankThreshold)), _CMP_NGT_UQ));
        __m256i codes = _mm256_or_si256(made.codes, _mm256_srli_epi32(bits, 31));
        codes = _mm256_blendv_epi8(codes, constant32(kBlank), blank);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(batch.codes + i), codes);
        constexpr std::size_t kWords = isLong(kConversion) ? 2 : 1;
        for (std::size_t part = 0; part < 2 * kWords; ++part)
            _mm256_storeu_si256(
                reinterpret_cast<__m256i*>(batch.characters + kWords * i + 4 * part),
                made.characters[part]);
    }
}

template <std::size_t kIndex>
[[gnu::target("avx2")]] char* writeBatch(char* out, const Batch& batch, const float* values,
                                         std::size_t count) {
    const Layouts& layouts = kLayouts<kIndex>;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t code = batch.codes[i];
        if (code >= kFallBack) [[unlikely]] {
            out += formatFloat(out, values[i], NodeFormat(kIndex));
            *out++ = '\t';
            continue;
        }
        const Layout& layout = layouts.layouts[code];
        __m128i digits =
            isLong(kConversions[kIndex])
                ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(batch.characters + 2 * i))
                : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(batch.characters + i));
        __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(layout.shuffle.data()));
        __m128i characters =
            _mm_load_si128(reinterpret_cast<const __m128i*>(layout.characters.data()));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_or_si128(_mm_shuffle_epi8(digits, shuffle), characters));
        out += layouts.lengths[code];
    }
    return out;
}

template <std::size_t kIndex>
[[gnu::target("avx2")]] char* writeTexts(char* out, const float* values, std::size_t count,
                                         float blankThreshold) noexcept {
    Batch batch;
    for (std::size_t first = 0; first < count; first += kBatch) {
        std::size_t n = count - first < kBatch ? count - first : kBatch;
        makeBatch<kIndex>(batch, values + first, n, blankThreshold);
        out = writeBatch<kIndex>(out, batch, values + first, n);
    }
    return out;
}

constexpr auto kRowWriters = []<std::size_t... kIndex>(std::index_sequence<kIndex...>) {
    return RowWriters{&writeTexts<kIndex>...};
}
(std::make_index_sequence<kConversionCount>{});

#undef BRENZOLT_AVX2

} // namespace

// Whether the processor has AVX2 and the system keeps the vector registers
// across a switch of threads: asked with cpuid, as the compilers' own
// __builtin_cpu_supports needs a runtime that not every toolchain links.
bool hasAvx2() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0)
        return false;
    unsigned low = 0, high = 0;
    asm("xgetbv" : "=a"(low), "=d"(high) : "c"(0)); // the registers the system saves
    return (low & 6) == 6 && __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & bit_AVX2) != 0;
}

const RowWriters* avx2RowWriters() noexcept {
    return hasAvx2() ? &kRowWriters : nullptr;
}

} // namespace brenzolt

#else

namespace brenzolt {

const RowWriters* avx2RowWriters() noexcept {
    return nullptr;
}

} // namespace brenzolt

#endif
