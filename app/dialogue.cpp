#include "app/dialogue.h"

#include "app/help.h"
#include "grid/grid.h"

namespace brenzolt {

namespace {

// Reports the failed open of `name` and, where `mayAsk`, asks for another; false when the
// answer is empty or none is asked for.
bool askAgain(Console& console, const std::string& what, std::string& name, bool mayAsk) {
    // Both lines end in CR CR LF: the text's own "\r\n", whose '\n' the
    // console writes as CR LF like every other.
    std::string failed = "error opening " + what + " file " + name + " \r\n";
    if (!mayAsk) {
        console.print(failed);
        return false;
    }
    console.printDialogue(failed + "please enter " + what + " file name: ");
    name = console.readAnswer();
    if (name.empty())
        return false;
    console.printDialogue("\r\n");
    return true;
}

// A file that did not open, named by its name, or by what it is where no name was given.
void reportFailure(Console& console, const std::string& what, const std::string& name,
                   const std::string& reason) {
    if (name.empty())
        console.reportFailure(what + " file", "no name given");
    else
        console.reportFailure(name, reason);
}

std::optional<InputFile> openInput(Console& console, const std::string& name) {
    std::string reason;
    std::optional<InputFile> input =
        name == "-" ? openStandardInput(reason) : openInputFile(name, reason);
    if (!input)
        reportFailure(console, "input", name, reason);
    else // standard input named as the input holds the grid, not answers
        console.takeNoAnswersFrom(*input);
    return input;
}

std::optional<OutputFile> openOutputOtherThan(Console& console, const std::string& name,
                                              const InputFile& input, bool answered) {
    std::string reason;
    int consoleOutput = console.outputDescriptor();
    std::optional<OutputFile> output = name == "-" ? openStandardOutput(consoleOutput, reason)
                                                   : openOutputFile(name, consoleOutput, reason);
    // Standard output that holds the dialogue's text would spoil the grid after it. Writing
    // over the input would destroy it before it is read; a binary grid named as the output is
    // most often a source grid that a slip or a stray answer named.
    if (output && answered && output->isConsoleOutput()) {
        output.reset();
        reason = "standard output holds this dialogue: name a file";
    } else if (output && output->isSameFileAs(input)) {
        output.reset();
        reason = "is the input file";
    } else if (output && name != "-") {
        std::optional<InputFile> old = openRegularFile(name);
        if (old && output->isSameFileAs(*old) && holdsBinaryGrid(*old)) {
            output.reset();
            reason = "is a binary grid file: it is not replaced by a text grid; name another "
                     "output";
        }
    }
    if (!output)
        reportFailure(console, "output", name, reason);
    else if (output->isConsoleOutput())
        console.moveToStandardError();
    return output;
}

} // namespace

FileNames askForNames(Console& console) {
    FileNames names;
    console.printDialogue("\n");
    console.printDialogue(kUsageLine);
    console.printDialogue("\n");
    console.printDialogue("\ninput file : ");
    names.input = console.readAnswer();
    console.printDialogue("\noutput file : ");
    names.output = console.readAnswer();
    console.printDialogue("\n");
    return names;
}

std::optional<InputFile> openInputAsking(Console& console, std::string& name, bool mayAsk) {
    std::optional<InputFile> input = openInput(console, name);
    while (!input && askAgain(console, "input", name, mayAsk))
        input = openInput(console, name);
    return input;
}

std::optional<OutputFile> openOutputAsking(Console& console, std::string& name,
                                           const InputFile& input, bool mayAsk, bool answered) {
    std::optional<OutputFile> output = openOutputOtherThan(console, name, input, answered);
    while (!output && askAgain(console, "output", name, mayAsk))
        output = openOutputOtherThan(console, name, input, true);
    return output;
}

} // namespace brenzolt
