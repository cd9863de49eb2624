#include "app/batch.h"

#include "app/help.h"
#include "app/listing.h"
#include "app/node_lines.h"
#include "app/run.h"
#include "app/warnings.h"
#include "dsaa/dsaa.h"
#include "grid/grid.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace brenzolt {

namespace {

namespace fs = std::filesystem;

// A grid of at most this many nodes is formatted on one thread, beside others; a larger one
// alone, on all of them.
constexpr std::uint64_t kSideBySideNodes = 1 << 20;
// A group of outputs waits for the disk once its text comes to about this much: a node's text
// takes about ten bytes.
constexpr std::uint64_t kGroupTextBytes = 64 << 20;
constexpr std::uint64_t kTextBytesPerNode = 10;

// A grid on its way: opened and checked on the calling thread, formatted on any, prepared
// and put in place on the calling thread again.
struct Job {
    std::size_t item = 0;
    InputFile input;
    GridReader grid; // over `input`: the job stays where it was made
    std::optional<OutputFile> output;
    std::optional<ReadError> readError;
    bool outOfMemory = false;
};

// Whole small grids formatted side by side, one on each thread, handed out and taken back by
// the calling thread, at most one more than the threads at once. Where no thread starts, the
// calling thread formats them. What the threads need is made before they start: they allocate
// nothing of their own.
class SideBySide {
  public:
    using Format = std::function<void(Job&, Console&)>;
    SideBySide(int threads, Format format) : format_(std::move(format)) {
        todo_.reserve(static_cast<std::size_t>(threads) + 2);
        done_.reserve(static_cast<std::size_t>(threads) + 2);
        try {
            for (int t = 0; t < threads; ++t) {
                Console& quiet = *quiet_.emplace_back(std::make_unique<Console>(-1, -1));
                workers_.emplace_back([this, &quiet] { work(quiet); });
            }
        } catch (const std::exception&) {
            // Out of threads (a process limit) or of memory: the ones that started do the work.
        }
    }
    ~SideBySide() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        forWorkers_.notify_all();
        for (std::thread& worker : workers_)
            worker.join();
    }
    bool started() const { return !workers_.empty(); }
    void add(Job& job) {
        {
            std::lock_guard lock(mutex_);
            todo_.push_back(&job);
        }
        ++out_;
        forWorkers_.notify_one();
    }
    // Jobs handed out and not yet taken back.
    std::size_t out() const { return out_; }
    // A job done, once one is.
    Job& takeBack() {
        std::unique_lock lock(mutex_);
        forCaller_.wait(lock, [&] { return !done_.empty(); });
        Job& job = *done_.front();
        done_.erase(done_.begin());
        --out_;
        return job;
    }

  private:
    void work(Console& quiet) {
        for (;;) {
            Job* job;
            {
                std::unique_lock lock(mutex_);
                forWorkers_.wait(lock, [&] { return stopped_ || !todo_.empty(); });
                if (stopped_)
                    return;
                job = todo_.front();
                todo_.erase(todo_.begin());
            }
            format_(*job, quiet);
            {
                std::lock_guard lock(mutex_);
                done_.push_back(job);
            }
            forCaller_.notify_one();
        }
    }

    Format format_;
    std::mutex mutex_;
    std::condition_variable forWorkers_, forCaller_;
    std::vector<Job*> todo_, done_; // never more than their room
    std::size_t out_ = 0;
    bool stopped_ = false;
    std::vector<std::unique_ptr<Console>> quiet_; // no dots: one for each thread
    std::vector<std::thread> workers_;
};

class Batch {
  public:
    Batch(const CommandLine& line, Console& console, Listing& listing)
        : options_(line.options), console_(console), listing_(listing), items_(listing.items),
          nodeFormat_(selectNodeFormat(line.options.precision.value_or("-"))) {
        for (const Item& item : items_)
            bytesAll_ += item.bytes;
    }
    ~Batch() { // the folders made for outputs that failed
        std::error_code ignored;
        for (auto made = made_.rbegin(); made != made_.rend(); ++made)
            fs::remove(*made, ignored); // only where empty
    }

    // Converts every item, a group of outputs at a time; how many converted.
    std::size_t run();

  private:
    std::unique_ptr<Job> open(std::size_t index);
    std::string refusalOf(const Job& job);
    bool makeFolders(const fs::path& folder, std::string& reason);
    void format(Job& job, Console& quiet, int threads) const;
    void prepare(Job& job);
    void finish(std::vector<std::unique_ptr<Job>>& jobs);
    void fail(std::size_t index, const std::string& subject, const std::string& reason) {
        said_[index].push_back({subject, reason});
    }
    void failReading(std::size_t index, const ReadError& error) {
        fail(index, items_[index].input, error.detail.empty() ? error.systemReason : error.detail);
    }
    void showProgress(bool now);

