#include "dsaa/dsaa.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace brenzolt {

namespace {

// The fewest significant digits, at most 9, that read back as `value`, in the form of "%g"
// (which drops trailing zeros) with an exponent of at least three digits as written here;
// "%g" itself for what is not a finite number.
std::size_t exactText(char* text, float value) {
    if (!std::isfinite(value))
        return formatFloat(text, value, kPercentG);
    char digits[32];
    int precision = 1;
    for (; precision < 9; ++precision) {
        std::snprintf(digits, sizeof digits, "%.*g", precision, static_cast<double>(value));
        if (std::strtof(digits, nullptr) == value)
            break;
    }
    // Six digits, as "%g" has them, where fewer do: 10 stays 10, not 1e+001.
    std::snprintf(digits, sizeof digits, "%.*g", std::max(precision, 6),
                  static_cast<double>(value));
    std::string written(digits);
    std::size_t e = written.find('e');
    if (e != std::string::npos && written.size() - e - 2 < 3) // "e+06" becomes "e+006"
        written.insert(e + 2, 3 - (written.size() - e - 2), '0');
    return static_cast<std::size_t>(std::copy(written.begin(), written.end(), text) - text);
}

void writeNumberPair(TextWriter& file, float first, float second, bool exact) {
    char text[2 * kMaxNumberText + 2];
    std::size_t length = exact ? exactText(text, first) : formatFloat(text, first, kPercentG);
    text[length++] = '\t';
    length +=
        exact ? exactText(text + length, second) : formatFloat(text + length, second, kPercentG);
    text[length++] = '\n';
    file.write(std::string_view(text, length));
}

std::string percentG(float value) {
    char text[kMaxNumberText];
    return std::string(text, formatFloat(text, value, kPercentG));
}

// How far a reader of the "%g" text of `value` finds it from `value`: 0 where
// the text reads back as that single-precision value (or it is not a number).
double textShift(float value) {
    std::string text = percentG(value);
    if (std::isnan(value) || std::strtof(text.c_str(), nullptr) == value)
        return 0;
    return std::fabs(std::strtod(text.c_str(), nullptr) - static_cast<double>(value));
}

// The spacing that the "%g" texts of a range's ends give over `count` nodes.
double spacingAsRead(float low, float high, std::int32_t count, float spacing) {
    if (count < 2)
        return spacing;
    double span =
        std::strtod(percentG(high).c_str(), nullptr) - std::strtod(percentG(low).c_str(), nullptr);
    return span / (count - 1);
}

} // namespace

NodeFormat selectNodeFormat(std::string_view precisionText) noexcept {
    // The codes '0'..'9' pick the conversions after "%g", in order.
    char code = precisionText.empty() ? '\0' : precisionText.front();
    if (code >= '0' && code <= '9')
        return NodeFormat{static_cast<std::uint8_t>(code - '0' + 1)};
    return kPercentG;
}

std::string nodeFormatWords(NodeFormat nodeFormat) {
    const Conversion& conversion = conversionOf(nodeFormat);
    return std::string(conversion.words) + " (" + conversion.name + ")";
}

std::optional<std::string> precisionTextNote(std::string_view precisionText) {
    NodeFormat nodeFormat = selectNodeFormat(precisionText);
    // Characters in UTF-8: every byte but those that go on with one.
    auto characters = std::ranges::count_if(
        precisionText, [](char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; });
    if (characters > 1)
        return "only its first character counts: " + nodeFormatWords(nodeFormat);
    if (characters == 1 && precisionText != "-" && nodeFormat == kPercentG)
        return "not a precision code: " + nodeFormatWords(nodeFormat);
    return std::nullopt;
}

void writeHeaderLines(TextWriter& file, const GridHeader& header, bool exact) {
    file.write("DSAA\n");
    file.write(std::to_string(header.columnCount) + "\t" + std::to_string(header.rowCount) + "\n");
    writeNumberPair(file, header.xMin, rangeHigh(header.xMin, header.columnCount, header.spacing),
                    exact);
    writeNumberPair(file, header.yMin, rangeHigh(header.yMin, header.rowCount, header.spacing),
                    exact);
    writeNumberPair(file, header.zLow, header.zHigh, exact);
}

HeaderAsRead headerAsRead(const GridHeader& header) {
    float xHigh = rangeHigh(header.xMin, header.columnCount, header.spacing);
    float yHigh = rangeHigh(header.yMin, header.rowCount, header.spacing);
    return {std::max(textShift(header.xMin), textShift(xHigh)),
            std::max(textShift(header.yMin), textShift(yHigh)),
            spacingAsRead(header.xMin, xHigh, header.columnCount, header.spacing),
            spacingAsRead(header.yMin, yHigh, header.rowCount, header.spacing)};
}

char* writeNodeTexts(char* out, const float* nodes, std::size_t count, bool endsRow,
                     float blankThreshold, NodeFormat nodeFormat) {
    out = writeNumberTexts(out, nodes, count, nodeFormat, blankThreshold);
    if (endsRow) {
        // The line end takes the place of the last TAB; a row of no columns
        // is still a line.
        if (count > 0)
            --out;
        out = std::copy(kLineEnd.begin(), kLineEnd.end(), out);
    }
    return out;
}

} // namespace brenzolt
