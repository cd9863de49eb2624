#include "app/dialogue.h"

#include "app/help.h"
#include "grid/grid.h"

namespace brenzolt {

namespace {

// Reports the failed open of `name` and, where `mayAsk`, asks for another; false when the
// answer is empty or none is asked for.
bool askAgain(Console& console, const char* what, std::string& name, bool mayAsk) {
    // Both lines end in CR CR LF: the text's own "\r\n", whose '\n' the
    // console writes as CR LF like every other.
    console.print("error opening " + std::string(what) + " file " + name + " \r\n");
    if (!mayAsk)
        return false;
    console.print("please enter " + std::string(what) + " file name: ");
    name = console.readAnswer();
    if (name.empty())
        return false;
    console.print("\r\n");
    return true;
}

std::optional<InputFile> openInput(Console& console, const std::string& name) {
    std::string reason;
    std::optional<InputFile> input =
        name == "-" ? openStandardInput(reason) : openInputFile(name, reason);
    if (!input)
        console.reportFailure(name, reason);
    else // standard input named as the input holds the grid, not answers
        console.takeNoAnswersFrom(input->descriptor());
    return input;
}

std::optional<OutputFile> openOutputOtherThan(Console& console, const std::string& name,
                                              const InputFile& input) {
    std::string reason;
    int consoleOutput = console.outputDescriptor();
    std::optional<OutputFile> output = name == "-" ? openStandardOutput(consoleOutput, reason)
                                                   : openOutputFile(name, consoleOutput, reason);
    // Writing over the input would destroy it before it is read; a binary grid named as the
    // output is most often a source grid that a slip or a stray answer named.
    if (output && output->isSameFileAs(input)) {
        output.reset();
        reason = "is the input file";
    } else if (output && name != "-") {
        std::string ignored;
        std::optional<InputFile> old = openInputFile(name, ignored);
        if (old && output->isSameFileAs(*old) && holdsBinaryGrid(*old)) {
            output.reset();
            reason = "is a binary grid file: it is not replaced by a text grid; name another "
                     "output, or remove it first";
        }
    }
    if (!output)
        console.reportFailure(name, reason);
    else if (output->isConsoleOutput())
        console.moveToStandardError();
    return output;
}

} // namespace

FileNames askForNames(Console& console) {
    FileNames names;
    console.print("\n");
    console.print(kUsageLine);
    console.print("\n");
    console.print("\ninput file : ");
    names.input = console.readAnswer();
    console.print("\noutput file : ");
    names.output = console.readAnswer();
    console.print("\n");
    return names;
}

std::optional<InputFile> openInputAsking(Console& console, std::string& name, bool mayAsk) {
    std::optional<InputFile> input = openInput(console, name);
    while (!input && askAgain(console, "input", name, mayAsk))
        input = openInput(console, name);
    return input;
}

std::optional<OutputFile> openOutputAsking(Console& console, std::string& name,
                                           const InputFile& input, bool mayAsk) {
    std::optional<OutputFile> output = openOutputOtherThan(console, name, input);
    while (!output && askAgain(console, "output", name, mayAsk))
        output = openOutputOtherThan(console, name, input);
    return output;
}

} // namespace brenzolt
