// Quick roundings of the number text: the digits of roundToDigits and
// roundToDecimals (number_text/decimal17.h), inline, for the values most grids
// hold. Private to the number text.
#pragma once

#include "number_text/decimal17.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace brenzolt {

// roundToDigitsQuickly and roundToDecimalsQuickly below give the digits of
// roundToDigits and roundToDecimals (and, unless they are 0, the same
// exponent), or return false when the value needs those.
//
// How (the proof both routes use; the vector route, avx2.cpp, works in
// doubles, where the same products are exact too): a float below 2^24 is
// m x 2^-s with an integer m < 2^24, so y = v x 10^D = m x 10^D / 2^s is
// exact in 64 bits for D <= 11, and is rounded half up in one step. Rounding
// the value to 17 digits first moves y by at most u/2, u = 10^(kept-17) the
// place of its 17th digit (kept: the digits of y's integer part), and a
// half-integer is a multiple of u: so the 17-digit rounding changes that step
// only when the fraction of y lies within u/2 below one half. With kept <= 10
// digits that is within 2^-24 of it (with kept <= 12, within 2^-17). A
// fraction of at most 24 bits cannot lie there; a longer one is checked.
namespace quick {

// The number of decimal digits of q, 0 for 0.
inline int digitCount(std::uint64_t q) {
    int estimate = (std::bit_width(q | 1) * 1233) >> 12; // floor(bits x log10(2))
    return estimate + (q >= kPow10[static_cast<std::size_t>(estimate)] ? 1 : 0);
}

// The exponent fields that take the quick route to `count` significant
// digits: below 2^24, and D = count - 1 - estimate in 1..11. An interval,
// so that the test is one well-predicted branch even for values of every
// size mixed.
struct ExponentRange {
    int low;
    int high;
};

inline constexpr auto kQuickDigitsRanges = [] {
    std::array<ExponentRange, 11> ranges{};
    for (int count = 1; count <= 10; ++count) {
        ExponentRange range{151, 0};
        for (int biased = 1; biased <= 150; ++biased) {
            int decimals = count - 1 - decimalExponentEstimate(biased - 127);
            if (decimals >= 1 && decimals <= 11)
                range = ExponentRange{std::min(range.low, biased), std::max(range.high, biased)};
        }
        ranges[static_cast<std::size_t>(count)] = range;
    }
    return ranges;
}();

// m x 10^D / 2^s rounded half up; false when the 17-digit rounding could
// decide otherwise. Fractions of at most 24 bits, those of every value from
// 0.5 on, need no check.
[[gnu::always_inline]] inline bool roundScaled(std::uint64_t scaled, int s, std::uint64_t& q) {
    std::uint64_t unit = std::uint64_t{1} << s;
    std::uint64_t half = unit >> 1;
    q = (scaled + half) >> s;
    if (s <= 24)
        return true;
    std::uint64_t belowHalf = half - (scaled & (unit - 1)) - 1; // wraps from the half up
    return belowHalf >= (unit >> 24);
}

} // namespace quick

[[gnu::always_inline]] inline bool roundToDecimalsQuickly(float value, int decimals,
                                                          Decimal& rounded) noexcept {
    auto bits = std::bit_cast<std::uint32_t>(value);
    auto biased = static_cast<int>((bits >> 23) & 0xff);
    // Zero and subnormals too: like every value below 2^-40 they round to 0,
    // and the shift can stop at 63.
    if (biased > 150 || decimals > 9)
        return false;
    std::uint64_t m = (bits & 0x7fffff) | (biased != 0 ? 0x800000u : 0u);
    int s = std::min(150 - std::max(biased, 1), 63);
    std::uint64_t q;
    if (!quick::roundScaled(m * kPow10[static_cast<std::size_t>(decimals)], s, q) ||
        q >= kPow10[10])
        return false;
    rounded = Decimal{q, quick::digitCount(q) - 1 - decimals};
    return true;
}

[[gnu::always_inline]] inline bool roundToDigitsQuickly(float value, int count,
                                                        Decimal& rounded) noexcept {
    auto bits = std::bit_cast<std::uint32_t>(value);
    auto biased = static_cast<int>((bits >> 23) & 0xff);
    if (count > 10)
        return false;
    const quick::ExponentRange& range = quick::kQuickDigitsRanges[static_cast<std::size_t>(count)];
    if (static_cast<unsigned>(biased - range.low) > static_cast<unsigned>(range.high - range.low))
        return false;
    // 1. k0, the decimal exponent or one less: D0 = count - 1 - k0 decimals
    //    give `count` or `count`+1 integer digits.
    int k0 = decimalExponentEstimate(biased - 127);
    int decimals = count - 1 - k0;
    int s = 150 - biased;
    std::uint64_t m = (bits & 0x7fffff) | 0x800000u;
    std::uint64_t scaled = m * kPow10[static_cast<std::size_t>(decimals)];
    // 2. One integer digit too many: the exponent is k0 + 1, one decimal less.
    //    A branch, not a second multiplication: it is rarely taken, and the
    //    value's digits need not wait for the comparison.
    bool oneDigitMore = (scaled >> s) >= kPow10[static_cast<std::size_t>(count)];
    if (oneDigitMore)
        scaled /= 10;
    std::uint64_t q;
    if (!quick::roundScaled(scaled, s, q))
        return false;
    // 3. Rounding up may carry into a new leading digit.
    bool carried = q == kPow10[static_cast<std::size_t>(count)];
    rounded = Decimal{carried ? kPow10[static_cast<std::size_t>(count - 1)] : q,
                      k0 + (oneDigitMore ? 1 : 0) + (carried ? 1 : 0)};
    return true;
}

} // namespace brenzolt
