// Number text: the exact texts of the printf conversions that node values and
// header numbers are written with.
//
// Contract: formatFloat does not throw, allocate or touch global state. It
// writes into a caller's buffer of at least kMaxNumberText bytes, adds no
// terminating zero, and returns the number of characters written. The bytes of
// the buffer after the text may be overwritten too: the digits are stored in
// fixed-size blocks.
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

// The printf conversion used for node values, as plain data: "%6.2f" is
// {fixed, 6, 2}, "%g" is {general, 0, 6}, "%10.8g" is {general, 10, 8}.
struct NodeFormat {
    NumberKind kind;
    int width;  // minimum width (0..32), padded on the left with spaces
    int digits; // decimals (fixed) or significant digits (general), 0..17
};

inline constexpr NodeFormat kPercentG{NumberKind::general, 0, 6};

// Room for any conversion with digits <= 17 and width <= 32: the longest text
// has 58 characters (a sign, the 39 integer digits of the largest float, a
// point and 17 decimals), and the blocks of digits and spaces may reach 32
// bytes past a text.
inline constexpr std::size_t kMaxNumberText = 128;

std::size_t formatFloat(char* out, float value, NodeFormat format) noexcept;

} // namespace brenzolt
