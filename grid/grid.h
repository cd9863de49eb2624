// The binary grid file: twelve little-endian float32 header words, then
// `rowCount` rows of `columnCount` float32 node values, the row with the
// highest y first.
//
//   word 1, 2   column and row counts, truncated toward zero
//   word 3      x of the first column, the lowest x
//   word 4      y of the file's last row, the lowest y
//   word 5      node spacing, the same in x and y
//   word 6      blank threshold: a node not above it is blank
//   word 7      not used
//   word 8, 9   lowest and highest z
//   word 10-12  not used
#pragma once

#include "platform/files.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace brenzolt {

inline constexpr int kRecordSize = 4;
inline constexpr int kHeaderWords = 12;
inline constexpr std::uint64_t kHeaderBytes = kRecordSize * kHeaderWords;

// The header as the reader found it; each count is at least 1.
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

// Why a grid could not be read: what the reader found wrong ("it ends after
// N of M bytes"), or the system's words for a read that failed; whoever
// names the input makes the sentences.
struct ReadError {
    std::string detail;
    std::string systemReason;
    bool noGrid = false; // the file ends within the header, or the header refuses it
};

// An open grid: its header, and its nodes as the input offers them. From a
// regular file the nodes are read where they lie, when they are asked for,
// so that memory does not grow with the grid; from a pipe, which can only
// be read in order, the whole grid is read at once, after its header.
class GridReader {
  public:
    const GridHeader& header() const { return header_; }
    // Reads `count` nodes from node `first` on, counted in file order (row by
    // row, highest y first). Several threads may read at once.
    std::optional<ReadError> readNodes(std::uint64_t first, std::size_t count, float* nodes) const;
    // Tells the system that those nodes will be read soon; false where it
    // never listens (a grid in memory already, or a file in memory alone),
    // and asking again is no use.
    bool readAhead(std::uint64_t first, std::uint64_t count) const;
    // The bytes of a regular file after the grid, which are not read.
    std::uint64_t surplusBytes() const { return surplus_; }
    // From a pipe, reads the whole grid, before any node is asked for; from a
    // regular file, nothing.
    std::optional<ReadError> readWholeFromPipe();

  private:
    friend std::optional<ReadError> openGrid(InputFile& input, GridReader& grid);
    const InputFile* input_ = nullptr;
    GridHeader header_;
    std::unique_ptr<float[]> nodes_; // the whole grid, when it came from a pipe
    std::uint64_t surplus_ = 0;
    bool piped_ = false;
};

// The upper bound of a coordinate range, in single precision with a rounding
// at every step: (count - 1) x spacing + low.
float rangeHigh(float low, std::int32_t count, float spacing) noexcept;

// Reads and checks the header. Prints nothing.
// Refuses what is not a binary grid: a file whose first bytes are those of
// another format that grids are kept in (a Surfer grid, TIFF, netCDF, HDF5,
// zip, gzip), which it names; a header that gives no node (a count below
// 1, not a number, or out of range); and one that gives the nodes no place: a
// node spacing, or a corner near or far, that is not a finite number. The
// input must stay open while the grid's nodes are read.
std::optional<ReadError> openGrid(InputFile& input, GridReader& grid);

// Whether a regular file holds a binary grid: a header that gives at least one node, and
// exactly that grid, or at most one row more. Reads the header where it lies.
bool holdsBinaryGrid(const InputFile& file);

} // namespace brenzolt
