#include "dsaa/dsaa.h"

#include <charconv>
#include <cstring>
#include <string_view>

namespace brenzolt {

namespace {

// The blank value 1.70141e+38 in "%g".
constexpr std::string_view kBlankText = "1.70141e+038";

void writeNumberPair(TextWriter& file, float first, float second) {
    char text[2 * kMaxNumberText + 2];
    std::size_t length = formatFloat(text, first, kPercentG);
    text[length++] = '\t';
    length += formatFloat(text + length, second, kPercentG);
    text[length++] = '\n';
    file.write(std::string_view(text, length));
}

void writeHeaderLines(TextWriter& file, const GridHeader& header) {
    // Room for two counts of up to 11 characters each and their separators.
    char text[32];
    file.write("DSAA\n");
    char* p = std::to_chars(text, text + 11, header.columnCount).ptr;
    *p++ = '\t';
    p = std::to_chars(p, p + 11, header.rowCount).ptr;
    *p++ = '\n';
    file.write(std::string_view(text, static_cast<std::size_t>(p - text)));
    writeNumberPair(file, header.words[3],
                    rangeHigh(header.words[3], header.columnCount, header.spacing));
    writeNumberPair(file, header.words[4],
                    rangeHigh(header.words[4], header.rowCount, header.spacing));
    writeNumberPair(file, header.zLow(), header.zHigh());
}

// One node line without its line end: node texts joined by TABs.
void writeNodeLine(TextWriter& file, const float* nodes, std::int32_t columnCount,
                   float blankThreshold, NodeFormat nodeFormat) {
    for (std::int32_t c = 0; c < columnCount; ++c) {
        char* out = file.reserve(kMaxNumberText + 1);
        char* p = out;
        if (c > 0)
            *p++ = '\t';
        float value = nodes[c];
        // Not-a-number fails the comparison and so is blank too.
        if (value > blankThreshold) {
            p += formatFloat(p, value, nodeFormat);
        } else {
            std::memcpy(p, kBlankText.data(), kBlankText.size());
            p += kBlankText.size();
        }
        file.commit(p);
    }
}

} // namespace

float rangeHigh(float low, std::int32_t count, float spacing) noexcept {
    float steps = static_cast<float>(static_cast<std::int64_t>(count) - 1);
    float span = steps * spacing;
    return span + low;
}

void writeSurferGrid(TextWriter& file, Console& console, const GridHeader& header, const Grid& grid,
                     NodeFormat nodeFormat) {
    writeHeaderLines(file, header);
    // A failed write (a full disk) ends the rows at once: nothing more of
    // this file can reach the disk.
    for (std::int32_t r = grid.rowCount(); r >= 1 && !file.failed(); --r) {
        writeNodeLine(file, grid.row(r), grid.columnCount(), header.blankThreshold, nodeFormat);
        console.progressDot();
        file.put('\n');
    }
    console.print("\n");
}

} // namespace brenzolt
