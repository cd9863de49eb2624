// Number text: the exact texts of the printf conversions that brenzolt writes.
//
// Contract: no function here throws, allocates or touches global state. Every
// formatter writes into a caller's buffer of at least kMaxNumberText bytes,
// adds no terminating zero, and returns the number of characters written. The
// bytes of the buffer after the text may be overwritten too: the digits are
// stored in fixed-size blocks.
//
// The texts follow the console platform the files are exchanged on, not the C
// library of this machine:
//  - a value is widened to double, its exact binary value correctly rounded to
//    17 significant decimal digits (ties to even), and only that 17-digit value
//    is rounded to the requested digits, a first dropped digit of 5 or more
//    rounding away from zero (2.5 with "%6.0f" gives "     3");
//  - fixed form writes zeros for digits past the 17th significant digit;
//  - general form writes exponents with a sign and at least three digits
//    ("1e-005", "1.70141e+038");
//  - infinity and not-a-number read "inf", "-inf" and "nan";
//  - a negative value, negative zero included, keeps its "-".
#pragma once

#include <cstddef>
#include <cstdint>

namespace brenzolt {

enum class NumberKind : std::uint8_t {
    fixed,   // "%W.Df": D decimals
    general, // "%W.Pg": P significant digits, trailing zeros removed
};

// One printf conversion as plain data: "%6.2f" is {fixed, 6, 2}, "%g" is
// {general, 0, 6}, "%10.8g" is {general, 10, 8}.
struct Conversion {
    NumberKind kind;
    int width;  // minimum width, padded on the left with spaces; 0 for none
    int digits; // decimals (fixed) or significant digits (general), 0..17
};

inline constexpr Conversion kPercentG{NumberKind::general, 0, 6};

// Longest text of any conversion with digits <= 17 and width <= 32: the fixed
// form of the largest double carries 309 integer digits.
inline constexpr std::size_t kMaxNumberText = 360;

// A value's sign and its 17 significant digits: value = digits * 10^(exponent - 16),
// digits in [10^16, 10^17). Zero has digits 0 and exponent 0.
struct Decimal17 {
    std::uint64_t digits;
    int exponent;
    bool negative;
};

// The exact binary value of a finite float rounded to 17 significant digits.
Decimal17 toDecimal17(float value) noexcept;
// The same for a finite double.
Decimal17 toDecimal17(double value) noexcept;

std::size_t formatFloat(char* out, float value, Conversion conversion) noexcept;
std::size_t formatDouble(char* out, double value, Conversion conversion) noexcept;
// "%d"
std::size_t formatInt(char* out, std::int32_t value) noexcept;

} // namespace brenzolt
