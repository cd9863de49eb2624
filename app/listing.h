// What the batch form converts, and into which names: the files named, those a list names, and
// with -r the binary grids under the folders named (found by their header, in the order of
// their names), each with its output in the target folder. Nothing is opened for writing.
#pragma once

#include "app/command_line.h"
#include "platform/files.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace brenzolt {

// Names stay in UTF-8, as the command line gives them, whatever the system's form of a path.
std::filesystem::path pathOf(const std::string& name);
std::string nameOf(const std::filesystem::path& path);

// One file to convert: its name as given or found, its output's, its size (for the progress),
// and why it fails before it is opened, where it does.
struct Item {
    std::string input;
    std::string output;
    std::uint64_t bytes = 0;
    std::string refusal;
};

struct Listing {
    std::vector<Item> items;                    // in the order they are named
    std::uint64_t skipped = 0;                  // found in a folder, and no binary grid
    std::map<FileIdentity, std::size_t> inputs; // which item each input file is
};

// The names in the list `name` ("-": standard input), each ended by a line end (a CR right
// before it dropped) or, with `nul`, by a NUL; empty names are none. False, with the system's
// reason, where it cannot be read.
bool readList(const std::string& name, bool nul, std::vector<std::string>& names,
              std::string& reason);

// What `names` come to under `options`.
Listing listFiles(const std::vector<std::string>& names, const BatchOptions& options);

// Two items that would be converted into one output, as the system compares names: each pair,
// in the order of the later one.
std::vector<std::pair<std::size_t, std::size_t>> sharedOutputs(const std::vector<Item>& items);

} // namespace brenzolt
