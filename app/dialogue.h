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

// Open the named file, or, while it does not open, report it and ask for
// another name, which then replaces `name`. Nothing when the user gives up
// with an empty answer. The output refuses the input file itself.
std::optional<InputFile> openInputAsking(Console& console, std::string& name);
std::optional<OutputFile> openOutputAsking(Console& console, std::string& name,
                                           const InputFile& input);

} // namespace brenzolt
