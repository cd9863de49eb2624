// Number text: the exact texts of the printf conversions that node values and
// header numbers are written with, one value at a time (formatFloat) or rows
// of them (writeNumberTexts).
//
// Contract: nothing here throws or allocates. writeNumberTexts chooses its
// route once, on its first call (safely on any thread), and keeps it; nothing
// else touches global state. formatFloat writes into a caller's buffer of at
// least kMaxNumberText bytes, adds no terminating zero, and returns the number
// of characters written. The bytes of the buffer after the text may be
// overwritten too: the digits are stored in fixed-size blocks.
//
// The texts follow the platform the files are exchanged on, not the C
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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace brenzolt {

enum class NumberKind : std::uint8_t {
    fixed,   // "%W.Df": D decimals
    general, // "%W.Pg": P significant digits, trailing zeros removed
};

// A printf conversion as plain data: "%6.2f" is {fixed, 6, 2}, "%g" is
// {general, 0, 6}, "%10.8g" is {general, 10, 8}; with its name and the words
// that tell a user what it writes.
struct Conversion {
    NumberKind kind;
    int width;  // minimum width, padded on the left with spaces
    int digits; // decimals (fixed) or significant digits (general)
    const char* name;
    const char* words;
};

// Every conversion the program writes: "%g" for header numbers and by
// default, then those of the precision codes 0..9.
inline constexpr Conversion kConversions[] = {
    {NumberKind::general, 0, 6, "%g", "6 significant digits"},
    {NumberKind::fixed, 6, 0, "%6.0f", "no decimals"},
    {NumberKind::fixed, 6, 1, "%6.1f", "1 decimal"},
    {NumberKind::fixed, 6, 2, "%6.2f", "2 decimals"},
    {NumberKind::fixed, 6, 3, "%6.3f", "3 decimals"},
    {NumberKind::fixed, 6, 4, "%6.4f", "4 decimals"},
    {NumberKind::fixed, 7, 5, "%7.5f", "5 decimals"},
    {NumberKind::fixed, 8, 6, "%8.6f", "6 decimals"},
    {NumberKind::fixed, 9, 7, "%9.7f", "7 decimals"},
    {NumberKind::fixed, 10, 8, "%10.8f", "8 decimals"},
    {NumberKind::general, 10, 8, "%10.8g", "8 significant digits"},
};
inline constexpr std::size_t kConversionCount = std::size(kConversions);

// A conversion of that table, by its place in it.
enum class NodeFormat : std::uint8_t {};

inline constexpr NodeFormat kPercentG{0};

constexpr const Conversion& conversionOf(NodeFormat format) {
    return kConversions[static_cast<std::size_t>(format)];
}

// The text of a blank node: the blank value 1.70141e+38 in "%g".
inline constexpr std::string_view kBlankText = "1.70141e+038";

// The longest text of a value in `format`, or of a blank node: a fixed form
// of -3.4e38 (a sign, the 39 integer digits of the largest float, a point and
// the decimals), a general form with a sign and a three-digit exponent.
constexpr std::size_t longestText(NodeFormat format) {
    const Conversion& c = conversionOf(format);
    std::size_t digits = static_cast<std::size_t>(c.digits);
    std::size_t text = c.kind == NumberKind::fixed ? 40 + (digits > 0 ? digits + 1 : 0)
                                                   : std::max(digits + 7, kBlankText.size());
    return std::max(text, static_cast<std::size_t>(c.width));
}

// The room formatFloat needs: the longest text, and the blocks of digits and
// spaces that may reach past a text.
inline constexpr std::size_t kMaxNumberText = 64;

std::size_t formatFloat(char* out, float value, NodeFormat format) noexcept;

// The room writeNumberTexts needs for `count` values in `format`: each text
// and its TAB, and once the bytes a route may write past the last one.
constexpr std::size_t numberTextRoom(std::size_t count, NodeFormat format) {
    return count * (longestText(format) + 1) + kMaxNumberText;
}

// Writes the text of each of `count` values followed by a TAB, and returns
// the end. Values not above `blankThreshold`, and values that are not a
// number, are written as kBlankText. `out` has room for
// numberTextRoom(count, format) bytes, all of which may be overwritten. The
// route is chosen once from what the processor has (with AVX2, eight values
// at a time); the texts are the same on every route.
char* writeNumberTexts(char* out, const float* values, std::size_t count, NodeFormat format,
                       float blankThreshold) noexcept;

} // namespace brenzolt
