// The command line: options, then the words of a run (its file names and a precision).
//
// Before "--" an argument that starts with '-' is an option ("-" alone is a name: standard
// input or standard output); from "--" on every argument is a word. An option that takes a
// value has it after '=' or as the next argument ("-t DIR" also as "-tDIR"). An argument that
// is no option of the command makes the command line `unknown`, and one that the form of the
// command cannot take makes it `misused`: the run then does nothing but say so.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenzolt {

// What every conversion takes, however its files are named.
struct ConversionOptions {
    bool exactHeader = false; // --exact-header: the header's numbers in the digits they need
    bool strict = false;      // --strict: any warning ends the run before anything is written
    std::optional<std::string> precision; // --precision=CODE
};

// Takes `argument` into `options` when it is one of them; false for any other argument, which
// a form of the command may then take as an option of its own.
bool takeConversionOption(std::string_view argument, ConversionOptions& options);

// The batch form's own: where the outputs go, and where the names come from besides the words.
struct BatchOptions {
    std::optional<std::string> targetDirectory; // -t, --target-directory: the batch form
    std::optional<std::string> suffix;          // --suffix: the outputs' extension
    bool recursive = false;                     // -r, --recursive: folders walked
    std::vector<std::string> lists; // --files-from: lists of names; "-" is standard input
    bool nulSeparated = false;      // -0: the lists' names end in NUL, not a line end
};

struct CommandLine {
    // A run converts, unless the first of these decides otherwise: help or the version asked
    // for, an argument that is no option, or one the form of the command cannot take. With a
    // target directory it converts in the batch form.
    enum class Asks {
        conversion,
        batch,
        help,
        version,
        unknownOption,
        misused
    } asks = Asks::conversion;
    std::string unknown; // the argument that is no option, or that is misused
    std::string misuse;  // how it is misused
    ConversionOptions options;
    BatchOptions batch;
    std::vector<std::string> words; // in order
};

// The command line of the two-name form, `[options] [--] [input [output [precision]]]`, and of
// the batch form, `[options] -t DIR [--] [FILE...]`; "-h", "--help" (and "/?" on Windows) ask
// for help, "--version" for the version.
// The words are moved out of `arguments`.
CommandLine readCommandLine(std::vector<std::string> arguments);

} // namespace brenzolt
