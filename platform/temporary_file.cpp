#include "platform/temporary_file.h"

#include "platform/text_writer.h"

#include <random>
#include <string_view>
#include <utility>

namespace brenzolt {

bool TemporaryFile::create(const sys::Directory& where, const std::string& target) {
    refused = false;
    constexpr std::string_view kSymbols = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::random_device random; // the system's own source
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix = ".brenzolt-incomplete-";
        for (std::uint64_t bits = std::uint64_t{random()} << 32 | random(); suffix.size() < 33;
             bits /= kSymbols.size())
            suffix += kSymbols[bits % kSymbols.size()];
        for (const std::string& candidate : {target + suffix, suffix}) {
            sys::SignalsHeld signalsWait;
            int created = sys::createExclusive(where, candidate);
            sys::Facts facts;
            if (created >= 0 && sys::factsOf(created, facts)) {
                fd = created;
                directory_ = &where;
                name_ = candidate;
                id_ = facts.id;
                sys::setUndo({.directory = *directory_, .name = name_, .id = id_});
                return true;
            }
            error = sys::lastError();
            if (created >= 0) { // made, but not known: it goes again at once
                sys::closeChecked(created);
                sys::removeName(where, candidate);
                return false;
            }
            if (error == sys::kExists)
                break;
            // No such name in a directory held open: one that takes no new
            // files (as /proc), or that is gone.
            refused = sys::mayNotCreate(error) || error == sys::kNotFound;
        }
        if (error != sys::kExists)
            return false;
    }
    return false;
}

bool TemporaryFile::createUnnamed(const sys::Directory& where) {
    fd = sys::createUnnamed(where);
    error = sys::lastError();
    directory_ = &where;
    unnamed_ = fd >= 0;
    refused = !unnamed_;
    return unnamed_;
}

bool TemporaryFile::putInPlace(const std::string& to, bool replacing) {
    if (!unnamed_ && !sys::closeChecked(std::exchange(fd, -1)))
        return false;
    sys::SignalsHeld signalsWait;
    if (unnamed_ ? !sys::giveName(fd, *directory_, to)
                 : !sys::primitives.putInPlace(*directory_, name_, to, replacing))
        return false;
    name_.clear();
    sys::setUndo({});
    sys::ignoreSignals();
    return true;
}

void TemporaryFile::remove() {
    sys::closeChecked(std::exchange(fd, -1));
    sys::SignalsHeld signalsWait;
    std::string name = std::exchange(name_, {});
    if (!name.empty() && !sys::removeIfSame(*directory_, name, id_)) {
        std::string reason = sys::reasonOf(sys::lastError());
        const std::string& path = directory_->path;
        bool separated = path.ends_with('/') || path.ends_with('\\');
        // The line a console's warning writes, without a console's buffer.
        lineForScripts(path + (separated ? "" : "/") + name,
                       "this unfinished file cannot be removed: " + reason,
                       [](std::string_view line) {
                           sys::writeAll(sys::descriptorIfOpen(2), line.data(), line.size());
                       });
    }
    sys::setUndo({});
}

} // namespace brenzolt
