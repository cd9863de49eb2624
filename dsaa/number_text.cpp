#include "dsaa/number_text.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace brenzolt {

namespace {

__extension__ typedef unsigned __int128 uint128;

struct PowerOfTen {
    std::uint64_t high;
    std::uint64_t low;
    int binaryExponent;
    bool exact;
};

#include "dsaa/powers_of_ten.inc"

constexpr std::uint64_t kPow10[] = {1u,
                                    10u,
                                    100u,
                                    1000u,
                                    10000u,
                                    100000u,
                                    1000000u,
                                    10000000u,
                                    100000000u,
                                    1000000000u,
                                    10000000000u,
                                    100000000000u,
                                    1000000000000u,
                                    10000000000000u,
                                    100000000000000u,
                                    1000000000000000u,
                                    10000000000000000u,
                                    100000000000000000u,
                                    1000000000000000000u,
                                    10000000000000000000u};

constexpr std::uint64_t kDigits17Low = kPow10[16];
constexpr std::uint64_t kDigits17High = kPow10[17];

constexpr char kDigitPairs[] = "00010203040506070809"
                               "10111213141516171819"
                               "20212223242526272829"
                               "30313233343536373839"
                               "40414243444546474849"
                               "50515253545556575859"
                               "60616263646566676869"
                               "70717273747576777879"
                               "80818283848586878889"
                               "90919293949596979899";

int decimalLength(std::uint64_t v) {
    int length = 1;
    while (length < 20 && v >= kPow10[length])
        ++length;
    return length;
}

// Writes the `length` lowest decimal digits of v (leading zeros included)
// ending just before `end`.
void writeDigitsBackward(char* end, std::uint64_t v, int length) {
    while (length >= 2) {
        unsigned pair = static_cast<unsigned>(v % 100);
        v /= 100;
        end -= 2;
        std::memcpy(end, kDigitPairs + 2 * pair, 2);
        length -= 2;
    }
    if (length == 1)
        *--end = static_cast<char>('0' + v % 10);
}

// Rounds v to drop fewer digits, a first dropped digit of 5 or more rounding up.
std::uint64_t roundOffDigits(std::uint64_t v, int drop) {
    if (drop <= 0)
        return v;
    if (drop > 19)
        return 0;
    std::uint64_t divisor = kPow10[drop];
    std::uint64_t kept = v / divisor;
    std::uint64_t rest = v - kept * divisor;
    return kept + (rest >= divisor / 2 ? 1 : 0);
}

// The slow, always exact route: the standard library's shortest-free
// scientific conversion rounds the binary value to 17 digits, ties to even.
Decimal17 decimal17FromChars(double value) {
    char text[40];
    auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 16);
    const char* p = text;
    Decimal17 d{0, 0, false};
    if (*p == '-') {
        d.negative = true;
        ++p;
    }
    for (; p < result.ptr && *p != 'e'; ++p)
        if (*p != '.')
            d.digits = d.digits * 10 + static_cast<std::uint64_t>(*p - '0');
    ++p; // 'e'
    int sign = *p == '-' ? -1 : 1;
    int exponent = 0;
    for (++p; p < result.ptr; ++p)
        exponent = exponent * 10 + (*p - '0');
    d.exponent = sign * exponent;
    return d;
}

enum class Rounding { down, up, undecided };

// v x 10^j for v = m x 2^e, rounded to an integer with ties to even, from a
// 128-bit approximation of 10^j. `integerPart` receives the truncated value.
Rounding scaleAndRound(std::uint32_t m, int e, int j, std::uint64_t& integerPart) {
    const PowerOfTen& power = kPowersOfTen[j - kPowerTableLow];
    // 1. The product m x G, at most 152 bits, as high (bits 64 and up) and low.
    uint128 lowProduct = static_cast<uint128>(m) * power.low;
    uint128 high = static_cast<uint128>(m) * power.high + (lowProduct >> 64);
    std::uint64_t low = static_cast<std::uint64_t>(lowProduct);
    // 2. v x 10^j = m x G x 2^-shift; the shift always exceeds 64 bits, since
    //    the integer part has 57 bits at most and the product at least 150.
    int shift = -(e + power.binaryExponent);
    int highShift = shift - 64;
    integerPart = static_cast<std::uint64_t>(high >> highShift);
    std::uint64_t fractionHigh =
        static_cast<std::uint64_t>(high & ((static_cast<uint128>(1) << highShift) - 1));
    std::uint64_t halfHigh = std::uint64_t{1} << (highShift - 1);
    // 3. Compare the fraction with one half.
    if (power.exact) {
        if (fractionHigh != halfHigh)
            return fractionHigh > halfHigh ? Rounding::up : Rounding::down;
        if (low != 0)
            return Rounding::up;
        return (integerPart & 1) != 0 ? Rounding::up : Rounding::down;
    }
    // 4. G was rounded down, so the true fraction lies in [fraction,
    //    fraction + m): below the half only when that whole range is.
    if (fractionHigh >= halfHigh)
        return Rounding::up;
    if (fractionHigh + 1 < halfHigh || low < ~std::uint64_t{0} - m)
        return Rounding::down;
    return Rounding::undecided;
}

