// libFuzzer target for the whole conversion, from memory to memory.
//
// Input: the first byte is the precision text, the rest is the binary grid
// file. The file goes into an anonymous in-memory file that is opened by name
// like any input (so the size check before allocating applies), the Surfer
// grid is written into a string, and the progress goes to /dev/null.
//
// The outcome is predicted independently of the reader: a file too short for
// its header or its grid, and negative counts, must give exactly their error
// message; everything else must convert into a well-formed grid whose fields
// read back as the node values, to within the precision of the node format.
#include "dsaa/dsaa.h"
#include "grid/grid.h"
#include "platform/platform.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace brenzolt;

constexpr const char* kInputName = "fuzz.grd";
// Zero columns with many rows converts into one empty line per row: valid, but
// gigabytes of output from 48 bytes of input. Such inputs are left out.
constexpr std::int32_t kMaxEmptyRows = 1 << 16;

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "convert_fuzzer: %s %s\n", what, detail.c_str());
    std::abort();
}

void check(bool condition, const char* what, const std::string& detail = "") {
    if (!condition)
        fail(what, detail);
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) { check(fd >= 0, "cannot obtain a descriptor"); }
    ~Descriptor() { ::close(fd_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

float littleEndianWord(const std::uint8_t* bytes) {
    std::uint32_t bits = 0;
    for (int i = 3; i >= 0; --i)
        bits = bits << 8 | bytes[i];
    float word;
    std::memcpy(&word, &bits, sizeof word);
    return word;
}

// Truncation toward zero; not a number or outside the 32-bit range gives the
// integer-indefinite value.
std::int32_t expectedCount(float word) {
    double w = word;
    if (!(w >= -2147483648.0 && w < 2147483648.0))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(std::trunc(w));
}

std::string shortInputMessage(std::uint64_t present, std::uint64_t needed) {
    return std::string("error reading input file ") + kInputName + ": it ends after " +
           std::to_string(present) + " of " + std::to_string(needed) + " bytes\n";
}

std::string invalidSizeMessage(std::int32_t columns, std::int32_t rows) {
    return std::string("error reading input file ") + kInputName + ": invalid grid size " +
           std::to_string(columns) + " x " + std::to_string(rows) + "\n";
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        std::size_t at = text.find(separator);
        if (at == std::string_view::npos) {
            parts.push_back(text);
            return parts;
        }
        parts.push_back(text.substr(0, at));
        text.remove_prefix(at + separator.size());
    }
}

// A number field as the C library reads it; the whole field must be used.
double parseField(std::string_view field) {
    std::string text(field);
    check(!text.empty(), "empty field");
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    check(end == text.c_str() + text.size(), "field is not a number:", text);
    return value;
}

// How far the text of `value` in `format` may lie from it: half a unit in the
// last written digit, with room for the rounding to 17 digits done first.
double tolerance(double value, NodeFormat format) {
    double slack = std::fabs(value) * 1e-15;
    if (format.kind == NumberKind::fixed)
        return 0.5 * std::pow(10.0, -format.digits) + slack;
    return 0.5 * std::pow(10.0, 1 - format.digits) * std::fabs(value) + slack;
}

void checkNumber(std::string_view field, double expected, NodeFormat format) {
    double read = parseField(field);
    if (std::isnan(expected)) {
        check(std::isnan(read), "not a number written as", std::string(field));
        return;
    }
    if (std::isinf(expected)) {
        check(read == expected, "infinity written as", std::string(field));
        return;
    }
    check(std::fabs(read - expected) <= tolerance(expected, format),
          "number off:", std::string(field) + " for " + std::to_string(expected));
}

// Single precision with a rounding at every step, as the header line demands.
float expectedHigh(float low, std::int32_t count, float spacing) {
    float steps = static_cast<float>(static_cast<double>(count) - 1.0);
    float span = steps * spacing;
    return span + low;
}

void checkPair(std::string_view line, float first, float second) {
    auto fields = split(line, "\t");
    check(fields.size() == 2, "header line without two fields:", std::string(line));
    checkNumber(fields[0], first, kPercentG);
    checkNumber(fields[1], second, kPercentG);
}

void checkNodeLine(std::string_view line, const float* nodes, std::int32_t columns, float threshold,
                   NodeFormat format, std::string_view blankText) {
    if (columns == 0) {
        check(line.empty(), "text on a line of zero columns");
        return;
    }
    auto fields = split(line, "\t");
    check(fields.size() == static_cast<std::size_t>(columns), "wrong number of fields");
    for (std::int32_t c = 0; c < columns; ++c) {
        float value = nodes[c];
        if (!(value > threshold)) {
            check(fields[c] == blankText, "blank node written as", std::string(fields[c]));
            continue;
        }
        check(fields[c].size() >= static_cast<std::size_t>(format.width),
              "field narrower than width");
        checkNumber(fields[c], value, format);
    }
}

void checkGrid(const std::string& text, const GridHeader& header, const Grid& grid,
               NodeFormat format) {
    check(text.size() >= 2 && text.ends_with("\r\n"), "output does not end with CR LF");
    // Every line feed comes with its CR, and no CR stands alone.
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n')
            check(i > 0 && text[i - 1] == '\r', "line feed without CR");
        if (text[i] == '\r')
            check(i + 1 < text.size() && text[i + 1] == '\n', "CR without line feed");
    }
    auto lines = split(std::string_view(text).substr(0, text.size() - 2), "\r\n");
    std::size_t rows = static_cast<std::size_t>(header.rowCount);
    check(lines.size() == 5 + rows, "wrong number of lines");
    check(lines[0] == "DSAA", "first line is not DSAA");
    check(lines[1] == std::to_string(header.columnCount) + "\t" + std::to_string(header.rowCount),
          "wrong counts line:", std::string(lines[1]));
    const auto& w = header.words;
    checkPair(lines[2], w[3], expectedHigh(w[3], header.columnCount, w[5]));
    checkPair(lines[3], w[4], expectedHigh(w[4], header.rowCount, w[5]));
    checkPair(lines[4], w[8], w[9]);
    // The last row of the file comes first.
    for (std::size_t i = 0; i < rows; ++i)
        checkNodeLine(lines[5 + i], grid.row(header.rowCount - static_cast<std::int32_t>(i)),
                      header.columnCount, w[6], format, "1.70141e+038");
}

