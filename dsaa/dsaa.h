// The Surfer ASCII grid writer: "DSAA", the counts, the x, y and z ranges, then
// one TAB-separated line per grid row, lowest row (last in the file) first.
// Nodes not above the blank threshold, and nodes that are not a number, are
// written as the blank value 1.70141e+38 in "%g".
#pragma once

#include "dsaa/node_format.h"
#include "dsaa/number_text.h"
#include "grid/grid.h"
#include "platform/platform.h"

namespace brenzolt {

// The upper bound of a coordinate range, in single precision with a rounding
// at every step: (count - 1) x spacing + low.
float rangeHigh(float low, std::int32_t count, float spacing) noexcept;

// Writes the whole file body to `file` and one dot per row, then a line end,
// to `console`. A failed write stops the rows (no more dots); it surfaces
// through `file.failed()`.
void writeSurferGrid(TextWriter& file, Console& console, const GridHeader& header, const Grid& grid,
                     NodeFormat nodeFormat);

} // namespace brenzolt
