// A reference for the number text, independent of it: the C library's
// correctly rounded "%.16e" (glibc, or MinGW's own printf) gives a value's 17
// significant digits, ties to even; plain integer arithmetic rounds those
// half up to the digits a conversion shows, and the text is laid out as
// printf lays it out, with exponents of at least three digits.
#pragma once

#include "number_text/decimal17.h"
#include "number_text/number_text.h"

#include <string>

namespace brenzolt::test {

// The 17 significant digits of a finite value, as toDecimal17 gives them.
Decimal referenceDigits17(double value);

// The text of a finite value from its 17 digits and its sign.
std::string referenceText(const Decimal& digits, bool negative, const Conversion& conversion);

// The text of any double, infinities and not-a-number included. A float is
// given widened, which keeps its value exactly.
std::string referenceText(double value, const Conversion& conversion);

} // namespace brenzolt::test
