#include "app/run.h"

#include "dsaa/dsaa.h"

namespace brenzolt {

namespace {

bool obtainFiles(std::span<const char* const> arguments, RunState& run) {
    if (arguments.size() >= 2) {
        run.inputName = arguments[0];
        run.outputName = arguments[1];
    } else {
        askForNames(run);
    }
    run.input = openInputFile(run.inputName);
    if (!run.input && !retryInput(run))
        return false;
    return openOutput(run) || retryOutput(run);
}

int failWriting(RunState& run) {
    run.output.reset(); // removes what this run created or began
    run.console.print("error writing output file " + run.outputName + "\n");
    return kStatusFailed;
}

} // namespace

int runConversion(std::span<const char* const> arguments, RunState& run) {
    run.console.print("converting a binary grid into an ASCII grid for GS-SURFER\n");
    if (!obtainFiles(arguments, run))
        return kStatusFailed;
    if (arguments.size() == 3)
        run.precisionText = arguments[2];
    run.nodeFormat = selectNodeFormat(run.precisionText);

    run.console.print("record size in bytes: 4\n");
    if (auto error = readGrid(*run.input, run.inputName, run.header, run.grid)) {
        run.output.reset(); // an existing output is left as it was
        run.console.print(error->message);
        return kStatusFailed;
    }
    run.input.reset();

    // Only now, with the grid read and checked, is the old output given up.
    if (!run.output->begin())
        return failWriting(run);
    writeSurferGrid(run.output->text(), run.console, run.header, run.grid, run.nodeFormat);
    run.grid.release();
    bool written = run.output->finish();
    run.output.reset();
    if (!written)
        return failWriting(run);
    return kStatusConverted;
}

} // namespace brenzolt
