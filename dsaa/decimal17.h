// Decimal17: a float's exact binary value correctly rounded to 17 significant
// decimal digits, ties to even. The number text lays out every conversion from
// these digits alone.
//
// Contract: toDecimal17 does not throw, allocate or touch global state, and is
// exact for every finite float, subnormals and both zeros included.
#pragma once

#include <cstdint>

namespace brenzolt {

// A value's sign and its 17 significant digits: value = digits * 10^(exponent - 16),
// digits in [10^16, 10^17). Zero has digits 0 and exponent 0.
struct Decimal17 {
    std::uint64_t digits;
    int exponent;
    bool negative;
};

// The exact binary value of a finite float rounded to 17 significant digits.
Decimal17 toDecimal17(float value) noexcept;

} // namespace brenzolt