// Moves a text of `length` characters at `out` right so that spaces in front
// bring it to `width`.
std::size_t padLeft(char* out, std::size_t length, int width) {
    if (width <= 0 || length >= static_cast<std::size_t>(width))
        return length;
    std::size_t pad = static_cast<std::size_t>(width) - length;
    std::memmove(out + pad, out, length);
    std::memset(out, ' ', pad);
    return static_cast<std::size_t>(width);
}

std::size_t writeSpecial(char* out, bool negative, const char* word, int width) {
    std::size_t length = 0;
    if (negative)
        out[length++] = '-';
    std::size_t wordLength = std::strlen(word);
    std::memcpy(out + length, word, wordLength);
    return padLeft(out, length + wordLength, width);
}

// "%W.Df" of a 17-digit value.
std::size_t writeFixed(char* out, const Decimal17& d, int decimals, int width) {
    // 1. Round to `decimals` decimals: q x 10^-decimals, plus `zeros` zero
    //    digits that stand past the 17th significant digit.
    std::uint64_t q = 0;
    int zeros = 0;
    if (d.digits != 0) {
        int drop = 16 - d.exponent - decimals;
        if (drop < 0)
            zeros = -drop;
        q = drop <= 0 ? d.digits : roundOffDigits(d.digits, drop);
    }
    // 2. Lay out sign, integer digits, point and decimals.
    int qLength = q == 0 ? 0 : decimalLength(q);
    int totalDigits = qLength + zeros;
    int integerDigits = totalDigits > decimals ? totalDigits - decimals : 1;
    std::size_t length = (d.negative ? 1u : 0u) + static_cast<std::size_t>(integerDigits) +
                         (decimals > 0 ? 1u + static_cast<std::size_t>(decimals) : 0u);
    std::size_t pad = width > 0 && length < static_cast<std::size_t>(width)
                          ? static_cast<std::size_t>(width) - length
                          : 0;
    char* p = out;
    std::memset(p, ' ', pad);
    p += pad;
    if (d.negative)
        *p++ = '-';
    // 3. Write all digits (integer digits padded with leading zeros) into
    //    place, then open the gap for the point.
    int allDigits = integerDigits + decimals;
    char* digitsEnd = p + allDigits;
    std::memset(digitsEnd - zeros, '0', static_cast<std::size_t>(zeros));
    writeDigitsBackward(digitsEnd - zeros, q, allDigits - zeros);
    if (decimals > 0) {
        std::memmove(p + integerDigits + 1, p + integerDigits, static_cast<std::size_t>(decimals));
        p[integerDigits] = '.';
    }
    return pad + length;
}

// "%W.Pg" of a 17-digit value.
std::size_t writeGeneral(char* out, const Decimal17& d, int precision, int width) {
    if (precision == 0)
        precision = 1;
    char* p = out;
    if (d.negative)
        *p++ = '-';
    if (d.digits == 0) {
        *p++ = '0';
        return padLeft(out, static_cast<std::size_t>(p - out), width);
    }
    // 1. Round to `precision` significant digits; X is the exponent after it.
    std::uint64_t q = roundOffDigits(d.digits, 17 - precision);
    int exponent = d.exponent;
    if (q == kPow10[precision]) {
        q = kPow10[precision - 1];
        ++exponent;
    }
    // 2. Scientific form when X < -4 or X >= P, otherwise fixed form with
    //    P - 1 - X decimals; trailing zeros and a bare point go.
    bool scientific = exponent < -4 || exponent >= precision;
    int decimals = scientific ? precision - 1 : precision - 1 - exponent;
    while (decimals > 0 && q % 10 == 0) {
        q /= 10;
        --decimals;
    }
    int qLength = decimalLength(q);
    if (scientific) {
        // One digit, the point and the rest.
        writeDigitsBackward(p + qLength + (qLength > 1 ? 1 : 0), q, qLength);
        if (qLength > 1) {
            p[0] = p[1];
            p[1] = '.';
            p += qLength + 1;
        } else {
            p += 1;
        }
        // 3. The exponent: a sign and at least three digits.
        *p++ = 'e';
        *p++ = exponent < 0 ? '-' : '+';
        int magnitude = exponent < 0 ? -exponent : exponent;
        int exponentLength = magnitude >= 1000 ? 4 : 3;
        writeDigitsBackward(p + exponentLength, static_cast<std::uint64_t>(magnitude),
                            exponentLength);
        p += exponentLength;
        return padLeft(out, static_cast<std::size_t>(p - out), width);
    }
    int integerDigits = qLength > decimals ? qLength - decimals : 1;
    int allDigits = integerDigits + decimals;
    writeDigitsBackward(p + allDigits, q, allDigits);
    if (decimals > 0) {
        std::memmove(p + integerDigits + 1, p + integerDigits, static_cast<std::size_t>(decimals));
        p[integerDigits] = '.';
        p += allDigits + 1;
    } else {
        p += allDigits;
    }
    return padLeft(out, static_cast<std::size_t>(p - out), width);
}

