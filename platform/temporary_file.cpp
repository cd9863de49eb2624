#include "platform/temporary_file.h"

#include "platform/text_writer.h"

#include <random>
#include <string_view>
#include <utility>

namespace brenzolt {

namespace {

// Calls `make` with random names for the grid of `target` until it makes one:
// 0, or the error of the last name tried.
template <class Make> int underRandomName(const std::string& target, Make make) {
    constexpr std::string_view kSymbols = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::random_device random; // the system's own source
    int error = sys::kExists;
    for (int attempt = 0; attempt < 100 && error == sys::kExists; ++attempt) {
        std::string suffix = ".brenzolt-incomplete-";
        for (std::uint64_t bits = std::uint64_t{random()} << 32 | random(); suffix.size() < 33;
             bits /= kSymbols.size())
            suffix += kSymbols[bits % kSymbols.size()];
        for (const std::string& candidate : {target + suffix, suffix})
            if ((error = make(candidate)) == 0 || error == sys::kExists)
                break;
    }
    return error;
}

} // namespace

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), unnamed_(other.unnamed_), namedAsTo_(other.namedAsTo_),
      directory_(std::move(other.directory_)), target_(std::move(other.target_)),
      name_(std::exchange(other.name_, {})), id_(other.id_),
      undoSlot_(std::exchange(other.undoSlot_, -1)) {}

// Takes the file `created` as this one, by the name `name` (none: a file
// without a name, which the signals need not undo), armed: 0, or the error
// that made, knew or armed no file (then one that was made goes again at
// once).
int TemporaryFile::arm(int created, const std::string& name) {
    sys::Facts facts;
    if (created < 0 || !sys::factsOf(created, facts) ||
        (!name.empty() &&
         (undoSlot_ = sys::armUndo({.directory = directory_, .name = name, .id = facts.id})) < 0)) {
        int error = sys::lastError();
        if (created >= 0 && sys::closeChecked(created) && !name.empty())
            sys::removeName(directory_, name);
        return error;
    }
    fd_ = created;
    name_ = name;
    id_ = facts.id;
    return 0;
}

TemporaryFile::Created TemporaryFile::create(const sys::Directory& where, const std::string& target,
                                             bool asNew) {
    directory_ = where;
    target_ = target;
    // Without a name where the system makes such files: nothing for anyone
    // to take, nor for a kill -9 to leave, until the commit.
    if ((unnamed_ = arm(sys::createUnnamed(where, asNew), {}) == 0))
        return {.made = true};
    int error = underRandomName(target, [&](const std::string& candidate) {
        sys::SignalsHeld signalsWait;
        return arm(sys::createExclusive(where, candidate, asNew), candidate);
    });
    // No such name in a directory held open: one that takes no new files (as
    // /proc), or that is gone.
    return {.made = error == 0,
            .error = error,
            .refused = error != 0 && (sys::mayNotCreate(error) || error == sys::kNotFound)};
}

TemporaryFile::Created TemporaryFile::createUnnamed(const sys::Directory& where, bool asNew) {
    directory_ = where;
    int error = arm(sys::createUnnamed(where, asNew), {});
    unnamed_ = namedAsTo_ = error == 0;
    return {.made = unnamed_, .error = error, .refused = !unnamed_};
}

// Names the file without a name in its directory, armed.
bool TemporaryFile::nameIt() {
    return underRandomName(target_, [&](const std::string& candidate) {
               if (!sys::giveName(fd_, directory_, candidate))
                   return sys::lastError();
               if ((undoSlot_ = sys::armUndo(
                        {.directory = directory_, .name = candidate, .id = id_})) < 0) {
                   int error = sys::lastError();
                   sys::removeName(directory_, candidate);
                   sys::setLastError(error);
                   return error;
               }
               name_ = candidate;
               return 0;
           }) == 0;
}

bool TemporaryFile::putInPlace(const std::string& to, bool replacing, std::string& reason) {
    auto failed = [&reason](std::string why) {
        reason = std::move(why);
        return false;
    };
    sys::SignalsHeld signalsWait;
    sys::AtName at = sys::AtName::theFile;
    if (namedAsTo_ ? !sys::giveName(fd_, directory_, to)
                   : (unnamed_ && !nameIt()) || !sys::closeChecked(std::exchange(fd_, -1)) ||
                         !sys::whatIsAt(directory_, name_, id_, at))
        return failed(sys::reasonOf(sys::lastError()));
    if (at != sys::AtName::theFile)
        return failed(at == sys::AtName::anotherFile
                          ? "another file took the temporary's name before this grid was put in "
                            "place; nothing changed"
                          : "the temporary file was moved away or removed before this grid was "
                            "put in place; nothing changed");
    if (!namedAsTo_ && !sys::primitives.putInPlace(directory_, name_, to, replacing))
        return failed(sys::reasonOf(sys::lastError()));
    name_.clear();
    sys::disarmUndo(std::exchange(undoSlot_, -1));
    sys::ignoreSignals();
    sys::closeChecked(std::exchange(fd_, -1));
    // What was renamed was the file at the temporary's name by then.
    if (!sys::whatIsAt(directory_, to, id_, at))
        return failed("the grid was put in place, but its name cannot be checked: " +
                      sys::reasonOf(sys::lastError()));
    if (at == sys::AtName::anotherFile)
        return failed("another file took the temporary's name as this grid was put in place; "
                      "that file stands");
    return at == sys::AtName::theFile || failed("removed as this grid was put in place");
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
