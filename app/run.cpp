#include "app/run.h"

#include "app/command_line.h"
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

// An input that is no binary grid, and an output that is one: most often the names were given
// the wrong way round.
ReadError withSwapHint(ReadError error, const std::string& outputName) {
    const std::string hint = " (are the two names swapped?)";
    if (error.detail.empty() || error.detail.ends_with(hint) || outputName == "-")
        return error;
    std::optional<InputFile> output = openRegularFile(outputName);
    if (output && holdsBinaryGrid(*output))
        error.detail += hint;
    return error;
}

std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

struct Warning {
    std::string subject;
    std::string text;
};

// A precision text that is more than a code, or one that more arguments set aside.
void warnOfPrecision(std::vector<Warning>& warnings, std::span<const std::string> words) {
    if (words.size() < 3)
        return;
    std::string subject = "precision \"" + words[2] + "\"";
    if (words.size() > 3)
        warnings.push_back({subject, "ignored with more than three arguments: " +
                                         nodeFormatWords(selectNodeFormat("-"))});
    else if (std::optional<std::string> note = precisionTextNote(words[2]))
        warnings.push_back({subject, *note});
}

// A reader places the grid where the header's six-digit texts say, and computes its node
// spacing from them: a corner or a spacing off by more than a thousandth of the spacing
// misplaces the grid among others of its spacing. A spacing of 0 or below gives nothing to
// measure by, and says so itself: the text grid's ranges are points, or run backwards.
void warnOfPlacement(std::vector<Warning>& warnings, const FileNames& names,
                     const GridHeader& header, bool exactHeader) {
    double spacing = static_cast<double>(header.spacing);
    if (!(spacing > 0)) {
        warnings.push_back(
            {names.input, spacing == 0 ? "its node spacing is 0: the text grid's ranges are "
                                         "single points, where readers find no grid"
                                       : "its node spacing is " + numberText(spacing) +
                                             ", below 0: the text grid's ranges run backwards, "
                                             "where readers find a mirrored grid or none"});
        return;
    }
    double tolerance = std::fabs(spacing) / 1000;
    HeaderAsRead read = headerAsRead(header);
    if (exactHeader || (read.shiftX <= tolerance && read.shiftY <= tolerance &&
                        !(std::fabs(read.spacingX - spacing) > tolerance) &&
                        !(std::fabs(read.spacingY - spacing) > tolerance)))
        return;
    char text[300];
    std::snprintf(text, sizeof text,
                  "the header's coordinates have six significant digits: a reader moves the "
                  "grid's corners by up to %g in x and %g in y, and reads its node spacing of %g "
                  "as %g in x and %g in y; --exact-header writes them exactly",
                  read.shiftX, read.shiftY, spacing, read.spacingX, read.spacingY);
    warnings.push_back({names.output, text});
}

// What the run warns of before it writes. An input with at least one row after its grid is
// most often a raster without the header, whose first nodes were taken for one.
std::vector<Warning> warningsOf(std::span<const std::string> words, const FileNames& names,
                                const GridReader& grid, bool exactHeader) {
    std::vector<Warning> warnings;
    warnOfPrecision(warnings, words);
    if (grid.surplusBytes() >= kRecordSize * std::uint64_t(grid.header().columnCount))
        warnings.push_back({names.input, std::to_string(grid.surplusBytes()) +
                                             " bytes after the grid are not read: is the "
                                             "48-byte header missing?"});
    warnOfPlacement(warnings, names, grid.header(), exactHeader);
    return warnings;
}

// The conversion itself, from names on the command line or from the dialogue. The input's
// header is read and checked, and every warning given, before the output is opened: a grid
// that is refused leaves the output as it was, and no file is made.
int convert(std::span<const std::string> words, const ConversionOptions& options,
            Console& console) {
    // Names from the command line are asked for again only where someone can answer: elsewhere
    // a script's next line would be taken for a name.
    bool fromCommandLine = words.size() >= 2;
    bool mayAsk = !fromCommandLine || console.isInteractive();
    if (!fromCommandLine && !console.questionsSeen()) {
        console.reportFailure(words.empty() ? "input file" : "output file",
                              "not named, and nobody would see a question for it: only standard "
                              "input is a terminal");
        return kStatusFailed;
    }
    FileNames names;
    // Too little memory for the buffers or even one block of text: the run
    // ends as for a failed write, and the output is dropped as it was.
    try {
        names = fromCommandLine ? FileNames{words[0], words[1]} : askForNames(console);
        // A fourth argument takes the precision with it: the default applies.
        NodeFormat nodeFormat = selectNodeFormat(words.size() == 3 ? words[2] : "-");

        std::optional<InputFile> input = openInputAsking(console, names.input, mayAsk);
        if (!input)
            return kStatusFailed;
        console.print("record size in bytes: 4\n");
        GridReader grid;
        if (auto error = openGrid(*input, grid))
            return failReading(console, names.input, withSwapHint(*error, names.output));
        std::vector<Warning> warnings = warningsOf(words, names, grid, options.exactHeader);
        for (const Warning& warning : warnings)
            console.warn(warning.subject, warning.text);
        if (options.strict && !warnings.empty()) {
            console.reportFailure(names.output, "not written: --strict ends the run at a warning");
            console.print("not converted: --strict ends the run at a warning\n");
            return kStatusFailed;
        }
        std::optional<OutputFile> output =
            openOutputAsking(console, names.output, *input, mayAsk, !fromCommandLine);
        if (!output)
            return kStatusFailed;
        if (auto error = grid.readWholeFromPipe())
            return failReading(console, names.input, *error); // the output is dropped as it was

        writeHeaderLines(output->text(), grid.header(), options.exactHeader);
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
        return failWriting(console, names.output, "too little memory to convert the grid");
    }
}

} // namespace

int runConversion(std::span<const std::string> arguments, Console& console) {
    CommandLine line = readCommandLine(arguments);
    switch (line.asks) {
    case CommandLine::Asks::conversion:
        break;
    // Help and the version are all such a run does; an answer that could not be written is a
    // failure, as with any program whose output is its purpose.
    case CommandLine::Asks::help:
    case CommandLine::Asks::version:
        console.printForScripts(line.asks == CommandLine::Asks::help ? helpText() : versionText());
        return console.flush() ? kStatusConverted : kStatusFailed;
    // Nothing is read, asked or written: a mistyped option is no file name.
    case CommandLine::Asks::unknownOption:
        console.reportFailure(line.unknown, "unknown option");
        console.moveToStandardError();
        console.printForScripts(kUsageWithOptions);
        return kStatusFailed;
    }
    console.print("converting a binary grid into an ASCII grid for GS-SURFER\n");
    return convert(line.words, line.options, console);
}

} // namespace brenzolt
