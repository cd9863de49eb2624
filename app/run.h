// One conversion run: the run state and the order of a conversion, and the
// console dialogue that asks for file names and retries failed opens.
#pragma once

#include "dsaa/node_format.h"
#include "grid/grid.h"
#include "platform/platform.h"

#include <optional>
#include <span>
#include <string>

namespace brenzolt {

inline constexpr int kStatusConverted = 0;
inline constexpr int kStatusFailed = 1;

// Everything one conversion holds, owned by the run and passed by reference.
struct RunState {
    Console console;
    std::string inputName;
    std::string outputName;
    std::string precisionText = "-";
    NodeFormat nodeFormat = kPercentG;
    std::optional<InputFile> input;
    std::optional<OutputFile> output;
    GridHeader header;
    Grid grid;
};

// Runs one conversion for the arguments after the program name and returns
// the exit status.
int runConversion(std::span<const char* const> arguments, RunState& run);

// The dialogue. Each returns false when the user gives up with an empty answer.
void askForNames(RunState& run);
bool retryInput(RunState& run);
bool retryOutput(RunState& run);

// Opens the output name, refusing the input file itself.
bool openOutput(RunState& run);

} // namespace brenzolt
