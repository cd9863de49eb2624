// The node format: the conversion that writes node values, chosen from the
// first character of the precision text.
#pragma once

#include "dsaa/number_text.h"

#include <string_view>

namespace brenzolt {

// '0'..'8' select fixed forms ("%6.0f" .. "%10.8f"), '9' selects "%10.8g", and
// every other first character, an empty text included, selects "%g".
NodeFormat selectNodeFormat(std::string_view precisionText) noexcept;

} // namespace brenzolt
