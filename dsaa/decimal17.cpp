// Float to 17 significant digits, correctly rounded with ties to even.
//
// Contract: toDecimal17 is exact for every finite float and does not throw or
// allocate. One multiplication by a 128-bit power of ten decides the rounding
// for nearly every float; the few too close to a half for that approximation
// take the standard library's exact route.
#include "dsaa/decimal17.h"

#include <bit>
#include <charconv>

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

constexpr std::uint64_t kDigits17Low = 10'000'000'000'000'000u;   // 10^16
constexpr std::uint64_t kDigits17High = 100'000'000'000'000'000u; // 10^17

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

struct Scaled {
    std::uint64_t integerPart; // truncated
    bool up;                   // the rounded integer is integerPart + 1
    bool undecided;            // too close to a half for the approximation of 10^j
};

// v x 10^j for v = m x 2^e, rounded to an integer with ties to even, from a
// 128-bit approximation of 10^j.
Scaled scaleAndRound(std::uint32_t m, int e, int j) {
    const PowerOfTen& power = kPowersOfTen[j - kPowerTableLow];
    // 1. The product m x G, at most 152 bits, as high (bits 64 and up) and low.
    uint128 lowProduct = static_cast<uint128>(m) * power.low;
    uint128 high = static_cast<uint128>(m) * power.high + (lowProduct >> 64);
    std::uint64_t low = static_cast<std::uint64_t>(lowProduct);
    // 2. v x 10^j = m x G x 2^-shift; the shift always exceeds 64 bits, since
    //    the integer part has 57 bits at most and the product at least 150.
    int shift = -(e + power.binaryExponent);
    int highShift = shift - 64;
    Scaled scaled{static_cast<std::uint64_t>(high >> highShift), false, false};
    std::uint64_t fractionHigh =
        static_cast<std::uint64_t>(high & ((static_cast<uint128>(1) << highShift) - 1));
    std::uint64_t halfHigh = std::uint64_t{1} << (highShift - 1);
    // 3. Compare the fraction F (fractionHigh, low) with one half. With an
    //    exact G, F is exact and a tie goes to the even integer.
    if (power.exact) {
        if (fractionHigh != halfHigh)
            scaled.up = fractionHigh > halfHigh;
        else
            scaled.up = low != 0 || (scaled.integerPart & 1) != 0;
        return scaled;
    }
    // 4. G was rounded down, so the true fraction lies in (F, F + m): above
    //    the half when F is at least the half, below it when F + m is at
    //    most the half (tested with one unit to spare), undecided in between.
    if (fractionHigh >= halfHigh)
        scaled.up = true;
    else if (!(fractionHigh + 1 < halfHigh || low < ~std::uint64_t{0} - m))
        scaled.undecided = true;
    return scaled;
}

// A finite nonzero float as m x 2^e, m normalised to [2^23, 2^24) (subnormals
// too), with its decimal exponent k = floor(log10(value)).
struct Binary {
    std::uint32_t m;
    int e;
    int k;
};

Binary decompose(std::uint32_t bits) {
    std::uint32_t biasedExponent = (bits >> 23) & 0xff;
    std::uint32_t m = bits & 0x7fffff;
    int e;
    if (biasedExponent == 0) {
        int shift = std::countl_zero(m) - 8;
        m <<= shift;
        e = 1 - 150 - shift;
    } else {
        m |= 0x800000;
        e = static_cast<int>(biasedExponent) - 150;
    }
    // k is estimated from the binary exponent and raised by one from a
    // threshold significand on: exact, so that one scaling suffices.
    int binaryExponent = e + 23;
    int k = (binaryExponent * 78913) >> 18;
    k += m >= kNextPowerThresholds[binaryExponent - kExponentTableLow] ? 1 : 0;
    return Binary{m, e, k};
}

// The 17 digits and the decimal exponent k, carrying into a new digit when
// the rounding reached 10^17.
Decimal17 withCarry(std::uint64_t digits, int k, bool negative) {
    if (digits == kDigits17High)
        return Decimal17{kDigits17Low, k + 1, negative};
    return Decimal17{digits, k, negative};
}

// The rounding that the high half of the power of ten left open: with the
// whole 128-bit power, or failing that by the standard library.
[[gnu::noinline]] Decimal17 roundNearHalf(float value) {
    Binary v = decompose(std::bit_cast<std::uint32_t>(value));
    Scaled scaled = scaleAndRound(v.m, v.e, 16 - v.k);
    if (scaled.undecided)
        return decimal17FromChars(static_cast<double>(value));
    return withCarry(scaled.integerPart + (scaled.up ? 1 : 0), v.k,
                     (std::bit_cast<std::uint32_t>(value) >> 31) != 0);
}

} // namespace

Decimal17 toDecimal17(float value) noexcept {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    bool negative = (bits >> 31) != 0;
    if ((bits & 0x7fffffff) == 0)
        return Decimal17{0, 0, negative};
    // 1. value = m x 2^e, and k = floor(log10(value)).
    Binary v = decompose(bits);
    // 2. Scale by 10^(16-k) with the high 64 bits H of its 128-bit power G,
    //    m shifted left so that the integer part of the product (54 to 57
    //    bits) always starts at bit 34: below it, the fraction F.
    const PowerOfTen& power = kPowersOfTen[16 - v.k - kPowerTableLow];
    int fractionBits = -(v.e + power.binaryExponent) - 64; // 30 to 34
    std::uint64_t shiftedM = std::uint64_t{v.m} << (34 - fractionBits);
    uint128 product = static_cast<uint128>(shiftedM) * power.high;
    auto integerPart = static_cast<std::uint64_t>(product >> 34);
    std::uint64_t fraction = static_cast<std::uint64_t>(product) & ((std::uint64_t{1} << 34) - 1);
    constexpr std::uint64_t kHalf = std::uint64_t{1} << 33;
    // 3. m x G exceeds m x H by less than one unit of F per unit of the
    //    shifted m, so F decides the rounding unless it lies that close below
    //    the half. When H is all of an exact G, F is exact: a tie goes to the
    //    even integer. Decided without branches: for random values each
    //    outcome is as likely as the other.
    bool whole = power.exact && power.low == 0;
    if (!whole && kHalf - fraction - 1 < shiftedM - 1)
        return roundNearHalf(value);
    std::uint64_t tieBreak = whole ? (integerPart & 1) : 1;
    // 4. Rounding up may carry into an 18th digit.
    return withCarry(integerPart + (fraction + tieBreak > kHalf ? 1 : 0), v.k, negative);
}

} // namespace brenzolt
