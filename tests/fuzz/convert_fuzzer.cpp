// libFuzzer target for the conversion from memory to memory. The first byte is the precision
// text, the rest the grid file. Every input must end in one of the reader's messages, or in a
// Surfer grid of rows + 5 lines whose node lines hold one field per column; and in no crash
// or sanitizer report on the way.
#include "app/node_lines.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <regex>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace brenzolt;
    if (size == 0)
        return -1; // keeps the input out of the corpus
    // Opened by name like any input file, so that the size check applies.
    int memory = memfd_create("grid", MFD_CLOEXEC);
    if (write(memory, data + 1, size - 1) != static_cast<ssize_t>(size - 1))
        std::abort();
    std::string reason;
    std::optional<InputFile> input =
        openInputFile("/proc/self/fd/" + std::to_string(memory), reason);
    close(memory);
    GridReader grid;
    if (auto error = openGrid(*input, grid)) {
        static const std::regex kKnown("(it ends after \\d+ of \\d+ bytes|not a binary grid file: "
                                       "(it is .+|its header gives a grid of \\S+ x \\S+ nodes))?");
        if (!std::regex_match(error->detail, kKnown))
            std::abort();
        return 0;
    }
    const GridHeader& header = grid.header();
    headerCornerShift(header); // for the sanitizers, whatever the header's numbers
    int output = memfd_create("text", MFD_CLOEXEC), devNull = open("/dev/null", O_WRONLY);
    {
        Console console(devNull, -1);
        TextWriter file(output);
        writeHeaderLines(file, header);
        NodeFormat format = selectNodeFormat(std::string(1, char(data[0])));
        if (writeNodeLines(file, console, grid, format, 1) || !file.flush())
            std::abort();
    }
    std::string text(static_cast<std::size_t>(lseek(output, 0, SEEK_END)), '\0');
    if (pread(output, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        !text.ends_with("\r\n"))
        std::abort();
    close(output);
    close(devNull);
    long lines = 0, tabs = header.columnCount - 1;
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        if (++lines > 5 && std::count(&text[at], &text[end], '\t') != tabs)
            std::abort();
    if (lines != header.rowCount + 5)
        std::abort();
    return 0;
}
