// The binary grid file: twelve little-endian float32 header words, then
// `rowCount` rows of `columnCount` float32 node values, the row with the
// highest y first.
//
//   word 1, 2   column and row counts, truncated toward zero
//   word 3, 4   x and y of the first node
//   word 5      node spacing, the same in x and y
//   word 6      blank threshold: a node not above it is blank
//   word 7      not used
//   word 8, 9   lowest and highest z
//   word 10-12  not used
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace brenzolt {

inline constexpr int kRecordSize = 4;
inline constexpr int kHeaderWords = 12;
inline constexpr std::uint64_t kHeaderBytes = kRecordSize * kHeaderWords;

// The header as the reader found it; the counts are never negative.
struct GridHeader {
    std::int32_t columnCount = 0;
    std::int32_t rowCount = 0;
    float xMin = 0;
    float yMin = 0;
    float spacing = 0;
    float blankThreshold = 0;
    float zLow = 0;
    float zHigh = 0;
};

// The node values, held as one block in file order.
class Grid {
  public:
    Grid() = default;
    Grid(std::unique_ptr<float[]> nodes, std::int32_t columnCount, std::int32_t rowCount)
        : nodes_(std::move(nodes)), columnCount_(columnCount), rowCount_(rowCount) {}
    std::int32_t columnCount() const { return columnCount_; }
    std::int32_t rowCount() const { return rowCount_; }
    // Row r (0-based, file order) as a pointer to its first node.
    const float* row(std::int32_t r) const {
        return nodes_.get() + static_cast<std::size_t>(r) * static_cast<std::size_t>(columnCount_);
    }

  private:
    std::unique_ptr<float[]> nodes_;
    std::int32_t columnCount_ = 0;
    std::int32_t rowCount_ = 0;
};

// Why a grid could not be read: `message` is the console text, "\n" ended;
// `reason` the same said briefly, or the system's words for a failed read.
struct ReadError {
    std::string message;
    std::string reason;
};

// Reads header and grid from the open input. Prints nothing. On failure the
// grid is left empty and the returned error holds the console message.
std::optional<ReadError> readGrid(InputFile& input, const std::string& inputName,
                                  GridHeader& header, Grid& grid);

} // namespace brenzolt
