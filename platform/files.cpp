#include "platform/files.h"

#include "platform/output_ways.h"
#include "platform/system.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

namespace brenzolt {

namespace {

// No file has an empty name or one holding a NUL.
bool isPossibleName(const std::string& name, std::string& reason) {
    if (!name.empty() && name.find('\0') == std::string::npos)
        return true;
    reason = sys::reasonOf(sys::kNotFound);
    return false;
}

} // namespace

InputFile::~InputFile() {
    sys::closeChecked(fd_);
}

InputFile::InputFile(InputFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

// The file this one held goes with `other`.
InputFile& InputFile::operator=(InputFile&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
}

std::optional<InputFile> openInputFile(const std::string& name, std::string& reason) {
    if (!isPossibleName(name, reason))
        return std::nullopt;
    InputFile file;
    file.fd_ = sys::openForReading(name);
    sys::Facts facts;
    if (file.fd_ < 0 || !sys::factsOf(file.fd_, facts)) {
        reason = sys::reasonOf(sys::lastError());
        return std::nullopt;
    }
    if (facts.kind == sys::Kind::directory) {
        reason = sys::reasonOf(sys::kIsDirectory);
        return std::nullopt;
    }
    return file;
}

std::optional<InputFile> openStandardInput(std::string& reason) {
    InputFile file;
    file.fd_ = sys::duplicate(0);
    sys::Facts facts;
    if (file.fd_ < 0 || !sys::factsOf(file.fd_, facts)) {
        reason = sys::reasonOf(sys::lastError());
        return std::nullopt;
    }
    return file;
}

std::optional<InputFile> openRegularFile(const std::string& name) {
    std::string reason;
    InputFile file;
    if (isPossibleName(name, reason))
        file.fd_ = sys::openForReading(name, true);
    if (file.fd_ < 0 || !file.regularFileSize())
        return std::nullopt;
    return file;
}

std::optional<std::uint64_t> InputFile::regularFileSize() const {
    sys::Facts facts;
    if (!sys::factsOf(fd_, facts) || facts.kind != sys::Kind::regular)
        return std::nullopt;
    return facts.size;
}

std::optional<FileIdentity> InputFile::identity() const {
    sys::Facts facts;
    if (!sys::factsOf(fd_, facts))
        return std::nullopt;
    return FileIdentity{facts.id.device, facts.id.inode};
}

bool InputFile::readAhead(std::uint64_t offset, std::uint64_t size) const {
    return sys::readAhead(fd_, offset, size);
}

InputFile::ReadStatus InputFile::read(void* buffer, std::size_t size, std::size_t& got,
                                      std::string& reason, std::int64_t offset) const {
    for (got = 0; got < size;) {
        // Large requests go in pieces of at most 1 GiB, which every kernel takes.
        std::int64_t n = sys::readSome(fd_, static_cast<char*>(buffer) + got,
                                       std::min<std::size_t>(size - got, std::size_t{1} << 30),
                                       offset < 0 ? -1 : offset + static_cast<std::int64_t>(got));
        if (n < 0) {
            reason = sys::reasonOf(sys::lastError());
            return ReadStatus::error;
        }
        if (n == 0)
            return ReadStatus::endOfFile;
        got += static_cast<std::size_t>(n);
    }
    return ReadStatus::complete;
}

// The way the output was opened, and the writer that the grid goes through,
// which goes first: before the file it writes to.
struct OutputFile::State {
    std::variant<ways::Replace, ways::InPlace, ways::Stream, ways::ConsoleStream> way;
    std::optional<sys::FileId> id; // the file at the output's name; none for a new one
    std::unique_ptr<TextWriter> writer;

    template <class Way, class... From>
    explicit State(std::in_place_type_t<Way> how, From&&... from)
        : way(how, std::forward<From>(from)...) {}
};

OutputFile::OutputFile(std::unique_ptr<State> state) : state_(std::move(state)) {
    state_->writer = std::visit([](const auto& way) { return way.writer(); }, state_->way);
}
OutputFile::~OutputFile() = default;
OutputFile::OutputFile(OutputFile&& other) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&& other) noexcept = default;

// The way `wayFor` picks, built from the survey.
std::optional<OutputFile> openOutputFile(const std::string& name, int consoleOutput,
                                         std::string& reason) {
    using State = OutputFile::State;
    ways::Survey survey;
    if (!isPossibleName(name, reason) || !survey.open(name, consoleOutput, reason))
        return std::nullopt;
    std::unique_ptr<State> state;
    switch (ways::wayFor(survey.found)) {
    case ways::How::replace:
        state = std::make_unique<State>(std::in_place_type<ways::Replace>, survey);
        break;
    case ways::How::inPlace:
        state = std::make_unique<State>(std::in_place_type<ways::InPlace>, survey);
        if (!std::get<ways::InPlace>(state->way).makeAside(reason))
            return std::nullopt;
        break;
    case ways::How::stream:
        state = std::make_unique<State>(std::in_place_type<ways::Stream>, survey);
        break;
    case ways::How::consoleOutput:
        state = std::make_unique<State>(std::in_place_type<ways::ConsoleStream>, consoleOutput,
                                        survey.found.old);
        break;
    }
    if (!survey.found.isNew)
        state->id = survey.found.old.id;
    return OutputFile(std::move(state));
}

std::optional<OutputFile> openStandardOutput(int consoleOutput, std::string& reason) {
    sys::Facts facts;
    if (!sys::factsOf(consoleOutput, facts)) {
        reason = sys::reasonOf(sys::lastError());
        return std::nullopt;
    }
    auto state = std::make_unique<OutputFile::State>(std::in_place_type<ways::ConsoleStream>,
                                                     consoleOutput, facts);
    state->id = facts.id;
    return OutputFile(std::move(state));
}

bool OutputFile::isSameFileAs(const InputFile& input) const {
    sys::Facts facts;
    return state_->id && sys::factsOf(input.descriptor(), facts) && *state_->id == facts.id;
}

bool OutputFile::isConsoleOutput() const {
    return std::holds_alternative<ways::ConsoleStream>(state_->way);
}

TextWriter& OutputFile::text() {
    return *state_->writer;
}

// A failure undoes what the way holds at once.
bool OutputFile::finish(std::string& reason) {
    State& s = *state_;
    bool done = s.writer->flush();
    if (!done)
        reason = s.writer->reason();
    s.writer.reset(); // its buffer goes before a copy takes one
    done = done && std::visit([&](auto& way) { return way.finish(reason); }, s.way);
    if (!done)
        std::visit([](auto& way) { way.undo(); }, s.way);
    return done;
}

bool OutputFile::prepare(std::string& reason) {
    State& s = *state_;
    bool written = s.writer->flush();
    if (!written)
        reason = s.writer->reason();
    s.writer.reset();
    std::visit(
        [written](auto& way) {
            if (!written)
                way.undo();
            else if constexpr (requires { way.temporary.fd(); })
                sys::startWriteback(way.temporary.fd(), 0, 0); // to its end
        },
        s.way);
    return written;
}

std::optional<FileIdentity> OutputFile::identity() const {
    if (!state_->id)
        return std::nullopt;
    return FileIdentity{state_->id->device, state_->id->inode};
}

namespace {

// Runs `step` for each of `count` on up to 16 threads at once, the calling
// one among them, as many as the system lets start. Memory that runs out on
// any of them runs out on the calling one once they are done.
template <class Step> void sideBySide(std::size_t count, Step step) {
    std::atomic<std::size_t> next = 0;
    std::atomic<bool> outOfMemory = false;
    auto work = [&] {
        try {
            for (std::size_t i; (i = next++) < count;)
                step(i);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
    };
    std::vector<std::thread> threads;
    try {
        for (std::size_t t = 1; t < std::min<std::size_t>(count, 16); ++t)
            threads.emplace_back(work);
    } catch (const std::exception&) {
        // Out of threads or memory: fewer threads make the same flushes.
    }
    work();
    for (std::thread& thread : threads)
        thread.join();
    if (outOfMemory)
        throw std::bad_alloc();
}

ways::Replace* replaced(auto& way) {
    if constexpr (std::is_same_v<decltype(way), ways::Replace&>)
        return &way;
    return nullptr;
}

} // namespace

// Stage by stage, each output's failure undoing what it holds: the grids on
// the disk, side by side, so that the system flushes the disk for many at
// once (one after another, each waits for a flush of its own); then, once
// the first is put in place, every one, the signals waiting; then each
// directory that took one, once, side by side again.
std::vector<bool> finishTogether(std::span<OutputFile> outputs, std::span<std::string> reasons) {
    std::vector<char> done(outputs.size(), true);
    auto way = [&](std::size_t i, auto step) { return std::visit(step, outputs[i].state_->way); };
    auto replace = [&](std::size_t i) { return way(i, [](auto& each) { return replaced(each); }); };
    auto undoFailed = [&] {
        for (std::size_t i = 0; i < outputs.size(); ++i)
            if (!done[i])
                way(i, [](auto& failed) { failed.undo(); });
    };
    sideBySide(outputs.size(),
               [&](std::size_t i) { done[i] = !replace(i) || replace(i)->flush(reasons[i]); });
    undoFailed();
    sys::SignalsHeld groupFinishes;
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (done[i])
            done[i] = replace(i) ? replace(i)->commit(reasons[i])
                                 : way(i, [&](auto& each) { return each.finish(reasons[i]); });
    undoFailed();
    // Each directory is flushed for the first output in it; the others in it
    // share how that went.
    std::vector<std::size_t> flushedFor(outputs.size()), flushers;
    std::vector<std::pair<sys::FileId, std::size_t>> directories;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        sys::Facts facts;
        flushedFor[i] = i;
        if (!done[i] || !replace(i) || !sys::factsOf(replace(i)->directory.fd, facts))
            continue;
        auto same =
            std::ranges::find(directories, facts.id, &std::pair<sys::FileId, std::size_t>::first);
        if (same == directories.end())
            directories.emplace_back(facts.id, i);
        else
            flushedFor[i] = same->second;
    }
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (done[i] && replace(i) && flushedFor[i] == i)
            flushers.push_back(i);
    sideBySide(flushers.size(), [&](std::size_t k) {
        std::size_t i = flushers[k];
        done[i] = replace(i)->flushDirectory(reasons[i]);
    });
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (!done[flushedFor[i]]) {
            done[i] = false;
            reasons[i] = reasons[flushedFor[i]];
        }
    return std::vector<bool>(done.begin(), done.end());
}

std::size_t outputsOpenAtOnce() {
    // Each output holds up to four until it is finished: its own, its
    // directory's, the temporary file's and that of the directory aside; the
    // inputs, the console and the system's own libraries take the rest.
    std::size_t descriptors = sys::mostDescriptors();
    std::size_t outputs = descriptors > 64 ? (descriptors - 64) / 4 : 1;
    return std::clamp<std::size_t>(outputs, 1, sys::kMostUndone);
}

bool isNameBefore(std::string_view a, std::string_view b) {
    auto folded = [](char c) {
        return sys::kNamesIgnoreCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return std::ranges::lexicographical_compare(a, b, {}, folded, folded);
}

namespace sys {
Primitives primitives;
}

} // namespace brenzolt
