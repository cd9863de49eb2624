// The console dialogue: asks for the file names, and for another name while a
// file does not open.
#pragma once

#include "platform/console.h"
#include "platform/files.h"

#include <optional>
#include <string>

namespace brenzolt {

struct FileNames {
    std::string input;
    std::string output;
};

// Prints the usage line and asks for both names.
FileNames askForNames(Console& console);

// Open the named file ("-": standard input or standard output), or, while it does not open,
// report it and, where `mayAsk`, ask for another name, which then replaces `name`. Nothing
// when the user gives up with an empty answer, or when no one may be asked. The output
// refuses the input file itself and an existing binary grid, and, when its name is an answer
// (`answered`, as every name after the first is), standard output, which holds the dialogue.
std::optional<InputFile> openInputAsking(Console& console, std::string& name, bool mayAsk);
std::optional<OutputFile> openOutputAsking(Console& console, std::string& name,
                                           const InputFile& input, bool mayAsk, bool answered);

} // namespace brenzolt
