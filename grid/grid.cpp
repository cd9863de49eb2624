#include "grid/grid.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace brenzolt {

namespace {

std::string formatMessage(const char* format, const std::string& name, auto... values) {
    int length = std::snprintf(nullptr, 0, format, name.c_str(), values...);
    std::string message(static_cast<std::size_t>(length), '\0');
    std::snprintf(message.data(), message.size() + 1, format, name.c_str(), values...);
    return message;
}

ReadError shortInput(const std::string& name, std::uint64_t present, std::uint64_t needed) {
    return ReadError{formatMessage(
        "error reading input file %s: it ends after %llu of %llu bytes\n", name,
        static_cast<unsigned long long>(present), static_cast<unsigned long long>(needed))};
}

ReadError unreadable(const std::string& name) {
    return ReadError{formatMessage("error reading input file %s\n", name)};
}

float wordFromBytes(const unsigned char* bytes) {
    std::uint32_t bits =
        static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
        static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return std::bit_cast<float>(bits);
}

// Reads `size` bytes or says why not; `offset` is where they start in the file.
std::optional<ReadError> readExactly(InputFile& input, const std::string& name, void* buffer,
                                     std::size_t size, std::uint64_t offset, std::uint64_t needed) {
    std::size_t got = 0;
    switch (input.read(buffer, size, got)) {
    case InputFile::ReadStatus::complete:
        return std::nullopt;
    case InputFile::ReadStatus::endOfFile:
        return shortInput(name, offset + got, needed);
    case InputFile::ReadStatus::error:
        break;
    }
    return unreadable(name);
}

} // namespace

std::int32_t countFromWord(float word) noexcept {
    constexpr float kLimit = 2147483648.0f; // 2^31, exact in single precision
    if (!(word >= -kLimit && word < kLimit))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(word);
}

void deriveHeaderFields(GridHeader& header) noexcept {
    header.columnCount = countFromWord(header.words[1]);
    header.rowCount = countFromWord(header.words[2]);
    header.xMin = header.words[3];
    header.yMin = header.words[4];
    header.spacing = header.words[5];
    header.blankThreshold = header.words[6];
}

std::uint64_t expectedFileSize(const GridHeader& header) noexcept {
    // At most 48 + 4 x (2^31 - 1)^2, which still fits in 64 bits.
    return kHeaderBytes + kRecordSize * static_cast<std::uint64_t>(header.columnCount) *
                              static_cast<std::uint64_t>(header.rowCount);
}

bool Grid::allocate(std::int32_t columnCount, std::int32_t rowCount) {
    release();
    std::uint64_t count =
        static_cast<std::uint64_t>(columnCount) * static_cast<std::uint64_t>(rowCount);
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(float) / 2)
        return false;
    // Not zero-filled: the reader overwrites every node or fails.
    nodes_.reset(new (std::nothrow) float[count == 0 ? 1 : count]);
    if (!nodes_)
        return false;
    columnCount_ = columnCount;
    rowCount_ = rowCount;
    return true;
}

void Grid::release() {
    nodes_.reset();
    columnCount_ = 0;
    rowCount_ = 0;
}

std::optional<ReadError> readGrid(InputFile& input, const std::string& inputName,
                                  GridHeader& header, Grid& grid) {
    grid.release();
    // 1. The twelve header words.
    unsigned char headerBytes[kHeaderBytes];
    if (auto error =
            readExactly(input, inputName, headerBytes, sizeof headerBytes, 0, kHeaderBytes))
        return error;
    for (int w = 1; w <= kHeaderWords; ++w)
        header.words[w] = wordFromBytes(headerBytes + kRecordSize * (w - 1));
    deriveHeaderFields(header);
    // 2. Counts that make no grid.
    if (header.columnCount < 0 || header.rowCount < 0)
        return ReadError{formatMessage("error reading input file %s: invalid grid size %d x %d\n",
                                       inputName, header.columnCount, header.rowCount)};
    // 3. A regular file too short for its counts fails before the grid is
    //    allocated, whatever size the header asks for.
    std::uint64_t needed = expectedFileSize(header);
    if (auto size = input.regularFileSize(); size && *size < needed)
        return shortInput(inputName, *size, needed);
    // 4. The grid, in one block, read in one request.
    if (!grid.allocate(header.columnCount, header.rowCount))
        return ReadError{formatMessage(
            "error reading input file %s: a grid of %d x %d nodes does not fit in memory\n",
            inputName, header.columnCount, header.rowCount)};
    auto error = readExactly(input, inputName, grid.data(), grid.nodeCount() * sizeof(float),
                             kHeaderBytes, needed);
    if (error) {
        grid.release();
        return error;
    }
    if constexpr (std::endian::native != std::endian::little) {
        // The file is little-endian whatever the machine.
        for (std::size_t i = 0; i < grid.nodeCount(); ++i)
            grid.data()[i] = wordFromBytes(reinterpret_cast<unsigned char*>(grid.data() + i));
    }
    return std::nullopt;
}

} // namespace brenzolt
