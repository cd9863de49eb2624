#include "app/warnings.h"

#include "dsaa/dsaa.h"

#include <cmath>
#include <cstdio>

namespace brenzolt {

namespace {

std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// A reader places the grid where the header's six-digit texts say, and computes its node
// spacing from them: a corner or a spacing off by more than a thousandth of the spacing
// misplaces the grid among others of its spacing. A spacing of 0 or below gives nothing to
// measure by, and says so itself: the text grid's ranges are points, or run backwards.
void warnOfPlacement(std::vector<Warning>& warnings, const std::string& input,
                     const std::string& output, const GridHeader& header, bool exactHeader) {
    double spacing = static_cast<double>(header.spacing);
    if (!(spacing > 0)) {
        warnings.push_back({input, spacing == 0
                                       ? "its node spacing is 0: the text grid's ranges are "
                                         "single points, where readers find no grid"
                                       : "its node spacing is " + numberText(spacing) +
                                             ", below 0: the text grid's ranges run backwards, "
                                             "where readers find a mirrored grid or none"});
        return;
    }
    double tolerance = std::fabs(spacing) / 1000;
    HeaderAsRead read = headerAsRead(header);
    if (exactHeader || (read.shiftX <= tolerance && read.shiftY <= tolerance &&
                        !(std::fabs(read.spacingX - spacing) > tolerance) &&
                        !(std::fabs(read.spacingY - spacing) > tolerance)))
        return;
    char text[300];
    std::snprintf(text, sizeof text,
                  "the header's coordinates have six significant digits: a reader moves the "
                  "grid's corners by up to %g in x and %g in y, and reads its node spacing of %g "
                  "as %g in x and %g in y; --exact-header writes them exactly",
                  read.shiftX, read.shiftY, spacing, read.spacingX, read.spacingY);
    warnings.push_back({output, text});
}

} // namespace

// A precision text that is more than a code, or one that more arguments set aside.
void warnOfPrecision(std::vector<Warning>& warnings, std::span<const std::string> words,
                     const std::optional<std::string>& option) {
    if (option) {
        if (std::optional<std::string> note = precisionTextNote(*option))
            warnings.push_back({"precision \"" + *option + "\"", *note});
        return;
    }
    if (words.size() < 3)
        return;
    std::string subject = "precision \"" + words[2] + "\"";
    if (words.size() > 3)
        warnings.push_back({subject, "ignored with more than three arguments: " +
                                         nodeFormatWords(selectNodeFormat("-"))});
    else if (std::optional<std::string> note = precisionTextNote(words[2]))
        warnings.push_back({subject, *note});
}

// An input with at least one row after its grid is most often a raster without the header,
// whose first nodes were taken for one.
void warnOfGrid(std::vector<Warning>& warnings, const std::string& input, const std::string& output,
                const GridReader& grid, bool exactHeader) {
    if (grid.surplusBytes() >= kRecordSize * std::uint64_t(grid.header().columnCount))
        warnings.push_back({input, std::to_string(grid.surplusBytes()) +
                                       " bytes after the grid are not read: is the "
                                       "48-byte header missing?"});
    warnOfPlacement(warnings, input, output, grid.header(), exactHeader);
}

} // namespace brenzolt
