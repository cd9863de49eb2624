// Layout of the number text: padding, sign, digits, point and exponent of each
// conversion, from a value's 17 significant digits (dsaa/decimal17.h).
//
// Contract: no throw, no allocation; the text goes into the caller's buffer of
// kMaxNumberText bytes, its length is returned, and the bytes after it may be
// overwritten: digits and spaces are stored in blocks of 8 and 32 bytes.
#include "dsaa/number_text.h"

#include "dsaa/decimal17.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace brenzolt {

namespace {

__extension__ typedef unsigned __int128 uint128;

constexpr auto kPow10 = [] {
    std::array<std::uint64_t, 18> table{};
    table[0] = 1;
    for (std::size_t k = 1; k < table.size(); ++k)
        table[k] = table[k - 1] * 10;
    return table;
}();

// Digits are made eight at a time in a register and stored with one 8-byte
// store each, straight to where they belong. The stores may write up to eight
// bytes past the end of the text (and a pad block up to 32 bytes), which the
// buffer contract allows; nothing written is read back.
static_assert(std::endian::native == std::endian::little,
              "the 8-byte digit stores put the first digit in the lowest byte");

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
        std::uint64_t first = v / kPow10[16];
        *out++ = static_cast<char>('0' + first);
        v -= first * kPow10[16];
        count = 16;
    }
    if (count <= 8) {
        writeShortDigits(out, static_cast<std::uint32_t>(v), count);
        return;
    }
    auto high = static_cast<std::uint32_t>(v / kPow10[8]);
    auto low = static_cast<std::uint32_t>(v - high * kPow10[8]);
    writeShortDigits(out, high, count - 8);
    writeShortDigits(out + count - 8, low, 8);
}

void writeZeros(char* out, int count) {
    if (count <= kBlockWidth)
        std::memset(out, '0', kBlockWidth);
    else
        std::memset(out, '0', static_cast<std::size_t>(count));
}

// Division by 10^k (k in 1..17) as a multiplication. With d = 10^k <= 2^l,
// s = max(58 + l, 64) and M = ceil(2^s / d) = (2^s + e) / d, 0 <= e < d, every
// x < 2^58 has x * M / 2^s = x / d + x * e / (d * 2^s), and the second term is
// below 1 / d: too little to carry x / d past the next integer. As s >= 64,
// the quotient comes from the high half of the product.
struct Reciprocal {
    std::uint64_t multiplier;
    int shift; // s - 64
};

constexpr Reciprocal reciprocalOfPowerOfTen(int k) {
    int l = 0;
    while ((std::uint64_t{1} << l) < kPow10[k])
        ++l;
    int s = std::max(58 + l, 64);
    uint128 scale = static_cast<uint128>(1) << s;
    auto multiplier = static_cast<std::uint64_t>((scale + kPow10[k] - 1) / kPow10[k]);
    return Reciprocal{multiplier, s - 64};
}

constexpr auto kReciprocals = [] {
    std::array<Reciprocal, 18> table{};
    for (int k = 1; k < 18; ++k) // k = 0 stays {0, 0}: a quotient of 0, not used
        table[static_cast<std::size_t>(k)] = reciprocalOfPowerOfTen(k);
    return table;
}();

// x / 10^k for x < 2^58 and k in 1..17.
std::uint64_t divideByPowerOfTen(std::uint64_t x, int k) {
    const Reciprocal& r = kReciprocals[static_cast<std::size_t>(k)];
    auto high = static_cast<std::uint64_t>((static_cast<uint128>(x) * r.multiplier) >> 64);
    return high >> r.shift;
}

// v / 10^k rounded, a remainder of half or more rounding up; v < 10^17 and k
// in 1..17 keep v + 10^k / 2 below 2^58.
std::uint64_t roundedQuotient(std::uint64_t v, int k) {
    return divideByPowerOfTen(v + kPow10[k] / 2, k);
}

// Writes the `count` (2..17) lowest decimal digits of v < 10^17, leading
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
        int decimals = count - integerDigits;
        std::uint64_t integerPart = divideByPowerOfTen(v, decimals);
        writeDigits(out, integerPart, integerDigits);
        writeDigits(out + integerDigits + 1, v - integerPart * kPow10[decimals], decimals);
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
std::size_t writeFixedUnrounded(char* out, const Decimal17& d, int decimals, int width) {
    int digitsAfterPoint = 16 - d.exponent; // of the 17, negative when all are integer
    int integerDigits = d.exponent + 1;
    std::size_t length = (d.negative ? 1u : 0u) + static_cast<std::size_t>(integerDigits) +
                         (decimals > 0 ? 1u + static_cast<std::size_t>(decimals) : 0u);
    char* p = startText(out, length, width, d.negative);
    if (digitsAfterPoint <= 0) {
        writeDigits(p, d.digits, 17);
        writeZeros(p + 17, integerDigits - 17 + decimals + 1);
        if (decimals > 0)
            p[integerDigits] = '.';
    } else {
        std::uint64_t integerPart = divideByPowerOfTen(d.digits, digitsAfterPoint);
        writeDigits(p, integerPart, integerDigits);
        p[integerDigits] = '.';
        char* fraction = p + integerDigits + 1;
        writeDigits(fraction, d.digits - integerPart * kPow10[digitsAfterPoint], digitsAfterPoint);
        writeZeros(fraction + digitsAfterPoint, decimals - digitsAfterPoint);
    }
    return paddedLength(length, width);
}

