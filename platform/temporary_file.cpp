#include "platform/temporary_file.h"

#include "platform/text_writer.h"

#include <random>
#include <string_view>
#include <utility>

namespace brenzolt {

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), unnamed_(other.unnamed_),
      directory_(std::move(other.directory_)), name_(std::exchange(other.name_, {})),
      id_(other.id_), undoSlot_(std::exchange(other.undoSlot_, -1)) {}

TemporaryFile::Created TemporaryFile::create(const sys::Directory& where,
                                             const std::string& target) {
    Created result;
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
            if (created >= 0 && sys::factsOf(created, facts) &&
                (undoSlot_ =
                     sys::armUndo({.directory = where, .name = candidate, .id = facts.id})) >= 0) {
                fd_ = created;
                directory_ = where;
                name_ = candidate;
                id_ = facts.id;
                return {.made = true};
            }
            result.error = sys::lastError();
            if (created >= 0) { // made, but not known or not armed: it goes again at once
                sys::closeChecked(created);
                sys::removeName(where, candidate);
                return result;
            }
            if (result.error == sys::kExists)
                break;
            // No such name in a directory held open: one that takes no new
            // files (as /proc), or that is gone.
            result.refused = sys::mayNotCreate(result.error) || result.error == sys::kNotFound;
        }
        if (result.error != sys::kExists)
            return result;
    }
    return result;
}

TemporaryFile::Created TemporaryFile::createUnnamed(const sys::Directory& where) {
    fd_ = sys::createUnnamed(where);
    int error = sys::lastError();
    directory_ = where;
    unnamed_ = fd_ >= 0;
    return {.made = unnamed_, .error = error, .refused = !unnamed_};
}

bool TemporaryFile::putInPlace(const std::string& to, bool replacing) {
    if (!unnamed_ && !sys::closeChecked(std::exchange(fd_, -1)))
        return false;
    sys::SignalsHeld signalsWait;
    if (unnamed_ ? !sys::giveName(fd_, directory_, to)
                 : !sys::primitives.putInPlace(directory_, name_, to, replacing))
        return false;
    name_.clear();
    sys::disarmUndo(std::exchange(undoSlot_, -1));
    sys::ignoreSignals();
    return true;
}

void TemporaryFile::remove() {
    if (fd_ < 0 && name_.empty())
        return; // none, moved away, or placed: the signals are not this one's to disarm
    sys::closeChecked(std::exchange(fd_, -1));
    sys::SignalsHeld signalsWait;
    std::string name = std::exchange(name_, {});
    if (!name.empty() && !sys::removeIfSame(directory_, name, id_)) {
        std::string reason = sys::reasonOf(sys::lastError());
        const std::string& path = directory_.path;
        bool separated = path.ends_with('/') || path.ends_with('\\');
        lineForScripts(path + (separated ? "" : "/") + name,
                       "this unfinished file cannot be removed: " + reason,
                       [](std::string_view line) {
                           sys::writeAll(sys::descriptorIfOpen(2), line.data(), line.size());
                       });
    }
    sys::disarmUndo(std::exchange(undoSlot_, -1));
}

} // namespace brenzolt
