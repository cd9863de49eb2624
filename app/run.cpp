#include "app/run.h"

#include "dsaa/dsaa.h"
#include "grid/grid.h"

namespace brenzolt {

namespace {

// The node lines, lowest row (last in the file) first, with one dot per row.
// A failed write (a full disk) ends the rows at once: nothing more of this
// file can reach the disk.
void writeRows(TextWriter& file, Console& console, const GridHeader& header, const Grid& grid,
               NodeFormat nodeFormat) {
    for (std::int32_t r = grid.rowCount() - 1; r >= 0 && !file.failed(); --r) {
        writeNodeLine(file, grid.row(r), header, nodeFormat);
        console.progressDot();
    }
    console.print("\n");
}

int failWriting(Console& console, const std::string& outputName, const OutputFile& output) {
    console.reportFailure(outputName, output.reason());
    console.print("error writing output file " + outputName + "\n");
    return kStatusFailed;
}

} // namespace

int runConversion(std::span<const char* const> arguments, Console& console) {
    console.print("converting a binary grid into an ASCII grid for GS-SURFER\n");
    FileNames names =
        arguments.size() >= 2 ? FileNames{arguments[0], arguments[1]} : askForNames(console);
    // A fourth argument takes the precision with it: the default applies.
    NodeFormat nodeFormat = selectNodeFormat(arguments.size() == 3 ? arguments[2] : "-");

    std::optional<InputFile> input = openInputAsking(console, names.input);
    if (!input)
        return kStatusFailed;
    std::optional<OutputFile> output = openOutputAsking(console, names.output, *input);
    if (!output)
        return kStatusFailed;

    console.print("record size in bytes: 4\n");
    GridHeader header;
    Grid grid;
    if (auto error = readGrid(*input, names.input, header, grid)) {
        console.reportFailure(names.input, error->reason);
        console.print(error->message); // the output is dropped as it was
        return kStatusFailed;
    }
    input.reset();

    // Only now, with the grid read and checked, may an old output written
    // in place be given up.
    if (!output->begin())
        return failWriting(console, names.output, *output);
    writeHeaderLines(output->text(), header);
    writeRows(output->text(), console, header, grid, nodeFormat);
    grid = Grid();
    if (!output->finish())
        return failWriting(console, names.output, *output);
    return kStatusConverted;
}

} // namespace brenzolt
