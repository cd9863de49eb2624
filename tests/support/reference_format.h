// A slow reference for the number text, for checking the fast formatter.
//
// It works on the exact decimal expansion of a double's binary value, computed
// with big integers (m x 2^e is m x 5^-e / 10^-e when e < 0), rounds that digit
// string to 17 significant digits with ties to even, and then lays out each
// conversion digit by digit on the 17-digit string, a first dropped digit of 5
// or more rounding up in magnitude. No step uses the C library's or the
// standard library's number formatting.
#pragma once

#include "number_text/decimal17.h"
#include "number_text/number_text.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace brenzolt::test {

// Room for the longest text: a sign, the 309 integer digits of the largest
// double, a point, 17 decimals, and a carry.
inline constexpr std::size_t kMaxReferenceText = 400;

// A finite value rounded to 17 significant digits.
struct ReferenceDigits {
    bool negative = false;
    std::array<char, 17> digits{}; // '0'..'9'; all '0' for zero
    int exponent = 0;              // decimal exponent of the first digit; 0 for zero
};

// The fast formatter's form of the same 17 digits, for direct comparison.
Decimal asDecimal17(const ReferenceDigits& digits);

class ReferenceFormatter {
  public:
    // Builds the exact powers of two and five that every double needs.
    ReferenceFormatter();

    ReferenceDigits digits17(double value) const;
    // Any double, infinities and not-a-number included. A float is given
    // widened, which keeps its value exactly.
    std::string format(double value, const Conversion& conversion) const;
    // The text of a finite value from its 17 digits.
    std::string format(const ReferenceDigits& digits, const Conversion& conversion) const;
    // The same text written to `out`, which has room for kMaxReferenceText
    // characters; returns its length.
    std::size_t write(const ReferenceDigits& digits, const Conversion& conversion, char* out) const;

  private:
    // Base 10^9 limbs, least significant first.
    using BigInteger = std::vector<std::uint32_t>;

    // Writes the exact decimal digits of |value| to `out` (room for
    // kMaxExactDigits) and returns their count; `exponent` receives the
    // decimal exponent of the first digit.
    std::size_t writeExactDigits(double value, char* out, int& exponent) const;

    std::vector<BigInteger> powersOfTwo_;  // 2^0 .. 2^971
    std::vector<BigInteger> powersOfFive_; // 5^0 .. 5^1074
};

} // namespace brenzolt::test
