// What the program says about itself: its usage, the help, the version.
#pragma once

#include <string>
#include <string_view>

namespace brenzolt {

// The usage line of the dialogue, before it asks for the names.
inline constexpr std::string_view kUsageLine =
    "usage: brenzolt <binary file> <Surfer-Ascii-file> [<precision>]\n";

// The usage line with the options, for help and after an unknown option.
inline constexpr std::string_view kUsageWithOptions =
    "usage: brenzolt [--exact-header] [--strict] [--precision=CODE] [--] <binary file> "
    "<Surfer-Ascii-file> [<precision>]\n"
    "       brenzolt [--exact-header] [--strict] [--precision=CODE] -t <folder> [-r]\n"
    "                [--suffix=.EXT] [--files-from=<list> [-0]] [--] <file>...\n";

// The answer to --help: the usage and what the arguments and options mean.
std::string helpText();
// The answer to --version.
std::string versionText();

} // namespace brenzolt
