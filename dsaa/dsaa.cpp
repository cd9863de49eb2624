#include "dsaa/dsaa.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace brenzolt {

namespace {

void writeNumberPair(TextWriter& file, float first, float second) {
    char text[2 * kMaxNumberText + 2];
    std::size_t length = formatFloat(text, first, kPercentG);
    text[length++] = '\t';
    length += formatFloat(text + length, second, kPercentG);
    text[length++] = '\n';
    file.write(std::string_view(text, length));
}

// How far a reader of the "%g" text of `value` finds it from `value`: 0 where
// the text reads back as that single-precision value (or it is not a number).
double textShift(float value) {
    char text[kMaxNumberText + 1];
    text[formatFloat(text, value, kPercentG)] = '\0';
    if (std::isnan(value) || std::strtof(text, nullptr) == value)
        return 0;
    return std::fabs(std::strtod(text, nullptr) - static_cast<double>(value));
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

float rangeHigh(float low, std::int32_t count, float spacing) noexcept {
    float steps = static_cast<float>(static_cast<std::int64_t>(count) - 1);
    float span = steps * spacing;
    return span + low;
}

void writeHeaderLines(TextWriter& file, const GridHeader& header) {
    file.write("DSAA\n");
    file.write(std::to_string(header.columnCount) + "\t" + std::to_string(header.rowCount) + "\n");
    writeNumberPair(file, header.xMin, rangeHigh(header.xMin, header.columnCount, header.spacing));
    writeNumberPair(file, header.yMin, rangeHigh(header.yMin, header.rowCount, header.spacing));
    writeNumberPair(file, header.zLow, header.zHigh);
}

CornerShift headerCornerShift(const GridHeader& header) {
    float xHigh = rangeHigh(header.xMin, header.columnCount, header.spacing);
    float yHigh = rangeHigh(header.yMin, header.rowCount, header.spacing);
    return {std::max(textShift(header.xMin), textShift(xHigh)),
            std::max(textShift(header.yMin), textShift(yHigh))};
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
