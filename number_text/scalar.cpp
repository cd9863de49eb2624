// The scalar route of the number text: formatFloat, and rows of texts one
// value after the other. Padding, sign, digits, point and exponent of each
// conversion, from a value's digits rounded as number_text/decimal17.h says.
//
// Contract: no throw, no allocation; the text goes into the caller's buffer of
// kMaxNumberText bytes, its length is returned, and the bytes after it may be
// overwritten: digits and spaces are stored in blocks of 8 and 10 bytes.
//
// The routes to a value's digits, each taken when the one before cannot decide
// (every text is checked against an exact reference over all 2^32 patterns by
// bench/exhaustive_check):
//  1. below 2^24, exact integer scaling (quick_rounding.h, proved there);
//  2. one 64 x 64-bit product with an error bound (roundDirectly, decimal17.cpp);
//  3. the 17 digits, ties to even, then rounded on (digits17, roundOn);
//  4. the 17 digits by the standard library's exact conversion.
#include "number_text/decimal17.h"
#include "number_text/number_text.h"
#include "number_text/number_text_routes.h"
#include "number_text/quick_rounding.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

namespace brenzolt {

namespace {

// Digits are made eight at a time in a register and stored with one 8-byte
// store each, straight to where they belong. The stores may write up to eight
// bytes past the end of the text (and a block of spaces or zeros up to ten),
// which the buffer contract allows; nothing written is read back. The first digit
// goes in the lowest byte: the build accepts only little-endian machines.

// The widest width: every pad fits one block of spaces.
constexpr int kBlockWidth = 10;

// The two digits of each n < 100, as characters.
constexpr auto kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (std::size_t n = 0; n < 100; ++n) {
        pairs[2 * n] = static_cast<char>('0' + n / 10);
        pairs[2 * n + 1] = static_cast<char>('0' + n % 10);
    }
    return pairs;
}();

std::uint64_t digitPair(std::uint32_t n) {
    std::uint16_t pair;
    std::memcpy(&pair, &kDigitPairs[2 * n], 2);
    return pair;
}

// The 2 x kPairs decimal digits of v < 100^kPairs (kPairs 1..4) as characters,
// the first in the lowest byte, by one multiplication and then one by 100 a
// pair:
// 1. x = v x c with c = ceil(2^48 / 100^(kPairs-1)) = 2^48 / 100^(kPairs-1) + d,
//    0 < d < 1, is v / 100^(kPairs-1) in fixed point with 48 fraction bits,
//    too large by less than v x d / 2^48.
// 2. The integer part is the first pair; the fraction times 100 holds the
//    next pair in its integer part, and so on. At the j-th pair the excess
//    has grown to below v x 100^j / 2^48 < 100^(2 kPairs - 1) / 2^48 x
//    100^(j+1-kPairs) <= 0.36 x 100^(j+1-kPairs), while the true value's
//    fraction is a multiple of 100^(j+1-kPairs) below one: no integer part is
//    ever carried too far.
template <int kPairs> std::uint64_t digitCharacters(std::uint32_t v) {
    constexpr std::uint64_t kFractionBits = (std::uint64_t{1} << 48) - 1;
    constexpr std::uint64_t kScale = [] {
        std::uint64_t divisor = 1;
        for (int pair = 1; pair < kPairs; ++pair)
            divisor *= 100;
        return ((std::uint64_t{1} << 48) + divisor - 1) / divisor;
    }();
    std::uint64_t x = std::uint64_t{v} * kScale;
    std::uint64_t characters = digitPair(static_cast<std::uint32_t>(x >> 48));
    for (int pair = 1; pair < kPairs; ++pair) {
        x = (x & kFractionBits) * 100;
        characters |= digitPair(static_cast<std::uint32_t>(x >> 48)) << (16 * pair);
    }
    return characters;
}

constexpr std::uint64_t kCharacterZeros = 0x3030303030303030u;

// Stores digit characters with a point after the first `integerDigits`
// (1..8) of them: all of them, the point, then the decimals again one place
// further right. Stores past the text are overwritten or lie beyond it.
void storeWithPoint(char* out, std::uint64_t characters, int integerDigits) {
    // In two steps, so that eight integer digits shift within the register.
    std::uint64_t decimals = (characters >> (8 * integerDigits - 1)) >> 1;
    std::memcpy(out, &characters, 8);
    out[integerDigits] = '.';
    std::memcpy(out + integerDigits + 1, &decimals, 8);
}

// Writes the `count` (1..8) lowest decimal digits of v < 10^8.
void writeShortDigits(char* out, std::uint32_t v, int count) {
    std::uint64_t characters = digitCharacters<4>(v) >> (8 * (8 - count));
    std::memcpy(out, &characters, 8);
}

// Writes the `count` (1..17) lowest decimal digits of v < 10^17, leading
// zeros included. Inlined into each layout: as calls, these digit writers
// cost about a nanosecond a value.
[[gnu::always_inline]] inline void writeDigits(char* out, std::uint64_t v, int count) {
    if (count > 16) {
        std::uint64_t first = v / 10'000'000'000'000'000u;
        *out++ = static_cast<char>('0' + first);
        v -= first * 10'000'000'000'000'000u;
        count = 16;
    }
    if (count <= 8) {
        writeShortDigits(out, static_cast<std::uint32_t>(v), count);
        return;
    }
    auto high = static_cast<std::uint32_t>(v / 100'000'000u);
    auto low = static_cast<std::uint32_t>(v - high * 100'000'000u);
    writeShortDigits(out, high, count - 8);
    writeShortDigits(out + count - 8, low, 8);
}

void writeZeros(char* out, int count) {
    if (count <= kBlockWidth)
        std::memset(out, '0', kBlockWidth);
    else
        std::memset(out, '0', static_cast<std::size_t>(count));
}

// More than eight digits with a point: all digits, then the decimals moved
// one place right. Out of line, so that the common short texts need no saved
// registers.
[[gnu::noinline]] void writeLongDigitsWithPoint(char* out, std::uint64_t v, int count,
                                                int integerDigits) {
    writeDigits(out, v, count);
    std::memmove(out + integerDigits + 1, out + integerDigits,
                 static_cast<std::size_t>(count - integerDigits));
}

// Writes the `count` (2..17) lowest decimal digits of v < 10^17, leading
// zeros included, with a point after the first `integerDigits` of them.
[[gnu::always_inline]] inline void writeDigitsWithPoint(char* out, std::uint64_t v, int count,
                                                        int integerDigits) {
    if (count <= 8) {
        storeWithPoint(out, digitCharacters<4>(static_cast<std::uint32_t>(v)) >> (8 * (8 - count)),
                       integerDigits);
    } else {
        writeLongDigitsWithPoint(out, v, count, integerDigits);
        out[integerDigits] = '.';
    }
}

// The length of "%.Df" with `integerDigits` before the point, and the sign.
std::size_t fixedLength(bool negative, int integerDigits, int decimals) {
    return (negative ? 1u : 0u) + static_cast<std::size_t>(integerDigits) +
           (decimals > 0 ? 1u + static_cast<std::size_t>(decimals) : 0u);
}

std::size_t paddedLength(std::size_t length, int width) {
    return std::max(length, static_cast<std::size_t>(width));
}

// Writes the spaces that bring a text of `length` characters to `width`, and
// the sign; returns where the digits go.
char* startText(char* out, std::size_t length, int width, bool negative) {
    std::size_t pad = paddedLength(length, width) - length;
    // Without a width ("%g"), no text has spaces; the test is the same for
    // every value of a run.
    if (width > 0)
        std::memset(out, ' ', kBlockWidth);
    // The sign without a branch: for random values it would be mispredicted
    // half of the time. A '-' not wanted is overwritten by the first digit.
    char* p = out + pad;
    *p = '-';
    return p + (negative ? 1 : 0);
}

// "inf" or "nan", after the spaces and the sign.
std::size_t writeSpecial(char* out, bool negative, const char* word, int width) {
    std::size_t length = (negative ? 1u : 0u) + 3;
    char* p = startText(out, length, width, negative);
    std::memcpy(p, word, 3);
    return paddedLength(length, width);
}

// "%W.Df" of a value whose decimals reach past its 17th digit: nothing is
// rounded, and zeros stand for the digits past the 17th.
std::size_t writeFixedUnrounded(char* out, const Decimal& d, bool negative, int decimals,
                                int width) {
    int digitsAfterPoint = 16 - d.exponent; // of the 17, negative when all are integer
    int integerDigits = d.exponent + 1;
    std::size_t length = fixedLength(negative, integerDigits, decimals);
    char* p = startText(out, length, width, negative);
    if (digitsAfterPoint <= 0) {
        writeDigits(p, d.digits, 17);
        writeZeros(p + 17, integerDigits - 17 + decimals + 1);
        if (decimals > 0)
            p[integerDigits] = '.';
    } else {
        writeDigitsWithPoint(p, d.digits, 17, integerDigits);
        writeZeros(p + 18, decimals - digitsAfterPoint);
    }
    return paddedLength(length, width);
}

// "%W.Df" of the value rounded to `decimals` decimals: q x 10^-decimals.
[[gnu::noinline]] std::size_t writeFixed(char* out, Decimal d, bool negative, int decimals,
                                         int width) {
    std::uint64_t q = d.digits;
    if (q != 0 && d.exponent + 1 + decimals > 17)
        return writeFixedUnrounded(out, d, negative, decimals, width);
    int integerDigits = d.exponent >= 0 && q != 0 ? d.exponent + 1 : 1;
    std::size_t length = fixedLength(negative, integerDigits, decimals);
    char* p = startText(out, length, width, negative);
    if (decimals > 0)
        writeDigitsWithPoint(p, q, integerDigits + decimals, integerDigits);
    else
        writeDigits(p, q, integerDigits);
    return paddedLength(length, width);
}

// "e", the sign and three digits: the exponent of a float has at most two,
// but the texts always show three.
void writeExponent(char* p, int exponent) {
    auto magnitude = static_cast<std::uint64_t>(exponent < 0 ? -exponent : exponent);
    std::uint64_t tens = (magnitude * 103) >> 10; // exact below 100
    std::uint64_t sign = exponent < 0 ? '-' : '+';
    std::uint64_t text = 'e' | sign << 8 | std::uint64_t{'0'} << 16 | ('0' + tens) << 24 |
                         ('0' + magnitude - tens * 10) << 32;
    std::memcpy(p, &text, 8);
}

// "%W.Pg" of the value rounded to P = `precision` (6 or 8) significant
// digits q, with X their exponent: inline and without loops.
[[gnu::always_inline]] inline std::size_t writeShortGeneral(char* out, Decimal d, bool negative,
                                                            int precision, int width) {
    // 1. The P digits, the first in the lowest byte; trailing zeros are the
    //    zero bytes at the top, and a zero value keeps one digit.
    int unused = 8 - precision;
    // Six digits, the "%g" ones, take one multiplication less.
    std::uint64_t characters =
        precision == 6 ? digitCharacters<3>(static_cast<std::uint32_t>(d.digits))
                       : digitCharacters<4>(static_cast<std::uint32_t>(d.digits)) >> (8 * unused);
    std::uint64_t values = characters & ~kCharacterZeros;
    int zeros = std::countl_zero(values | 1) / 8 - unused;
    int significant = std::max(precision - zeros, 1);
    std::size_t sign = negative ? 1u : 0u;
    // 0 <= X < P in one comparison: a negative X turns into a huge unsigned.
    if (static_cast<unsigned>(d.exponent) < static_cast<unsigned>(precision)) {
        // 2. Integer digits, and a point with decimals when any are left.
        //    Without decimals the point falls past the text.
        int integerDigits = d.exponent + 1;
        int decimals = std::max(significant - integerDigits, 0);
        std::size_t length =
            sign + static_cast<std::size_t>(integerDigits + (decimals > 0 ? decimals + 1 : 0));
        storeWithPoint(startText(out, length, width, negative), characters, integerDigits);
        return paddedLength(length, width);
    }
    if (d.exponent < -4 || d.exponent >= precision) {
        // 3. Scientific form when X < -4 or X >= P: the first digit, the
        //    point and the others, unless there are none: the exponent
        //    overwrites them.
        std::size_t mantissa = significant > 1 ? static_cast<std::size_t>(significant) + 1 : 1u;
        std::size_t length = sign + mantissa + 5;
        char* p = startText(out, length, width, negative);
        storeWithPoint(p, characters, 1);
        writeExponent(p + mantissa, d.exponent);
        return paddedLength(length, width);
    }
    // 4. "0.", up to three zeros, then the digits.
    auto leadingZeros = static_cast<std::size_t>(-d.exponent - 1);
    std::size_t length = sign + 2 + leadingZeros + static_cast<std::size_t>(significant);
    char* p = startText(out, length, width, negative);
    std::memcpy(p, "0.000", 5);
    std::memcpy(p + 2 + leadingZeros, &characters, 8);
    return paddedLength(length, width);
}

// "%W.Df" with at most eight digits in all (`decimals` <= 7), inline.
[[gnu::always_inline]] inline std::size_t writeShortFixed(char* out, Decimal d, bool negative,
                                                          int decimals, int width) {
    int integerDigits = std::max(d.exponent + 1, 1);
    std::size_t length = fixedLength(negative, integerDigits, decimals);
    char* p = startText(out, length, width, negative);
    int count = integerDigits + decimals;
    // Up to six digits, the most common, take one multiplication less.
    auto q = static_cast<std::uint32_t>(d.digits);
    std::uint64_t characters = count <= 6 ? digitCharacters<3>(q) >> (8 * (6 - count))
                                          : digitCharacters<4>(q) >> (8 * (8 - count));
    if (decimals > 0)
        storeWithPoint(p, characters, integerDigits);
    else
        std::memcpy(p, &characters, 8);
    return paddedLength(length, width);
}

// Every value, with the full roundings. Out of line, so that the quick route
// needs no saved registers.
template <std::size_t kIndex> [[gnu::noinline]] std::size_t formatInFull(char* out, float value) {
    constexpr Conversion kConversion = kConversions[kIndex];
    constexpr int kWidth = kConversion.width;
    constexpr int kDigits = kConversion.digits;
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    bool negative = (bits >> 31) != 0;
    if (((bits >> 23) & 0xff) == 0xff) {
        if ((bits & 0x7fffff) != 0)
            return writeSpecial(out, false, "nan", kWidth);
        return writeSpecial(out, negative, "inf", kWidth);
    }
    if constexpr (kConversion.kind == NumberKind::fixed)
        return writeFixed(out, roundToDecimals(value, kDigits), negative, kDigits, kWidth);
    else
        return writeShortGeneral(out, roundToDigits(value, kDigits), negative, kDigits, kWidth);
}

// The quick route for one conversion: with the digits and the width
// constants, the layouts and the padding fold into straight code. Node values
// in the range of most grids take it; everything else takes the full
// roundings, as exact, only slower.
template <std::size_t kIndex> std::size_t formatQuickly(char* out, float value) {
    constexpr Conversion kConversion = kConversions[kIndex];
    constexpr int kWidth = kConversion.width;
    constexpr int kDigits = kConversion.digits;
    bool negative = std::signbit(value);
    Decimal d;
    if constexpr (kConversion.kind == NumberKind::general) {
        if (roundToDigitsQuickly(value, kDigits, d))
            return writeShortGeneral(out, d, negative, kDigits, kWidth);
    } else if constexpr (kDigits <= 7) {
        // The short layout holds at most eight digits in all.
        if (roundToDecimalsQuickly(value, kDigits, d) && d.exponent <= 7 - kDigits)
            return writeShortFixed(out, d, negative, kDigits, kWidth);
    }
    return formatInFull<kIndex>(out, value);
}

// The blank text, or the text of the value; each followed by a TAB.
template <std::size_t kIndex>
char* writeTexts(char* out, const float* values, std::size_t count, float blankThreshold) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        // Not-a-number fails the comparison and so is blank too.
        if (values[i] > blankThreshold) {
            out += formatQuickly<kIndex>(out, values[i]);
        } else {
            std::memcpy(out, kBlankText.data(), kBlankText.size());
            out += kBlankText.size();
        }
        *out++ = '\t';
    }
    return out;
}

using Formatter = std::size_t (*)(char*, float);

// formatQuickly and writeTexts of each conversion, in the order of the table.
constexpr auto kFormatters = []<std::size_t... kIndex>(std::index_sequence<kIndex...>) {
    return std::array<Formatter, kConversionCount>{&formatQuickly<kIndex>...};
}
(std::make_index_sequence<kConversionCount>{});

constexpr auto kRowWriters = []<std::size_t... kIndex>(std::index_sequence<kIndex...>) {
    return RowWriters{&writeTexts<kIndex>...};
}
(std::make_index_sequence<kConversionCount>{});

} // namespace

std::size_t formatFloat(char* out, float value, NodeFormat format) noexcept {
    return kFormatters[static_cast<std::size_t>(format)](out, value);
}

const RowWriters& scalarRowWriters() noexcept {
    return kRowWriters;
}

} // namespace brenzolt