    const ConversionOptions& options_;
    Console& console_;
    Listing& listing_;
    const std::vector<Item>& items_;
    std::map<std::size_t, std::vector<Warning>> said_; // by item: its warnings, then its failure
    NodeFormat nodeFormat_;
    std::vector<fs::path> made_;
    fs::path lastFolder_;
    std::size_t converted_ = 0, done_ = 0;
    std::uint64_t bytesAll_ = 0, bytesDone_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now(), shown_;
};

// Opens and checks the item's input and output as a single run does, the header read and the
// warnings given before the output is opened; nothing where it fails.
std::unique_ptr<Job> Batch::open(std::size_t index) {
    const Item& item = items_[index];
    std::string reason;
    if (auto refusal = listing_.refusals.find(index); refusal != listing_.refusals.end())
        return fail(index, item.input, refusal->second), nullptr;
    auto job = std::make_unique<Job>();
    job->item = index;
    std::optional<InputFile> input = openInputFile(item.input, reason);
    if (!input)
        return fail(index, item.input, reason), nullptr;
    job->input = std::move(*input);
    if (std::optional<ReadError> error = openGrid(job->input, job->grid))
        return failReading(index, *error), nullptr;
    std::vector<Warning> warnings;
    warnOfGrid(warnings, item.input, item.output, job->grid, options_.exactHeader);
    if (!warnings.empty())
        said_[index] = std::move(warnings);
    if (options_.strict && said_.contains(index))
        return fail(index, item.output, "not written: --strict ends the run at a warning"), nullptr;
    fs::path folder = pathOf(item.output).parent_path();
    if (folder == lastFolder_ || makeFolders(folder, reason)) {
        lastFolder_ = folder; // there: the next output is most often in it too
        job->output = openOutputFile(item.output, console_.outputDescriptor(), reason);
    }
    if (job->output && (reason = refusalOf(*job)).empty()) {
        if (job->output->isConsoleOutput())
            console_.moveToStandardError();
        if (std::optional<ReadError> error = job->grid.readWholeFromPipe())
            return failReading(index, *error), nullptr; // the output is dropped as it was
        return job;
    }
    return fail(index, item.output, reason), nullptr;
}

// An input of this run, by any name, or an existing binary grid is not written over; a new
// output is neither.
std::string Batch::refusalOf(const Job& job) {
    std::optional<FileIdentity> identity = job.output->identity();
    if (!identity)
        return {};
    if (identity == job.input.identity())
        return "is the input file";
    if (std::optional<std::size_t> input = listing_.inputOf(*identity))
        return "is the input file " + items_[*input].input;
    std::optional<InputFile> old = openRegularFile(items_[job.item].output);
    if (old && job.output->isSameFileAs(*old) && holdsBinaryGrid(*old))
        return "is a binary grid file: it is not replaced by a text grid";
    return {};
}

// Makes the folders up to `folder` that are not there yet, each noted, so that the ones left
// empty go at the end.
bool Batch::makeFolders(const fs::path& folder, std::string& reason) {
    std::error_code error;
    if (folder.empty() || fs::is_directory(folder, error))
        return true;
    if (!makeFolders(folder.parent_path(), reason))
        return false;
    if (fs::create_directory(folder, error))
        made_.push_back(folder);
    else if (error)
        reason = error.message();
    return !error;
}

void Batch::format(Job& job, Console& quiet, int threads) const {
    try {
        writeHeaderLines(job.output->text(), job.grid.header(), options_.exactHeader);
        job.readError = writeNodeLines(job.output->text(), quiet, job.grid, nodeFormat_, threads);
    } catch (const std::bad_alloc&) {
        job.outOfMemory = true;
    }
}

// Once formatted: the input closed, the output on its way to the disk, or dropped as it was.
void Batch::prepare(Job& job) {
    job.input = InputFile();
    bytesDone_ += items_[job.item].bytes;
    ++done_;
    std::string reason = "too little memory to convert the grid";
    if (job.readError)
        failReading(job.item, *job.readError);
    else if (job.outOfMemory || !job.output->prepare(reason))
        fail(job.item, items_[job.item].output, reason);
    else
        return;
    job.output.reset();
}

void Batch::finish(std::vector<std::unique_ptr<Job>>& jobs) {
    std::vector<OutputFile> outputs;
    std::vector<std::size_t> items;
    outputs.reserve(jobs.size());
    items.reserve(jobs.size());
    for (std::unique_ptr<Job>& job : jobs)
        if (job->output) {
            outputs.push_back(std::move(*job->output));
            items.push_back(job->item);
        }
    jobs.clear();
    std::vector<std::string> reasons(outputs.size());
    std::vector<bool> finished = finishTogether(outputs, reasons);
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (finished[i])
            ++converted_;
        else
            fail(items[i], items_[items[i]].output, reasons[i]);
}

