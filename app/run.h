// One conversion run, in the order the program acts: banner, file names
// (from the command line or the dialogue), node format, input, output, read,
// write, finish.
#pragma once

#include "platform/console.h"

#include <string>
#include <vector>

namespace brenzolt {

inline constexpr int kStatusConverted = 0;
inline constexpr int kStatusFailed = 1;

// Runs one conversion for the arguments after the program name and returns
// the exit status.
int runConversion(std::vector<std::string> arguments, Console& console);

} // namespace brenzolt
