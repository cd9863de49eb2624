#include "app/listing.h"

#include "grid/grid.h"

#include <algorithm>

namespace brenzolt {

namespace fs = std::filesystem;

fs::path pathOf(const std::string& name) {
    return fs::path(std::u8string(name.begin(), name.end()));
}

std::string nameOf(const fs::path& path) {
    std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

namespace {

class Lister {
  public:
    Lister(const BatchOptions& options, Listing& listing)
        : options_(options), target_(pathOf(*options.targetDirectory)), items_(listing.items),
          skipped_(listing.skipped), inputs_(listing.inputs) {}

    void add(const std::string& name) {
        fs::path path = pathOf(name);
        std::error_code error;
        if (name == "-")
            items_.push_back(
                {name, "", 0, "standard input has no name to convert it to: name a file"});
        else if (!fs::is_directory(path, error))
            addFile(name, path.has_filename() ? nameOf(outputFor(target_, path.filename())) : "",
                    false);
        else if (!options_.recursive)
            items_.push_back({name, "", 0, "is a folder: -r converts the grids in it"});
        else {
            // Its grids go into a folder of its name, as cp -r copies it, but for . and the like.
            fs::path folder = path.lexically_normal();
            fs::path top = (folder.has_filename() ? folder : folder.parent_path()).filename();
            walk(path, top.empty() || top == "." || top == ".." ? target_ : target_ / top);
        }
    }

  private:
    fs::path outputFor(const fs::path& folder, fs::path name) const {
        if (options_.suffix)
            name.replace_extension(pathOf(*options_.suffix));
        return folder / name;
    }

    // A file found in a folder is converted only where its header is a binary grid's (a grid
    // cut short is one); every regular file named is.
    void addFile(const std::string& name, const std::string& output, bool found) {
        Item item{name, output, 0, {}};
        if (std::optional<InputFile> file = openRegularFile(name)) {
            item.bytes = file->regularFileSize().value_or(0);
            GridReader grid;
            std::optional<ReadError> error = openGrid(*file, grid);
            if (found && error && error->noGrid) {
                ++skipped_;
                return;
            }
            if (std::optional<FileIdentity> identity = file->identity())
                inputs_.emplace(*identity, items_.size());
        }
        items_.push_back(std::move(item));
    }

    // Links to folders are not followed: no tree holds itself.
    void walk(const fs::path& folder, const fs::path& into) {
        std::error_code error;
        std::vector<fs::directory_entry> entries;
        for (fs::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error))
            entries.push_back(*it);
        if (error) {
            items_.push_back({nameOf(folder), "", 0, error.message()});
            return;
        }
        std::ranges::sort(entries, {}, [](const fs::directory_entry& entry) {
            return entry.path().filename().u8string();
        });
        for (const fs::directory_entry& entry : entries) {
            fs::path name = entry.path().filename();
            if (entry.is_directory(error) && !entry.is_symlink(error))
                walk(entry.path(), into / name);
            else if (entry.is_regular_file(error))
                addFile(nameOf(entry.path()), nameOf(outputFor(into, name)), true);
            else
                ++skipped_;
        }
    }

    const BatchOptions& options_;
    fs::path target_;
    std::vector<Item>& items_;
    std::uint64_t& skipped_;
    std::map<FileIdentity, std::size_t>& inputs_;
};

} // namespace

Listing listFiles(const std::vector<std::string>& names, const BatchOptions& options) {
    Listing listing;
    Lister lister(options, listing);
    for (const std::string& name : names)
        lister.add(name);
    return listing;
}

std::vector<std::pair<std::size_t, std::size_t>> sharedOutputs(const std::vector<Item>& items) {
    std::vector<std::pair<std::string, std::size_t>> names;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!items[i].output.empty() && items[i].refusal.empty())
            names.emplace_back(comparableName(nameOf(pathOf(items[i].output).lexically_normal())),
                               i);
    std::ranges::stable_sort(names, {}, &std::pair<std::string, std::size_t>::first);
    std::vector<std::pair<std::size_t, std::size_t>> shared;
    for (std::size_t k = 1; k < names.size(); ++k)
        if (names[k].first == names[k - 1].first)
            shared.emplace_back(names[k - 1].second, names[k].second);
    std::ranges::sort(shared, {}, &std::pair<std::size_t, std::size_t>::second);
    return shared;
}

bool readList(const std::string& name, bool nul, std::vector<std::string>& names,
              std::string& reason) {
    std::optional<InputFile> list =
        name == "-" ? openStandardInput(reason) : openInputFile(name, reason);
    if (!list)
        return false;
    std::string text;
    for (InputFile::ReadStatus status = InputFile::ReadStatus::complete;
         status == InputFile::ReadStatus::complete;) {
        char buffer[1 << 16];
        std::size_t got = 0;
        status = list->read(buffer, sizeof buffer, got, reason);
        if (status == InputFile::ReadStatus::error)
            return false;
        text.append(buffer, got);
    }
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = std::min(text.find(nul ? '\0' : '\n', at), text.size());
        std::string one = text.substr(at, end - at);
        if (!nul && one.ends_with('\r'))
            one.pop_back();
        if (!one.empty())
            names.push_back(std::move(one));
        at = end + 1;
    }
    return true;
}

} // namespace brenzolt
