// What a conversion warns of before it writes: a precision text that is more than a code, and
// a grid that its readers would not find where it is, or that seems to lack its header. A
// warning is a line on standard error, and the conversion goes on, but with --strict.
#pragma once

#include "grid/grid.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brenzolt {

struct Warning {
    std::string subject;
    std::string text;
};

// Of the precision: the third of the two-name form's `words`, or the one --precision gives.
void warnOfPrecision(std::vector<Warning>& warnings, std::span<const std::string> words,
                     const std::optional<std::string>& option);

// Of the grid read from `input` for `output`, its header checked.
void warnOfGrid(std::vector<Warning>& warnings, const std::string& input, const std::string& output,
                const GridReader& grid, bool exactHeader);

} // namespace brenzolt
