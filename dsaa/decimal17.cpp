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

} // namespace

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
    // 2. k = floor(log10(value)), estimated from the binary exponent and
    //    raised by one from a threshold significand on: exact, so that one
    //    scaling suffices.
    int binaryExponent = e + 23;
    int k = (binaryExponent * 78913) >> 18;
    k += m >= kNextPowerThresholds[binaryExponent - kExponentTableLow] ? 1 : 0;
    // 3. Scale by 10^(16-k) and round to an integer with ties to even.
    Scaled scaled = scaleAndRound(m, e, 16 - k);
    if (scaled.undecided)
        return decimal17FromChars(static_cast<double>(value));
    std::uint64_t digits = scaled.integerPart + (scaled.up ? 1 : 0);
    // 4. Rounding up may carry into an 18th digit.
    if (digits == kDigits17High) {
        digits = kDigits17Low;
        ++k;
    }
    return Decimal17{digits, k, negative};
}

} // namespace brenzolt
