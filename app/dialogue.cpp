#include "app/run.h"

namespace brenzolt {

void askForNames(RunState& run) {
    run.console.print("\n");
    run.console.print("usage: brenzolt <binary file> <Surfer-Ascii-file> [<precision>]\n");
    run.console.print("\n");
    run.console.print("\ninput file : ");
    run.inputName = run.console.readAnswer();
    run.console.print("\noutput file : ");
    run.outputName = run.console.readAnswer();
    run.console.print("\n");
}

namespace {

// Reports the failed open of `name`, asks for another and stores it; false
// when the answer is empty.
bool askAgain(Console& console, const char* what, std::string& name) {
    console.print("error opening ");
    console.print(what);
    console.print(" file ");
    console.print(name);
    console.print(" \r\n");
    console.print("please enter ");
    console.print(what);
    console.print(" file name: ");
    name = console.readAnswer();
    if (name.empty())
        return false;
    console.print("\r\n");
    return true;
}

} // namespace

bool retryInput(RunState& run) {
    do {
        if (!askAgain(run.console, "input", run.inputName))
            return false;
        run.input = openInputFile(run.inputName);
    } while (!run.input);
    return true;
}

bool openOutput(RunState& run) {
    run.output = openOutputFile(run.outputName);
    // Writing over the input would destroy it before it is read.
    if (run.output && run.input && run.output->isSameFileAs(*run.input))
        run.output.reset();
    return run.output.has_value();
}

bool retryOutput(RunState& run) {
    do {
        if (!askAgain(run.console, "output", run.outputName))
            return false;
    } while (!openOutput(run));
    return true;
}

} // namespace brenzolt
