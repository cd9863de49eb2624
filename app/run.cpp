#include "app/run.h"

#include "app/dialogue.h"
#include "app/help.h"
#include "app/node_lines.h"
#include "dsaa/dsaa.h"
#include "grid/grid.h"

#include <cmath>
#include <cstdio>
#include <new>

namespace brenzolt {

namespace {

// The console names what the reader found wrong, when it found more than a
// failed read; standard error says the same, or gives the system's reason.
int failReading(Console& console, const std::string& inputName, const ReadError& error) {
    bool found = !error.detail.empty();
    console.reportFailure(inputName, found ? error.detail : error.systemReason);
    console.print("error reading input file " + inputName + (found ? ": " + error.detail : "") +
                  "\n");
    return kStatusFailed;
}

int failWriting(Console& console, const std::string& outputName, const std::string& reason) {
    console.reportFailure(outputName, reason);
    console.print("error writing output file " + outputName + "\n");
    return kStatusFailed;
}

// A precision text that is more than a code, or one that more arguments set aside.
void warnOfPrecision(Console& console, std::span<const std::string> arguments) {
    if (arguments.size() < 3)
        return;
    std::string subject = "precision \"" + arguments[2] + "\"";
    if (arguments.size() > 3)
        console.warn(subject, "ignored with more than three arguments: " +
                                  nodeFormatWords(selectNodeFormat("-")));
    else if (std::optional<std::string> note = precisionTextNote(arguments[2]))
        console.warn(subject, *note);
}

// Corners that the header's six significant digits move by more than a tenth of the node
// spacing place the grid elsewhere for its readers.
void warnOfCorners(Console& console, const std::string& outputName, const GridHeader& header) {
    CornerShift shift = headerCornerShift(header);
    double tolerance = std::fabs(static_cast<double>(header.spacing)) / 10;
    if (shift.x <= tolerance && shift.y <= tolerance)
        return;
    char text[200];
    std::snprintf(text, sizeof text,
                  "the header's coordinates have six significant digits: the grid's corners move "
                  "by up to %g in x and %g in y (node spacing %g)",
                  shift.x, shift.y, static_cast<double>(header.spacing));
    console.warn(outputName, text);
}

} // namespace

int runConversion(std::span<const std::string> arguments, Console& console) {
    // Help and the version are all a run does when asked for alone; an answer that could not
    // be written is a failure, as with any program whose output is its purpose.
    if (arguments.size() == 1)
        if (std::optional<std::string> answer = helpOrVersion(arguments[0])) {
            console.printForScripts(*answer);
            return console.flush() ? kStatusConverted : kStatusFailed;
        }
    console.print("converting a binary grid into an ASCII grid for GS-SURFER\n");
    FileNames names;
    // Too little memory for the buffers or even one block of text: the run
    // ends as for a failed write, and the output is dropped as it was.
    try {
        names =
            arguments.size() >= 2 ? FileNames{arguments[0], arguments[1]} : askForNames(console);
        // A fourth argument takes the precision with it: the default applies.
        NodeFormat nodeFormat = selectNodeFormat(arguments.size() == 3 ? arguments[2] : "-");
        warnOfPrecision(console, arguments);

        std::optional<InputFile> input = openInputAsking(console, names.input);
        if (!input)
            return kStatusFailed;
        std::optional<OutputFile> output = openOutputAsking(console, names.output, *input);
        if (!output)
            return kStatusFailed;

        console.print("record size in bytes: 4\n");
        GridReader grid;
        if (auto error = openGrid(*input, grid))
            return failReading(console, names.input, *error); // the output is dropped as it was

        warnOfCorners(console, names.output, grid.header());
        writeHeaderLines(output->text(), grid.header());
        std::optional<ReadError> error =
            writeNodeLines(output->text(), console, grid, nodeFormat, threadCountFromEnvironment());
        console.print("\n");
        if (error)
            return failReading(console, names.input, *error);
        input.reset();
        std::string reason;
        if (!output->finish(reason))
            return failWriting(console, names.output, reason);
        return kStatusConverted;
    } catch (const std::bad_alloc&) {
        console.reportFailure(names.output, "too little memory to convert the grid");
        console.print("error writing output file " + names.output + "\n");
        return kStatusFailed;
    }
}

} // namespace brenzolt
