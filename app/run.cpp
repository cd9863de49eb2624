#include "app/run.h"

#include "app/dialogue.h"
#include "app/help.h"
#include "app/node_lines.h"
#include "dsaa/dsaa.h"
#include "grid/grid.h"

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

int failWriting(Console& console, const std::string& outputName, const OutputFile& output) {
    console.reportFailure(outputName, output.reason());
    console.print("error writing output file " + outputName + "\n");
    return kStatusFailed;
}

} // namespace

int runConversion(std::span<const char* const> arguments, Console& console) {
    // Help and the version are all a run does when asked for alone; an answer that could not
    // be written is a failure, as with any program whose output is its purpose.
    if (arguments.size() == 1)
        if (std::optional<std::string> answer = helpOrVersion(arguments[0])) {
            console.print(*answer);
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

        writeHeaderLines(output->text(), grid.header());
        std::optional<ReadError> error =
            writeNodeLines(output->text(), console, grid, nodeFormat, threadCountFromEnvironment());
        console.print("\n");
        if (error)
            return failReading(console, names.input, *error);
        input.reset();
        if (!output->finish())
            return failWriting(console, names.output, *output);
        return kStatusConverted;
    } catch (const std::bad_alloc&) {
        console.reportFailure(names.output, "too little memory to convert the grid");
        console.print("error writing output file " + names.output + "\n");
        return kStatusFailed;
    }
}

} // namespace brenzolt