std::size_t writeDecimal(char* out, const Decimal17& d, Conversion conversion) {
    if (conversion.kind == NumberKind::fixed)
        return writeFixed(out, d, conversion.digits, conversion.width);
    return writeGeneral(out, d, conversion.digits, conversion.width);
}

} // namespace

Decimal17 toDecimal17(double value) noexcept {
    if (value == 0)
        return Decimal17{0, 0, std::signbit(value)};
    return decimal17FromChars(value);
}

Decimal17 toDecimal17(float value) noexcept {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    bool negative = (bits >> 31) != 0;
    std::uint32_t biasedExponent = (bits >> 23) & 0xff;
    std::uint32_t m = bits & 0x7fffff;
    if (biasedExponent == 0 && m == 0)
        return Decimal17{0, 0, negative};
    // 1. value = m x 2^e with m normalised to [2^23, 2^24), subnormals too.
    int e;
    if (biasedExponent == 0) {
        int shift = std::countl_zero(m) - 8;
        m <<= shift;
        e = 1 - 150 - shift;
    } else {
        m |= 0x800000;
        e = static_cast<int>(biasedExponent) - 150;
    }
    // 2. Estimate k = floor(log10(value)) from the binary exponent; it is
    //    exact or one too small.
    int binaryExponent = e + 23;
    int k = (binaryExponent * 78913) >> 18;
    // 3. Scale by 10^(16-k) and round to an integer with ties to even.
    std::uint64_t integerPart;
    Rounding rounding = scaleAndRound(m, e, 16 - k, integerPart);
    if (integerPart >= kDigits17High) {
        ++k;
        rounding = scaleAndRound(m, e, 16 - k, integerPart);
    }
    if (rounding == Rounding::undecided)
        return decimal17FromChars(static_cast<double>(value));
    std::uint64_t digits = integerPart + (rounding == Rounding::up ? 1 : 0);
    // 4. Rounding up may carry into an 18th digit.
    if (digits == kDigits17High) {
        digits = kDigits17Low;
        ++k;
    }
    return Decimal17{digits, k, negative};
}

std::size_t formatFloat(char* out, float value, Conversion conversion) noexcept {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    if (((bits >> 23) & 0xff) == 0xff) {
        if ((bits & 0x7fffff) != 0)
            return writeSpecial(out, false, "nan", conversion.width);
        return writeSpecial(out, (bits >> 31) != 0, "inf", conversion.width);
    }
    return writeDecimal(out, toDecimal17(value), conversion);
}

std::size_t formatDouble(char* out, double value, Conversion conversion) noexcept {
    if (std::isnan(value))
        return writeSpecial(out, false, "nan", conversion.width);
    if (std::isinf(value))
        return writeSpecial(out, value < 0, "inf", conversion.width);
    return writeDecimal(out, toDecimal17(value), conversion);
}

std::size_t formatInt(char* out, std::int32_t value) noexcept {
    std::size_t length = 0;
    std::uint32_t magnitude = static_cast<std::uint32_t>(value);
    if (value < 0) {
        out[length++] = '-';
        magnitude = 0u - magnitude;
    }
    int digits = decimalLength(magnitude);
    writeDigitsBackward(out + length + static_cast<std::size_t>(digits), magnitude, digits);
    return length + static_cast<std::size_t>(digits);
}

} // namespace brenzolt
