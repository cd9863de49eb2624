#include "app/run.h"

#include "app/batch.h"
#include "app/command_line.h"
#include "app/dialogue.h"
#include "app/help.h"
#include "app/node_lines.h"
#include "app/warnings.h"
#include "dsaa/dsaa.h"
#include "grid/grid.h"

#include <new>
#include <span>
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
        NodeFormat nodeFormat =
            selectNodeFormat(options.precision.value_or(words.size() == 3 ? words[2] : "-"));

        std::optional<InputFile> input = openInputAsking(console, names.input, mayAsk);
        if (!input)
            return kStatusFailed;
        console.print("record size in bytes: 4\n");
        GridReader grid;
        if (auto error = openGrid(*input, grid))
            return failReading(console, names.input, withSwapHint(*error, names.output));
        std::vector<Warning> warnings;
        warnOfPrecision(warnings, words, options.precision);
        warnOfGrid(warnings, names.input, names.output, grid, options.exactHeader);
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

int runConversion(std::vector<std::string> arguments, Console& console) {
    CommandLine line = readCommandLine(std::move(arguments));
    switch (line.asks) {
    case CommandLine::Asks::conversion:
        break;
    case CommandLine::Asks::batch:
        return runBatch(line, console);
    // Help and the version are all such a run does; an answer that could not be written is a
    // failure, as with any program whose output is its purpose.
    case CommandLine::Asks::help:
    case CommandLine::Asks::version:
        console.printForScripts(line.asks == CommandLine::Asks::help ? helpText() : versionText());
        return console.flush() ? kStatusConverted : kStatusFailed;
    // Nothing is read, asked or written: a mistyped option is no file name.
    case CommandLine::Asks::unknownOption:
    case CommandLine::Asks::misused:
        console.reportFailure(
            line.unknown, line.asks == CommandLine::Asks::misused ? line.misuse : "unknown option");
        console.moveToStandardError();
        console.printForScripts(kUsageWithOptions);
        return kStatusFailed;
    }
    console.print("converting a binary grid into an ASCII grid for GS-SURFER\n");
    return convert(line.words, line.options, console);
}

} // namespace brenzolt
