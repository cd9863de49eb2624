// Layout of the number text: padding, sign, digits, point and exponent of each
// conversion, from a value's digits rounded as dsaa/decimal17.h says.
//
// Contract: no throw, no allocation; the text goes into the caller's buffer of
// kMaxNumberText bytes, its length is returned, and the bytes after it may be
// overwritten: digits and spaces are stored in blocks of 8 and 32 bytes.
#include "dsaa/number_text.h"

#include "dsaa/decimal17.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace brenzolt {

namespace {

// Digits are made eight at a time in a register and stored with one 8-byte
// store each, straight to where they belong. The stores may write up to eight
// bytes past the end of the text (and a pad block up to 32 bytes), which the
// buffer contract allows; nothing written is read back. The first digit
// goes in the lowest byte: the build accepts only little-endian machines.

// The widest width: every pad fits one block of spaces.
constexpr int kBlockWidth = 32;

// The eight decimal digits of v < 10^8 as characters, the first in the lowest
// byte: the halves, quarters and digits are split in parallel lanes (4 digits
// in 32 bits, then 2 in 16, then 1 in 8), dividing by multiplication with
// reciprocals that are exact for these ranges.
std::uint64_t eightDigitCharacters(std::uint32_t v) {
    std::uint64_t high = v / 10000;
    std::uint64_t low = v - high * 10000;
    std::uint64_t lanes = high | (low << 32);
    std::uint64_t hundreds = ((lanes * 10486) >> 20) & 0x0000007f0000007fu;
    lanes = hundreds | ((lanes - hundreds * 100) << 16);
    std::uint64_t tens = ((lanes * 103) >> 10) & 0x000f000f000f000fu;
    lanes = tens | ((lanes - tens * 10) << 8);
    return lanes | 0x3030303030303030u;
}

// Writes the `count` (1..8) lowest decimal digits of v < 10^8.
void writeShortDigits(char* out, std::uint32_t v, int count) {
    std::uint64_t characters = eightDigitCharacters(v) >> (8 * (8 - count));
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
// one place right. An 18th digit can only be the zero before the point of a
// value below one. Out of line, so that the common short texts need no
// saved registers.
[[gnu::noinline]] void writeLongDigitsWithPoint(char* out, std::uint64_t v, int count,
                                                int integerDigits) {
    if (count > 17)
        out[0] = '0';
    writeDigits(out + count - std::min(count, 17), v, std::min(count, 17));
    std::memmove(out + integerDigits + 1, out + integerDigits,
                 static_cast<std::size_t>(count - integerDigits));
}

// Writes the `count` (2..18) lowest decimal digits of v < 10^17, leading
// zeros included, with a point after the first `integerDigits` of them.
[[gnu::always_inline]] inline void writeDigitsWithPoint(char* out, std::uint64_t v, int count,
                                                        int integerDigits) {
    if (count <= 8) {
        // All digits, then the decimals again one place further right.
        std::uint64_t characters =
            eightDigitCharacters(static_cast<std::uint32_t>(v)) >> (8 * (8 - count));
        std::uint64_t decimals = characters >> (8 * integerDigits);
        std::memcpy(out, &characters, 8);
        std::memcpy(out + integerDigits + 1, &decimals, 8);
    } else {
        writeLongDigitsWithPoint(out, v, count, integerDigits);
    }
    out[integerDigits] = '.';
}

std::size_t paddedLength(std::size_t length, int width) {
    return std::max(length, static_cast<std::size_t>(width));
}

// Writes the spaces that bring a text of `length` characters to `width`, and
// the sign; returns where the digits go.
char* startText(char* out, std::size_t length, int width, bool negative) {
    std::size_t pad = paddedLength(length, width) - length;
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
    std::size_t length = (negative ? 1u : 0u) + static_cast<std::size_t>(integerDigits) +
                         (decimals > 0 ? 1u + static_cast<std::size_t>(decimals) : 0u);
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
    std::size_t length = (negative ? 1u : 0u) + static_cast<std::size_t>(integerDigits) +
                         (decimals > 0 ? 1u + static_cast<std::size_t>(decimals) : 0u);
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

// "%W.Pg" of the value rounded to P = `precision` significant digits q, with
// X its exponent.
[[gnu::noinline]] std::size_t writeGeneral(char* out, Decimal d, bool negative, int precision,
                                           int width) {
    std::uint64_t q = d.digits;
    int exponent = d.exponent;
    // 1. Trailing zeros go, and with them a bare point. The P digits of q are
    //    written all the same; the text ends before the zeros.
    int significant = precision;
    for (std::uint64_t rest = q; significant > 1 && rest % 10 == 0; rest /= 10)
        --significant;
    std::size_t sign = negative ? 1u : 0u;
    auto count = static_cast<std::size_t>(significant);
    // 2. Scientific form when X < -4 or X >= P, otherwise fixed form.
    if (exponent < -4 || exponent >= precision) {
        std::size_t length = sign + (significant > 1 ? count + 1 : 1u) + 5;
        char* p = startText(out, length, width, negative);
        if (significant > 1)
            writeDigitsWithPoint(p, q, precision, 1);
        else
            writeDigits(p, q, precision);
        writeExponent(p + (significant > 1 ? count + 1 : 1u), exponent);
        return paddedLength(length, width);
    }
    if (exponent >= 0) {
        int integerDigits = exponent + 1;
        int decimals = significant > integerDigits ? significant - integerDigits : 0;
        std::size_t length = sign + static_cast<std::size_t>(integerDigits) +
                             (decimals > 0 ? static_cast<std::size_t>(decimals) + 1 : 0u);
        char* p = startText(out, length, width, negative);
        if (decimals > 0)
            writeDigitsWithPoint(p, q, precision, integerDigits);
        else
            writeDigits(p, q, precision);
        return paddedLength(length, width);
    }
    // "0.", up to three zeros, then the digits.
    auto leadingZeros = static_cast<std::size_t>(-exponent - 1);
    std::size_t length = sign + 2 + leadingZeros + count;
    char* p = startText(out, length, width, negative);
    std::memcpy(p, "0.000", 5);
    writeDigits(p + 2 + leadingZeros, q, precision);
    return paddedLength(length, width);
}

} // namespace

std::size_t formatFloat(char* out, float value, NodeFormat format) noexcept {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    bool negative = (bits >> 31) != 0;
    if (((bits >> 23) & 0xff) == 0xff) {
        if ((bits & 0x7fffff) != 0)
            return writeSpecial(out, false, "nan", format.width);
        return writeSpecial(out, negative, "inf", format.width);
    }
    // The layouts are functions apart from the roundings: the common paths
    // then need few saved registers.
    if (format.kind == NumberKind::fixed) {
        Decimal d = roundToDecimals(value, format.digits);
        return writeFixed(out, d, negative, format.digits, format.width);
    }
    int precision = std::max(format.digits, 1); // "%.0g" shows one digit
    Decimal d = roundToDigits(value, precision);
    return writeGeneral(out, d, negative, precision, format.width);
}

} // namespace brenzolt