// "%W.Df" of a 17-digit value.
std::size_t writeFixed(char* out, const Decimal17& d, int decimals, int width) {
    // 1. Round to `decimals` decimals: q x 10^-decimals, where q keeps the
    //    first `kept` of the 17 digits.
    int kept = d.digits == 0 ? 0 : d.exponent + 1 + decimals;
    if (kept > 17)
        return writeFixedUnrounded(out, d, decimals, width);
    // Selected rather than branched on: for random values the case of no
    // digit kept (a zero text) is as frequent as the others. All 17 kept
    // need no division (and the divisions need at least one digit dropped).
    int keptDigits = std::max(kept, 0);
    std::uint64_t q = roundedQuotient(d.digits, 17 - keptDigits);
    q = kept < 0 ? 0 : kept == 17 ? d.digits : q;
    // A carry into a new leading digit.
    int exponent = d.exponent + (q == kPow10[keptDigits] ? 1 : 0);
    // 2. Lay out sign, integer digits, point and decimals.
    int integerDigits = exponent >= 0 && q != 0 ? exponent + 1 : 1;
    std::size_t length = (d.negative ? 1u : 0u) + static_cast<std::size_t>(integerDigits) +
                         (decimals > 0 ? 1u + static_cast<std::size_t>(decimals) : 0u);
    char* p = startText(out, length, width, d.negative);
    if (decimals > 0)
        writeDigitsWithPoint(p, q, integerDigits + decimals, integerDigits);
    else
        writeDigits(p, q, integerDigits);
    return paddedLength(length, width);
}

// "e", the sign and three digits: the exponent of a float has at most two,
// but the texts always show three.
void writeExponent(char* p, int exponent) {
    p[0] = 'e';
    p[1] = exponent < 0 ? '-' : '+';
    writeShortDigits(p + 2, static_cast<std::uint32_t>(exponent < 0 ? -exponent : exponent), 3);
}

// "%W.Pg" of a 17-digit value.
std::size_t writeGeneral(char* out, const Decimal17& d, int precision, int width) {
    if (precision == 0)
        precision = 1;
    // 1. Round to `precision` significant digits; X is the exponent after it.
    std::uint64_t q = d.digits;
    int exponent = d.exponent;
    if (precision < 17) {
        q = roundedQuotient(d.digits, 17 - precision);
        if (q == kPow10[precision]) {
            q = kPow10[precision - 1];
            ++exponent;
        }
    }
    // 2. Trailing zeros go, and with them a bare point. The P digits of q are
    //    written all the same; the text ends before the zeros.
    int significant = precision;
    for (std::uint64_t rest = q; significant > 1 && rest % 10 == 0; rest /= 10)
        --significant;
    std::size_t sign = d.negative ? 1u : 0u;
    auto count = static_cast<std::size_t>(significant);
    // 3. Scientific form when X < -4 or X >= P, otherwise fixed form.
    if (exponent < -4 || exponent >= precision) {
        std::size_t length = sign + (significant > 1 ? count + 1 : 1u) + 5;
        char* p = startText(out, length, width, d.negative);
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
        char* p = startText(out, length, width, d.negative);
        if (decimals > 0)
            writeDigitsWithPoint(p, q, precision, integerDigits);
        else
            writeDigits(p, q, precision);
        return paddedLength(length, width);
    }
    // "0.", up to three zeros, then the digits.
    auto leadingZeros = static_cast<std::size_t>(-exponent - 1);
    std::size_t length = sign + 2 + leadingZeros + count;
    char* p = startText(out, length, width, d.negative);
    std::memcpy(p, "0.000", 5);
    writeDigits(p + 2 + leadingZeros, q, precision);
    return paddedLength(length, width);
}

std::size_t writeDecimal(char* out, const Decimal17& d, NodeFormat format) {
    if (format.kind == NumberKind::fixed)
        return writeFixed(out, d, format.digits, format.width);
    return writeGeneral(out, d, format.digits, format.width);
}

} // namespace

std::size_t formatFloat(char* out, float value, NodeFormat format) noexcept {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    if (((bits >> 23) & 0xff) == 0xff) {
        if ((bits & 0x7fffff) != 0)
            return writeSpecial(out, false, "nan", format.width);
        return writeSpecial(out, (bits >> 31) != 0, "inf", format.width);
    }
    return writeDecimal(out, toDecimal17(value), format);
}

} // namespace brenzolt
