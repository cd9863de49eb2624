// The binary grid file: twelve little-endian float32 header words, then
// `rowCount` rows of `columnCount` float32 node values, the row with the
// highest y first. Header words, rows and columns are numbered from 1.
#pragma once

#include "platform/platform.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace brenzolt {

inline constexpr int kRecordSize = 4;
inline constexpr int kHeaderWords = 12;
inline constexpr std::uint64_t kHeaderBytes = kRecordSize * kHeaderWords;

struct GridHeader {
    std::array<float, kHeaderWords + 1> words{}; // words[1]..words[12]; words[0] unused
    std::int32_t columnCount = 0;                // word 1, truncated toward zero
    std::int32_t rowCount = 0;                   // word 2, truncated toward zero
    float xMin = 0;                              // word 3
    float yMin = 0;                              // word 4
    float spacing = 0;                           // word 5
    float blankThreshold = 0;                    // word 6: a node not above it is blank
    float zLow() const { return words[8]; }
    float zHigh() const { return words[9]; }
};

// A count from its header word: truncated toward zero; not a number, or
// outside [-2^31, 2^31), gives -2147483648.
std::int32_t countFromWord(float word) noexcept;

// Fills the header's derived fields from its words.
void deriveHeaderFields(GridHeader& header) noexcept;

// 48 + 4 x columns x rows: the bytes a file with valid (non-negative) counts holds.
std::uint64_t expectedFileSize(const GridHeader& header) noexcept;

// The node values, held as one block in file order.
class Grid {
  public:
    Grid() = default;
    // Obtains room for the grid without filling it; false when it does not fit.
    bool allocate(std::int32_t columnCount, std::int32_t rowCount);
    std::int32_t columnCount() const { return columnCount_; }
    std::int32_t rowCount() const { return rowCount_; }
    // Row r (1-based, file order) as a pointer to its first node (column 1).
    const float* row(std::int32_t r) const { return nodes_.get() + rowOffset(r); }
    float* row(std::int32_t r) { return nodes_.get() + rowOffset(r); }
    float node(std::int32_t r, std::int32_t c) const { return row(r)[c - 1]; }
    float* data() { return nodes_.get(); }
    std::size_t nodeCount() const {
        return static_cast<std::size_t>(columnCount_) * static_cast<std::size_t>(rowCount_);
    }
    void release();

  private:
    std::size_t rowOffset(std::int32_t r) const {
        return static_cast<std::size_t>(r - 1) * static_cast<std::size_t>(columnCount_);
    }
    std::unique_ptr<float[]> nodes_;
    std::int32_t columnCount_ = 0;
    std::int32_t rowCount_ = 0;
};

// Why a grid could not be read; `message` is the console text, "\n" ended.
struct ReadError {
    std::string message;
};

// Reads header and grid from the open input. Prints nothing. On failure the
// grid is left empty and the returned error holds the console message.
std::optional<ReadError> readGrid(InputFile& input, const std::string& inputName,
                                  GridHeader& header, Grid& grid);

} // namespace brenzolt
