// The command line: options, then the words of a run (its file names and a precision).
//
// Before "--" an argument that starts with '-' is an option ("-" alone is a name: standard
// input or standard output); from "--" on every argument is a word. An argument that is no
// option of the command makes the command line `unknown`: the run then does nothing but say so.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brenzolt {

// What every conversion takes, however its files are named.
struct ConversionOptions {
    bool exactHeader = false; // --exact-header: the header's numbers in the digits they need
    bool strict = false;      // --strict: any warning ends the run before anything is written
};

// Takes `argument` into `options` when it is one of them; false for any other argument, which
// a form of the command may then take as an option of its own.
bool takeConversionOption(std::string_view argument, ConversionOptions& options);

struct CommandLine {
    // A run converts, unless the first of these decides otherwise: help or the version asked
    // for, or an argument that is no option.
    enum class Asks { conversion, help, version, unknownOption } asks = Asks::conversion;
    std::string unknown; // the argument that is no option
    ConversionOptions options;
    std::vector<std::string> words; // in order
};

// The command line of the two-name form: `[options] [--] [input [output [precision]]]`; "-h",
// "--help" (and "/?" on Windows) ask for help, "--version" for the version.
CommandLine readCommandLine(std::span<const std::string> arguments);

} // namespace brenzolt