std::size_t Batch::run() {
    int threads = threadCountFromEnvironment();
    int sideBySide = mostThreads(threads);
    std::vector<std::unique_ptr<Job>> jobs; // after the threads that format them have ended
    SideBySide formatters(sideBySide > 1 ? sideBySide : 0,
                          [this](Job& job, Console& quiet) { format(job, quiet, 1); });
    Console quiet(-1, -1);
    std::size_t groupMost = outputsOpenAtOnce();
    auto takeBack = [&](std::size_t most) {
        while (formatters.out() > most)
            prepare(formatters.takeBack());
    };
    for (std::size_t next = 0; next < items_.size();) {
        for (std::uint64_t text = 0;
             next < items_.size() && jobs.size() < groupMost && text < kGroupTextBytes;) {
            std::unique_ptr<Job> opened = open(next++);
            if (!opened) {
                ++done_;
                continue;
            }
            Job& job = *jobs.emplace_back(std::move(opened));
            std::uint64_t nodes = std::uint64_t(job.grid.header().columnCount) *
                                  std::uint64_t(job.grid.header().rowCount);
            text += nodes * kTextBytesPerNode;
            if (nodes <= kSideBySideNodes && formatters.started()) {
                formatters.add(job);
                takeBack(static_cast<std::size_t>(sideBySide)); // the others wait their turn
            } else {
                takeBack(0);
                format(job, quiet, threads);
                prepare(job);
            }
            showProgress(false);
        }
        takeBack(0);
        finish(jobs);
        for (auto said = said_.begin(); said != said_.end(); said = said_.erase(said))
            for (const Warning& line : said->second)
                console_.warn(line.subject, line.text);
        showProgress(true);
    }
    return converted_;
}

// Files, bytes, rate and time left, at most five times a second.
void Batch::showProgress(bool now) {
    using namespace std::chrono;
    steady_clock::time_point time = steady_clock::now();
    if (!now && time - shown_ < milliseconds(200))
        return;
    shown_ = time;
    double seconds = duration<double>(time - start_).count();
    double rate = seconds > 0 ? double(bytesDone_) / seconds : 0;
    char line[200];
    int size = std::snprintf(line, sizeof line, "%zu of %zu grids, %.1f of %.1f MB", done_,
                             items_.size(), double(bytesDone_) / 1e6, double(bytesAll_) / 1e6);
    if (rate > 0 && size > 0)
        std::snprintf(line + size, sizeof line - std::size_t(size), ", %.1f MB/s, %.0f s left",
                      rate / 1e6, double(bytesAll_ - bytesDone_) / rate);
    console_.showProgress(line);
}

// Ends the run before anything is written: the line, and the usage where it is the command's.
int refuse(Console& console, const std::string& subject, const std::string& reason,
           bool usage = false) {
    console.reportFailure(subject, reason);
    console.moveToStandardError();
    if (usage)
        console.printForScripts(kUsageWithOptions);
    return kStatusFailed;
}

} // namespace

int runBatch(const CommandLine& line, Console& console) {
    const BatchOptions& options = line.batch;
    std::error_code error;
    fs::file_status target = fs::status(pathOf(*options.targetDirectory), error);
    if (!fs::is_directory(target))
        return refuse(console, *options.targetDirectory,
                      fs::exists(target)
                          ? "is not a folder"
                          : std::make_error_code(std::errc::no_such_file_or_directory).message(),
                      true);
    std::vector<Warning> warnings;
    warnOfPrecision(warnings, {}, line.options.precision);
    for (const Warning& warning : warnings)
        console.warn(warning.subject, warning.text);
    if (line.options.strict && !warnings.empty())
        return refuse(console, *options.targetDirectory,
                      "nothing converted: --strict ends the run at a warning");
    try {
        Lister lister(options, line.words.size());
        for (const std::string& name : line.words)
            lister.add(name);
        std::string reason;
        for (const std::string& list : options.lists)
            if (!readList(
                    list, options.nulSeparated, [&](std::string name) { lister.add(name); },
                    reason))
                return refuse(console, list, reason);
        Listing listing = std::move(lister).done();
        std::vector<std::pair<std::size_t, std::size_t>> shared = sharedOutputs(listing.items);
        for (auto [one, other] : shared)
            console.reportFailure(listing.items[other].output,
                                  "both " + listing.items[one].input + " and " +
                                      listing.items[other].input +
                                      " would be converted into it; nothing converted");
        if (!shared.empty())
            return kStatusFailed;
        std::size_t converted = Batch(line, console, listing).run();
        std::size_t all = listing.items.size();
        console.showProgress({});
        char summary[200];
        std::snprintf(summary, sizeof summary,
                      "converted %zu of %zu grids (%zu failed, %llu skipped: not binary grids)\n",
                      converted, all, all - converted,
                      static_cast<unsigned long long>(listing.skipped));
        console.printForScripts(summary);
        return converted == all ? kStatusConverted : kStatusFailed;
    } catch (const std::bad_alloc&) {
        return refuse(console, *options.targetDirectory, "too little memory to convert the grids");
    }
}

} // namespace brenzolt
