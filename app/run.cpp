#include "app/run.h"

#include "app/dialogue.h"
#include "app/help.h"
#include "app/node_lines.h"
#include "dsaa/dsaa.h"
#include "grid/grid.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

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

// The words of a run's arguments that are names and the precision, and its options, which come
// before "--" ("--exact-header").
struct Request {
    std::vector<std::string> words;
    bool exactHeader = false;
};

Request requestOf(std::span<const std::string> arguments) {
    Request request;
    bool options = true;
    for (const std::string& argument : arguments) {
        if (options && argument == "--")
            options = false;
        else if (options && argument == "--exact-header")
            request.exactHeader = true;
        else
            request.words.push_back(argument);
    }
    return request;
}

// A precision text that is more than a code, or one that more arguments set aside.
void warnOfPrecision(Console& console, std::span<const std::string> words) {
    if (words.size() < 3)
        return;
    std::string subject = "precision \"" + words[2] + "\"";
    if (words.size() > 3)
        console.warn(subject, "ignored with more than three arguments: " +
                                  nodeFormatWords(selectNodeFormat("-")));
    else if (std::optional<std::string> note = precisionTextNote(words[2]))
        console.warn(subject, *note);
}

// A reader places the grid where the header's six-digit texts say, and computes its node
// spacing from them: a corner or a spacing off by more than a thousandth of the spacing
// misplaces the grid among others of its spacing. A spacing that is no positive number gives
// nothing to measure by.
void warnOfPlacement(Console& console, const std::string& outputName, const GridHeader& header) {
    double spacing = static_cast<double>(header.spacing);
    double tolerance = std::fabs(spacing) / 1000;
    HeaderAsRead read = headerAsRead(header);
    if (!std::isfinite(tolerance) || tolerance == 0 ||
        (read.shiftX <= tolerance && read.shiftY <= tolerance &&
         !(std::fabs(read.spacingX - spacing) > tolerance) &&
         !(std::fabs(read.spacingY - spacing) > tolerance)))
        return;
    char text[300];
    std::snprintf(text, sizeof text,
                  "the header's coordinates have six significant digits: a reader moves the "
                  "grid's corners by up to %g in x and %g in y, and its node spacing of %g to %g "
                  "in x and %g in y; --exact-header writes them exactly",
                  read.shiftX, read.shiftY, spacing, read.spacingX, read.spacingY);
    console.warn(outputName, text);
}

// An input with at least one row after its grid is most often a raster without the header,
// whose first nodes were taken for one.
void warnOfSurplus(Console& console, const std::string& inputName, const GridReader& grid) {
    if (grid.surplusBytes() >= kRecordSize * std::uint64_t(grid.header().columnCount))
        console.warn(inputName, std::to_string(grid.surplusBytes()) +
                                    " bytes after the grid are not read: is the 48-byte header "
                                    "missing?");
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
    Request request = requestOf(arguments);
    std::span<const std::string> words = request.words;
    // Names from the command line are asked for again only where someone can answer: elsewhere
    // a script's next line would be taken for a name.
    bool fromCommandLine = words.size() >= 2;
    bool mayAsk = !fromCommandLine || console.isInteractive();
    FileNames names;
    // Too little memory for the buffers or even one block of text: the run
    // ends as for a failed write, and the output is dropped as it was.
    try {
        names = fromCommandLine ? FileNames{words[0], words[1]} : askForNames(console);
        // A fourth argument takes the precision with it: the default applies.
        NodeFormat nodeFormat = selectNodeFormat(words.size() == 3 ? words[2] : "-");
        warnOfPrecision(console, words);

        std::optional<InputFile> input = openInputAsking(console, names.input, mayAsk);
        if (!input)
            return kStatusFailed;
        std::optional<OutputFile> output = openOutputAsking(console, names.output, *input, mayAsk);
        if (!output)
            return kStatusFailed;

        console.print("record size in bytes: 4\n");
        GridReader grid;
        if (auto error = openGrid(*input, grid))
            return failReading(console, names.input, *error); // the output is dropped as it was

        warnOfSurplus(console, names.input, grid);
        if (!request.exactHeader)
            warnOfPlacement(console, names.output, grid.header());
        writeHeaderLines(output->text(), grid.header(), request.exactHeader);
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
