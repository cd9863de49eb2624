// The Surfer ASCII grid writer: "DSAA", the counts, the x, y and z ranges, then
// one TAB-separated line per grid row, lowest row (last in the file) first.
// Nodes not above the blank threshold, and nodes that are not a number, are
// written as the blank value 1.70141e+38 in "%g".
//
// Everything is written through a TextWriter, whose failures stay sticky in
// `failed()`; nothing here prints on the console.
#pragma once

#include "dsaa/number_text.h"
#include "grid/grid.h"
#include "platform/platform.h"

#include <string_view>

namespace brenzolt {

using NodeFormat = Conversion;

// The node format from the first character of the precision text: '0'..'8'
// select fixed forms ("%6.0f" .. "%10.8f"), '9' selects "%10.8g", and every
// other first character, an empty text included, selects "%g".
NodeFormat selectNodeFormat(std::string_view precisionText) noexcept;

// The upper bound of a coordinate range, in single precision with a rounding
// at every step: (count - 1) x spacing + low.
float rangeHigh(float low, std::int32_t count, float spacing) noexcept;

// The five header lines: "DSAA", the counts, and the x, y and z ranges.
void writeHeaderLines(TextWriter& file, const GridHeader& header);

// One node line with its line end: the row's node texts joined by TABs.
void writeNodeLine(TextWriter& file, const float* nodes, const GridHeader& header,
                   NodeFormat nodeFormat);

} // namespace brenzolt
