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

Lister::Lister(const BatchOptions& options, std::size_t names)
    : options_(options), target_(pathOf(*options.targetDirectory)) {
    listing_.items.reserve(names);
}

void Lister::refuse(const std::string& name, std::string reason) {
    listing_.refusals.emplace(listing_.items.size(), std::move(reason));
    listing_.items.push_back({name, "", 0});
}

// A file named is looked at once, for its size.
void Lister::add(const std::string& name) {
    fs::path path = pathOf(name);
    std::error_code error;
    std::uintmax_t size = name == "-" ? 0 : fs::file_size(path, error);
    if (name == "-")
        refuse(name, "standard input has no name to convert it to: name a file");
    else if (!error || !fs::is_directory(path, error))
        listing_.items.push_back(
            {name, path.has_filename() ? nameOf(outputFor(target_, path.filename())) : "",
             error ? 0 : size});
    else if (!options_.recursive)
        refuse(name, "is a folder: -r converts the grids in it");
    else {
        // Its grids go into a folder of its name, as cp -r copies it, but for . and the like.
        fs::path folder = path.lexically_normal();
        fs::path top = (folder.has_filename() ? folder : folder.parent_path()).filename();
        walk(path, top.empty() || top == "." || top == ".." ? target_ : target_ / top);
    }
}

fs::path Lister::outputFor(const fs::path& folder, fs::path name) const {
    if (options_.suffix)
        name.replace_extension(pathOf(*options_.suffix));
    return folder / name;
}

// A file found in a folder is converted only where its header is a binary grid's (a grid cut
// short is one).
void Lister::addFound(const std::string& name, std::string output) {
    std::uint64_t bytes = 0;
    if (std::optional<InputFile> file = openRegularFile(name)) {
        GridReader grid;
        std::optional<ReadError> error = openGrid(*file, grid);
        if (error && error->noGrid) {
            ++listing_.skipped;
            return;
        }
        bytes = file->regularFileSize().value_or(0);
    }
    listing_.items.push_back({name, std::move(output), bytes});
}

// Links to folders are not followed: no tree holds itself.
void Lister::walk(const fs::path& folder, const fs::path& into) {
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    if (error)
        return refuse(nameOf(folder), error.message());
    std::ranges::sort(entries, {}, [](const fs::directory_entry& entry) {
        return entry.path().filename().u8string();
    });
    for (const fs::directory_entry& entry : entries) {
        fs::path name = entry.path().filename();
        if (entry.is_directory(error) && !entry.is_symlink(error))
            walk(entry.path(), into / name);
        else if (entry.is_regular_file(error))
            addFound(nameOf(entry.path()), nameOf(outputFor(into, name)));
        else
            ++listing_.skipped;
    }
}

Listing Lister::done() && {
    return std::move(listing_);
}

// Learned for every item at the first question, which comes only once an output stands: in a
// fresh folder none.
std::optional<std::size_t> Listing::inputOf(const FileIdentity& file) {
    if (!identified) {
        identified = true;
        for (std::size_t i = 0; i < items.size(); ++i)
            if (std::optional<InputFile> input = openRegularFile(items[i].input))
                if (std::optional<FileIdentity> identity = input->identity())
                    inputs.emplace_back(*identity, i);
        std::ranges::sort(inputs);
    }
    auto found = std::ranges::lower_bound(inputs, file, {}, &decltype(inputs)::value_type::first);
    if (found == inputs.end() || found->first != file)
        return std::nullopt;
    return found->second;
}

// The outputs' names are made alike, the target folder's name then the names under it: they
// are compared as they are.
std::vector<std::pair<std::size_t, std::size_t>> sharedOutputs(const std::vector<Item>& items) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!items[i].output.empty())
            order.push_back(i);
    auto before = [&](std::size_t a, std::size_t b) {
        return isNameBefore(items[a].output, items[b].output);
    };
    std::ranges::stable_sort(order, before);
    std::vector<std::pair<std::size_t, std::size_t>> shared;
    for (std::size_t k = 1; k < order.size(); ++k)
        if (!before(order[k - 1], order[k]))
            shared.emplace_back(order[k - 1], order[k]);
    std::ranges::sort(shared, {}, &std::pair<std::size_t, std::size_t>::second);
    return shared;
}

bool readList(const std::string& name, bool nul, const std::function<void(std::string)>& each,
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
            each(std::move(one));
        at = end + 1;
    }
    return true;
}

} // namespace brenzolt
