#include "grid/grid.h"

#include <algorithm>
#include <cstdio>
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
    std::string reason =
        "it ends after " + std::to_string(present) + " of " + std::to_string(needed) + " bytes";
    return ReadError{"error reading input file " + name + ": " + reason + "\n", reason};
}

ReadError unreadable(const std::string& name, const std::string& reason) {
    return ReadError{formatMessage("error reading input file %s\n", name), reason};
}

// What a read of the bytes up to `needed` came to: nothing when complete.
std::optional<ReadError> outcome(InputFile::ReadStatus status, const std::string& name,
                                 std::uint64_t end, std::uint64_t needed,
                                 const std::string& reason) {
    switch (status) {
    case InputFile::ReadStatus::complete:
        return std::nullopt;
    case InputFile::ReadStatus::endOfFile:
        return shortInput(name, end, needed);
    case InputFile::ReadStatus::error:
        break;
    }
    return unreadable(name, reason);
}

// Reads the next `size` bytes, which start at `offset`, or says why not.
std::optional<ReadError> readNext(InputFile& input, const std::string& name, void* buffer,
                                  std::size_t size, std::uint64_t offset, std::uint64_t needed) {
    std::size_t got = 0;
    std::string reason;
    auto status = input.read(buffer, size, got, reason);
    return outcome(status, name, offset + got, needed, reason);
}

bool isCountWord(float word) {
    constexpr float kLimit = 2147483648.0f; // 2^31, exact in single precision
    return word >= -kLimit && word < kLimit;
}

// A count from its header word, truncated toward zero; a word that is no
// count (not a number, or outside [-2^31, 2^31)) gives -2147483648, which
// the reader refuses.
std::int32_t countFromWord(float word) {
    return isCountWord(word) ? static_cast<std::int32_t>(word)
                             : std::numeric_limits<std::int32_t>::min();
}

// A count as the header word holds it: the truncated count, or the word
// itself where it is no count at all (not a number, or out of range).
std::string countText(float word) {
    if (isCountWord(word))
        return std::to_string(countFromWord(word));
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(word));
    return text;
}

GridHeader headerFromWords(const float (&words)[kHeaderWords]) {
    return GridHeader{countFromWord(words[0]),
                      countFromWord(words[1]),
                      words[2],
                      words[3],
                      words[4],
                      words[5],
                      words[7],
                      words[8]};
}

// 48 + 4 x columns x rows: at most 48 + 4 x (2^31 - 1)^2, which still fits
// in 64 bits.
std::uint64_t expectedFileSize(const GridHeader& header) {
    return kHeaderBytes + kRecordSize * static_cast<std::uint64_t>(header.columnCount) *
                              static_cast<std::uint64_t>(header.rowCount);
}

// Room for the nodes, not zero-filled: the reader overwrites every node or
// fails. Nothing when it does not fit.
std::unique_ptr<float[]> allocateNodes(const GridHeader& header) {
    std::uint64_t count = static_cast<std::uint64_t>(header.columnCount) *
                          static_cast<std::uint64_t>(header.rowCount);
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(float) / 2)
        return nullptr;
    return std::unique_ptr<float[]>(new (std::nothrow) float[count == 0 ? 1 : count]);
}

} // namespace

std::optional<ReadError> openGrid(InputFile& input, const std::string& inputName,
                                  GridReader& grid) {
    grid = GridReader();
    std::optional<std::uint64_t> fileSize = input.regularFileSize();
    // 1. The twelve header words, little-endian as this machine is.
    float words[kHeaderWords];
    if (auto error = readNext(input, inputName, words, sizeof words, 0, kHeaderBytes))
        return error;
    GridHeader header = headerFromWords(words);
    // 2. Counts that make no grid, shown as the file holds them.
    if (header.columnCount < 0 || header.rowCount < 0) {
        std::string size = countText(words[0]) + " x " + countText(words[1]);
        return ReadError{"error reading input file " + inputName + ": invalid grid size " + size +
                             "\n",
                         "invalid grid size " + size};
    }
    // 3. A regular file too short for its counts fails at once; its nodes
    //    are read later, where they lie.
    std::uint64_t needed = expectedFileSize(header);
    if (fileSize && *fileSize < needed)
        return shortInput(inputName, *fileSize, needed);
    if (!fileSize) {
        // 4. From a pipe, the grid in one block, read in one request.
        grid.nodes_ = allocateNodes(header);
        if (!grid.nodes_)
            return ReadError{
                formatMessage(
                    "error reading input file %s: a grid of %d x %d nodes does not fit in memory\n",
                    inputName, header.columnCount, header.rowCount),
                "the grid does not fit in memory"};
        if (auto error = readNext(input, inputName, grid.nodes_.get(), needed - kHeaderBytes,
                                  kHeaderBytes, needed))
            return error;
    }
    grid.input_ = &input;
    grid.inputName_ = inputName;
    grid.header_ = header;
    return std::nullopt;
}

std::optional<ReadError> GridReader::readNodes(std::uint64_t first, std::size_t count,
                                               float* nodes) const {
    if (nodes_) {
        std::copy_n(nodes_.get() + first, count, nodes);
        return std::nullopt;
    }
    // The file may have shrunk since it was measured.
    std::uint64_t offset = kHeaderBytes + first * sizeof(float);
    std::size_t got = 0;
    std::string reason;
    auto status = input_->readAt(offset, nodes, count * sizeof(float), got, reason);
    return outcome(status, inputName_, offset + got, expectedFileSize(header_), reason);
}

} // namespace brenzolt
