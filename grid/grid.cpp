#include "grid/grid.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <string_view>
#include <utility>

namespace brenzolt {

namespace {

ReadError shortInput(std::uint64_t present, std::uint64_t needed) {
    return ReadError{"it ends after " + std::to_string(present) + " of " + std::to_string(needed) +
                         " bytes",
                     ""};
}

// What a read of the bytes up to `needed` came to: nothing when complete.
// `present` is how much of them the file holds when it ended early.
std::optional<ReadError> errorOfRead(InputFile::ReadStatus status, std::uint64_t present,
                                     std::uint64_t needed, const std::string& reason) {
    switch (status) {
    case InputFile::ReadStatus::complete:
        return std::nullopt;
    case InputFile::ReadStatus::endOfFile:
        return shortInput(present, needed);
    case InputFile::ReadStatus::error:
        break;
    }
    return ReadError{"", reason};
}

// Reads the next `size` bytes, which start at `offset`, or says why not.
std::optional<ReadError> readNext(const InputFile& input, void* buffer, std::size_t size,
                                  std::uint64_t offset, std::uint64_t needed) {
    std::size_t got = 0;
    std::string reason;
    auto status = input.read(buffer, size, got, reason);
    return errorOfRead(status, offset + got, needed, reason);
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

std::string numberText(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

// A count as the header word holds it: the truncated count, or the word
// itself where it is no count at all (not a number, or out of range).
std::string countText(float word) {
    return isCountWord(word) ? std::to_string(countFromWord(word)) : numberText(word);
}

// The first of the spacing and the corners that is not a finite number, in words ("node
// spacing is nan"); nothing when every one is. A far corner can overflow on its own.
std::optional<std::string> placeNotFinite(const GridHeader& header) {
    float xHigh = rangeHigh(header.xMin, header.columnCount, header.spacing);
    float yHigh = rangeHigh(header.yMin, header.rowCount, header.spacing);
    auto sum = [&](float low, std::int32_t count) {
        return " (" + numberText(low) + " + " + std::to_string(count - 1) + " x " +
               numberText(header.spacing) + ")";
    };
    const std::pair<std::string, float> fields[] = {
        {"node spacing", header.spacing},
        {"lowest x", header.xMin},
        {"lowest y", header.yMin},
        {"highest x" + sum(header.xMin, header.columnCount), xHigh},
        {"highest y" + sum(header.yMin, header.rowCount), yHigh}};
    for (const auto& [field, value] : fields)
        if (!std::isfinite(value))
            return field + " is " + numberText(value);
    return std::nullopt;
}

// The first bytes of other files that grids are kept in, as a grid's first header words
// would hold them: each reads as a count that no grid writer gives (a fraction, or below 1).
struct Signature {
    std::string_view bytes;
    const char* what;
};
constexpr Signature kForeignSignatures[] = {
    {"DSAA", "a Surfer ASCII grid (are the two names swapped?)"},
    {"DSBB", "a Surfer 6 binary grid"},
    {"DSRB", "a Surfer 7 binary grid"},
    {{"II*\0", 4}, "a TIFF file"},
    {{"MM\0*", 4}, "a TIFF file"},
    {"CDF\x01", "a netCDF file"},
    {"CDF\x02", "a netCDF file"},
    {"CDF\x05", "a netCDF file"},
    {"\x89HDF\r\n\x1a\n", "an HDF5 file (such as a netCDF-4 file)"},
    {"PK\x03\x04", "a zip archive"},
    {"\x1f\x8b\x08", "a gzip-compressed file"},
};

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

std::optional<ReadError> openGrid(InputFile& input, GridReader& grid) {
    grid = GridReader();
    std::optional<std::uint64_t> fileSize = input.regularFileSize();
    // 1. The twelve header words, little-endian as this machine is. Another kind
    //    of file is named where its first bytes say what it is, however short it
    //    is and whatever its counts read as (a Surfer 6 grid of 16256 rows or more
    //    reads as 48 columns and a few rows).
    float words[kHeaderWords];
    std::size_t got = 0;
    std::string reason;
    auto status = input.read(words, sizeof words, got, reason);
    std::string_view first(reinterpret_cast<const char*>(words), got);
    for (const Signature& signature : kForeignSignatures)
        if (first.starts_with(signature.bytes))
            return ReadError{std::string("not a binary grid file: it is ") + signature.what, "",
                             true};
    if (auto error = errorOfRead(status, got, kHeaderBytes, reason)) {
        error->noGrid = status == InputFile::ReadStatus::endOfFile;
        return error;
    }
    // 2. Counts that give no node, shown as the file holds them.
    GridHeader header = headerFromWords(words);
    if (header.columnCount < 1 || header.rowCount < 1)
        return ReadError{"not a binary grid file: its header gives a grid of " +
                             countText(words[0]) + " x " + countText(words[1]) + " nodes",
                         "", true};
    // 3. A spacing or a corner that is no finite number: the text grid would place its nodes
    //    nowhere a reader can go.
    if (std::optional<std::string> field = placeNotFinite(header))
        return ReadError{"not a binary grid file: its " + *field, "", true};
    // 4. A regular file too short for its counts fails at once; its nodes
    //    are read later, where they lie.
    std::uint64_t needed = expectedFileSize(header);
    if (fileSize && *fileSize < needed)
        return shortInput(*fileSize, needed);
    grid.input_ = &input;
    grid.header_ = header;
    grid.piped_ = !fileSize;
    grid.surplus_ = fileSize ? *fileSize - needed : 0;
    return std::nullopt;
}

std::optional<ReadError> GridReader::readWholeFromPipe() {
    if (!piped_ || nodes_)
        return std::nullopt;
    // The grid in one block, read in one request.
    nodes_ = allocateNodes(header_);
    if (!nodes_)
        return ReadError{"a grid of " + std::to_string(header_.columnCount) + " x " +
                             std::to_string(header_.rowCount) + " nodes does not fit in memory",
                         ""};
    std::uint64_t needed = expectedFileSize(header_);
    return readNext(*input_, nodes_.get(), needed - kHeaderBytes, kHeaderBytes, needed);
}

bool holdsBinaryGrid(const InputFile& file) {
    float words[kHeaderWords];
    std::size_t got = 0;
    std::string reason;
    std::optional<std::uint64_t> size = file.regularFileSize();
    if (!size || file.read(words, sizeof words, got, reason, 0) != InputFile::ReadStatus::complete)
        return false;
    GridHeader header = headerFromWords(words);
    if (header.columnCount < 1 || header.rowCount < 1)
        return false;
    std::uint64_t needed = expectedFileSize(header);
    return *size >= needed && *size - needed <= kRecordSize * std::uint64_t(header.columnCount);
}

float rangeHigh(float low, std::int32_t count, float spacing) noexcept {
    float steps = static_cast<float>(static_cast<std::int64_t>(count) - 1);
    float span = steps * spacing;
    return span + low;
}

std::optional<ReadError> GridReader::readNodes(std::uint64_t first, std::size_t count,
                                               float* nodes) const {
    if (nodes_) {
        std::copy_n(nodes_.get() + first, count, nodes);
        return std::nullopt;
    }
    // The file may have shrunk since it was measured. Blocks are read from
    // the file's end towards its start, so a read that finds the end usually
    // starts past it: the file's size then says how much is left, the end
    // of the read only where the file has grown again since.
    std::uint64_t offset = kHeaderBytes + first * sizeof(float);
    std::size_t got = 0;
    std::string reason;
    auto status = input_->read(nodes, count * sizeof(float), got, reason, std::int64_t(offset));
    std::uint64_t present = offset + got;
    if (status == InputFile::ReadStatus::endOfFile)
        present = std::min(input_->regularFileSize().value_or(present), present);
    return errorOfRead(status, present, expectedFileSize(header_), reason);
}

bool GridReader::readAhead(std::uint64_t first, std::uint64_t count) const {
    // A length of 0 means "to the end" to some systems.
    return !nodes_ && (count == 0 || input_->readAhead(kHeaderBytes + first * sizeof(float),
                                                       count * sizeof(float)));
}

} // namespace brenzolt