// Converts one input and checks the outcome; false for an input left out.
bool convert(const std::uint8_t* data, std::size_t size) {
    std::string precisionText(1, static_cast<char>(data[0]));
    const std::uint8_t* file = data + 1;
    std::size_t fileSize = size - 1;

    Descriptor memory(memfd_create("fuzz-grid", MFD_CLOEXEC));
    check(fileSize == 0 || ::write(memory.get(), file, fileSize) == static_cast<ssize_t>(fileSize),
          "cannot fill the in-memory file");
    auto input = openInputFile("/proc/self/fd/" + std::to_string(memory.get()));
    check(input.has_value(), "in-memory file does not open");
    // Without a known size the reader could not refuse a huge grid up front.
    check(input->regularFileSize() == fileSize, "in-memory file is not a regular file");

    // The expected outcome, from the bytes alone.
    std::optional<std::string> expectedError;
    if (fileSize < kHeaderBytes) {
        expectedError = shortInputMessage(fileSize, kHeaderBytes);
    } else {
        std::int32_t columns = expectedCount(littleEndianWord(file));
        std::int32_t rows = expectedCount(littleEndianWord(file + 4));
        std::uint64_t needed = kHeaderBytes + 4 * static_cast<std::uint64_t>(columns) *
                                                  static_cast<std::uint64_t>(rows);
        if (columns < 0 || rows < 0)
            expectedError = invalidSizeMessage(columns, rows);
        else if (fileSize < needed)
            expectedError = shortInputMessage(fileSize, needed);
        else if (columns == 0 && rows > kMaxEmptyRows)
            return false;
    }

    GridHeader header;
    Grid grid;
    auto error = readGrid(*input, kInputName, header, grid);
    input.reset();
    if (expectedError) {
        check(error.has_value(), "converted, expected", *expectedError);
        check(error->message == *expectedError, "wrong message:", error->message);
        check(grid.nodeCount() == 0, "grid kept after a failed read");
        return true;
    }
    check(!error.has_value(), "failed to read:", error ? error->message : "");

    NodeFormat format = selectNodeFormat(precisionText);
    Descriptor devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    Console console(devNull.get(), devNull.get());
    std::string text;
    {
        TextWriter sink(text);
        writeSurferGrid(sink, console, header, grid, format);
        check(sink.flush(), "writing into memory failed");
    }
    checkGrid(text, header, grid, format);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // -1 keeps an input out of the corpus. Without a precision byte there is
    // nothing the other inputs do not cover.
    return size > 0 && convert(data, size) ? 0 : -1;
}
