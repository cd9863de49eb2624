// One conversion run, in the order the program acts: banner, file names
// (from the command line or the dialogue), node format, input, output, read,
// write, finish.
#pragma once

#include "platform/platform.h"

#include <optional>
#include <span>
#include <string>

namespace brenzolt {

inline constexpr int kStatusConverted = 0;
inline constexpr int kStatusFailed = 1;

// Runs one conversion for the arguments after the program name and returns
// the exit status.
int runConversion(std::span<const char* const> arguments, Console& console);

// The dialogue.
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
