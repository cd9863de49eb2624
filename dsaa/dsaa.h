// The Surfer ASCII grid writer: "DSAA", the counts, the x, y and z ranges, then
// one TAB-separated line per grid row, lowest row (last in the file) first.
// Nodes not above the blank threshold, and nodes that are not a number, are
// written as the blank value 1.70141e+38 in "%g".
//
// Nothing here reports to the user: the header lines go through a
// TextWriter, whose failures stay sticky in `failed()`, and node texts into
// the caller's buffers, so that rows can be formatted on several threads.
#pragma once

#include "grid/grid.h"
#include "number_text/number_text.h"
#include "platform/text_writer.h"

#include <optional>
#include <string>
#include <string_view>

namespace brenzolt {

// The node format from the first character of the precision text: '0'..'8'
// select the fixed forms "%6.0f" .. "%10.8f", '9' selects "%10.8g", and every
// other first character, an empty text included, selects "%g".
NodeFormat selectNodeFormat(std::string_view precisionText) noexcept;

// What a node format writes, in a user's words: "1 decimal (%6.1f)".
std::string nodeFormatWords(NodeFormat nodeFormat);

// What a precision text that is more than a precision code comes to, for a
// warning: "only its first character counts: 1 decimal (%6.1f)" for "10", "not
// a precision code: 6 significant digits (%g)" for "x". Nothing for an empty
// text and for '-' or a digit alone.
std::optional<std::string> precisionTextNote(std::string_view precisionText);

// The five header lines: "DSAA", the counts, and the x, y and z ranges, their numbers in
// "%g", or with `exact` in the fewest significant digits (at most 9) that read back as the
// single-precision values themselves.
void writeHeaderLines(TextWriter& file, const GridHeader& header, bool exact = false);

// The grid as a reader of the "%g" header lines places it: how far the texts of xLow or xHigh
// move a corner at most, in x, and of yLow or yHigh, in y (0 where the texts read back as the
// single-precision values themselves), and the node spacing that the texts give in x and in
// y (the header's own along a single column or row, where they give none).
struct HeaderAsRead {
    double shiftX = 0;
    double shiftY = 0;
    double spacingX = 0;
    double spacingY = 0;
};
HeaderAsRead headerAsRead(const GridHeader& header);

// The room `writeNodeTexts` needs for `rows` rows of `width` nodes in
// `nodeFormat`, one after the other: the room of their number texts, and each
// row's line end.
constexpr std::size_t nodeTextRoom(std::size_t rows, std::size_t width, NodeFormat nodeFormat) {
    return numberTextRoom(rows * width, nodeFormat) + rows * kLineEnd.size();
}

// How many nodes take at most `bytes` of that room, but for its fixed part:
// what each node adds to it.
constexpr std::size_t nodesInTextRoom(std::size_t bytes, NodeFormat nodeFormat) {
    return bytes / (nodeTextRoom(1, 1, nodeFormat) - nodeTextRoom(1, 0, nodeFormat));
}

// Writes the texts of `count` node values of one row into `out`, which has
// room for nodeTextRoom(1, count, nodeFormat) bytes: each followed by a TAB, the last one of
// the row (when they end it) by the text stream's line end instead, ready for
// TextWriter::writeLines. Returns the end of the text.
char* writeNodeTexts(char* out, const float* nodes, std::size_t count, bool endsRow,
                     float blankThreshold, NodeFormat nodeFormat);

} // namespace brenzolt
