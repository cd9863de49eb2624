// The answers to a request for help or for the version, given as the only
// argument: the usage and what the arguments mean, or the program's version.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brenzolt {

inline constexpr std::string_view kUsageLine =
    "usage: brenzolt <binary file> <Surfer-Ascii-file> [<precision>]\n";

// The text that answers `argument` when it asks for help ("--help", "-h",
// and "/?" on Windows) or the version ("--version"); nothing for any other
// argument, which is a file name like every other.
std::optional<std::string> helpOrVersion(std::string_view argument);

} // namespace brenzolt
