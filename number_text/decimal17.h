// Decimal digits of a float, rounded as every number text rounds them: the
// exact binary value correctly rounded to 17 significant digits (ties to
// even), and only that 17-digit value rounded on to the digits the text
// shows, a first dropped digit of 5 or more rounding away from zero.
//
// Contract: no function here throws, allocates or touches global state; each
// is exact for every finite float, subnormals and both zeros included.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace brenzolt {

// A value's decimal digits without the sign, and the decimal exponent of the
// first digit (after the rounding). Zero has digits 0 and exponent 0.
struct Decimal {
    std::uint64_t digits;
    int exponent;
};

// The 17 significant digits: value = digits * 10^(exponent - 16), digits in
// [10^16, 10^17).
Decimal toDecimal17(float value) noexcept;

// Rounded to `count` (1..10) significant digits: digits in
// [10^(count - 1), 10^count).
Decimal roundToDigits(float value, int count) noexcept;

// Rounded to `decimals` (0..9) decimals: digits = value * 10^decimals, as
// long as that keeps at most 17 digits (exponent + 1 + decimals <= 17);
// otherwise the 17 significant digits, unrounded.
Decimal roundToDecimals(float value, int decimals) noexcept;

// Shared with the quick roundings (quick_rounding.h, avx2.cpp): the powers of
// ten that fit in 64 bits, and the decimal exponent of a binary one.
inline constexpr auto kPow10 = [] {
    std::array<std::uint64_t, 18> table{};
    table[0] = 1;
    for (std::size_t k = 1; k < table.size(); ++k)
        table[k] = table[k - 1] * 10;
    return table;
}();

// floor(log10(2^binaryExponent)) for a float in [2^b, 2^(b+1)), b the binary
// exponent: its decimal exponent, or one less (make_powers_of_ten.py checks
// that for every float), with log10(2) taken as 78913 / 2^18.
inline constexpr int kLog10Of2Scaled = 78913;
inline constexpr int kLog10Of2Shift = 18;

constexpr int decimalExponentEstimate(int binaryExponent) {
    return (binaryExponent * kLog10Of2Scaled) >> kLog10Of2Shift;
}

} // namespace brenzolt
