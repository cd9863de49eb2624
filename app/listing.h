// What the batch form converts, and into which names: the files named, those a list names, and
// with -r the binary grids under the folders named (found by their header, in the order of
// their names), each with its output in the target folder. Nothing is opened for writing.
#pragma once

#include "app/command_line.h"
#include "platform/files.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brenzolt {

// Names stay in UTF-8, as the command line gives them, whatever the system's form of a path.
std::filesystem::path pathOf(const std::string& name);
std::string nameOf(const std::filesystem::path& path);

// One file to convert: its name as given or found, its output's (none where it fails before it
// is opened), and the size its header gives, for the progress.
struct Item {
    std::string input;
    std::string output;
    std::uint64_t bytes = 0;
};

class Listing {
  public:
    std::vector<Item> items;                     // in the order they are named
    std::map<std::size_t, std::string> refusals; // why an item fails before it is opened
    std::uint64_t skipped = 0;                   // found in a folder, and no binary grid
    // The item whose input is `file`, by identity.
    std::optional<std::size_t> inputOf(const FileIdentity& file);

  private:
    std::vector<std::pair<FileIdentity, std::size_t>> inputs; // by identity, once asked
    bool identified = false;
};

// Lists files name by name as `options` say; then `done` gives what they come to.
class Lister {
  public:
    Lister(const BatchOptions& options, std::size_t names);
    void add(const std::string& name);
    Listing done() &&;

  private:
    std::filesystem::path outputFor(const std::filesystem::path& folder,
                                    std::filesystem::path name) const;
    void addFound(const std::string& name, std::string output);
    void walk(const std::filesystem::path& folder, const std::filesystem::path& into);
    void refuse(const std::string& name, std::string reason);

    const BatchOptions& options_;
    std::filesystem::path target_;
    Listing listing_;
};

// Hands each name in the list `name` ("-": standard input) to `each`, the names ended by a line
// end (a CR right before it dropped) or, with `nul`, by a NUL; empty names are none. False,
// with the system's reason, where the list cannot be read.
bool readList(const std::string& name, bool nul, const std::function<void(std::string)>& each,
              std::string& reason);

// Two items that would be converted into one output, as the system compares names: each pair,
// in the order of the later one.
std::vector<std::pair<std::size_t, std::size_t>> sharedOutputs(const std::vector<Item>& items);

} // namespace brenzolt
