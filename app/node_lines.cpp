#include "app/node_lines.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace brenzolt {

namespace {

// The blocks of text in memory at once take at most about this many bytes
// together, whatever the grid, the node format and the number of threads;
// each block at most the second. Larger blocks cost fewer hand-overs between
// threads and fewer system calls, and past a megabyte gain nothing.
constexpr std::uint64_t kRingTextBytes = 8 << 20;
constexpr std::uint64_t kMostBlockTextBytes = 1 << 20;

// Sixteen workers format and write faster than a disk takes the text; the
// cap, with the ring of 2 x workers + 2 blocks, bounds the memory whatever
// the machine.
constexpr int kMostWorkers = 16;

std::size_t slotCount(int workerCount) {
    return static_cast<std::size_t>(2 * workerCount + 2);
}

// How many nodes a block of `workerCount` workers holds, so that even the
// longest texts of the node format fit the memory the ring may take.
std::uint64_t blockNodes(NodeFormat nodeFormat, int workerCount) {
    std::uint64_t bytes = std::min(kMostBlockTextBytes, kRingTextBytes / slotCount(workerCount));
    return nodesInTextRoom(bytes, nodeFormat);
}

// The blocks of a grid in output order (lowest row first): whole rows when
// rows are short, parts of one row when a row is longer. Rows are numbered in
// output order here: output row i is file row rowCount - 1 - i.
class BlockPlan {
  public:
    BlockPlan(const GridHeader& header, std::uint64_t blockNodes)
        : columns_(static_cast<std::uint64_t>(header.columnCount)),
          rows_(static_cast<std::uint64_t>(header.rowCount)), blockNodes_(blockNodes) {
        if (rows_ == 0)
            return;
        if (columns_ <= blockNodes_) {
            // A row of no columns is still a line.
            rowsPerBlock_ = blockNodes_ / std::max<std::uint64_t>(columns_, 1);
            count_ = (rows_ + rowsPerBlock_ - 1) / rowsPerBlock_;
        } else {
            partsPerRow_ = (columns_ + blockNodes_ - 1) / blockNodes_;
            count_ = rows_ * partsPerRow_;
        }
    }
    std::uint64_t count() const { return count_; }
    // The most nodes of a block, and the room the text of any block needs.
    std::size_t mostNodes() const {
        return static_cast<std::size_t>(rowsPerBlock_ > 0 ? rowsPerBlock_ * columns_ : blockNodes_);
    }
    std::size_t mostTextRoom(NodeFormat nodeFormat) const {
        return rowsPerBlock_ > 0 ? nodeTextRoom(rowsPerBlock_, columns_, nodeFormat)
                                 : nodeTextRoom(1, blockNodes_, nodeFormat);
    }

    // Where block k lies: its first output row, the rows it spans (whole,
    // or one part of one), and for a part its first column and width.
    struct Block {
        std::uint64_t firstRow;
        std::uint64_t rowCount;
        std::uint64_t firstColumn;
        std::uint64_t width;
    };
    Block block(std::uint64_t k) const {
        if (rowsPerBlock_ > 0) {
            std::uint64_t first = k * rowsPerBlock_;
            return Block{first, std::min(rowsPerBlock_, rows_ - first), 0, columns_};
        }
        std::uint64_t part = k % partsPerRow_;
        std::uint64_t firstColumn = part * blockNodes_;
        return Block{k / partsPerRow_, 1, firstColumn,
                     std::min(blockNodes_, columns_ - firstColumn)};
    }
    std::uint64_t columns() const { return columns_; }
    std::uint64_t rows() const { return rows_; }
    std::uint64_t rowsPerBlock() const { return rowsPerBlock_; }
    // The first node, in file order, of output rows [first, first + count).
    std::uint64_t firstNodeOfRows(std::uint64_t first, std::uint64_t count) const {
        return (rows_ - first - count) * columns_;
    }

  private:
    std::uint64_t columns_;
    std::uint64_t rows_;
    std::uint64_t blockNodes_;
    std::uint64_t rowsPerBlock_ = 0;
    std::uint64_t partsPerRow_ = 0;
    std::uint64_t count_ = 0;
};

// The system reads a file ahead forwards, but blocks of whole rows go from
// the file's end towards its start: each stretch of them asks for the next
// while its first block is read. (Parts of a long row go forwards.)
class ReadAhead {
  public:
    ReadAhead(const GridReader& grid, const BlockPlan& plan) : grid_(grid), plan_(plan) {
        std::uint64_t blockBytes = plan.rowsPerBlock() * plan.columns() * sizeof(float);
        stretch_ =
            std::max<std::uint64_t>(1, kStretchBytes / std::max<std::uint64_t>(blockBytes, 1));
    }
    void beforeBlock(std::uint64_t k) const {
        if (plan_.rowsPerBlock() == 0 || k % stretch_ != 0)
            return;
        std::uint64_t from = k == 0 ? 0 : k + stretch_;
        std::uint64_t to = std::min(k + 2 * stretch_, plan_.count());
        if (from >= to)
            return;
        std::uint64_t firstRow = from * plan_.rowsPerBlock();
        std::uint64_t rows = std::min(to * plan_.rowsPerBlock(), plan_.rows()) - firstRow;
        grid_.readAhead(plan_.firstNodeOfRows(firstRow, rows), rows * plan_.columns());
    }

  private:
    static constexpr std::uint64_t kStretchBytes = 8 << 20;
    const GridReader& grid_;
    const BlockPlan& plan_;
    std::uint64_t stretch_;
};

// One block's text, in room for any block of the plan, with the rows it
// ends (for the dots) or the read error that kept it from being made.
struct BlockText {
    std::unique_ptr<char[]> text;
    std::size_t size = 0;
    std::uint64_t rowsEnded = 0;
    std::optional<ReadError> error;
    bool outOfMemory = false; // for the words of a read error
};

// Room for the values and the text of any block, made by the calling thread:
// threads that format allocate nothing.
struct BlockRoom {
    std::unique_ptr<float[]> nodes;
    BlockText text;
    BlockRoom(const BlockPlan& plan, NodeFormat nodeFormat) : nodes(new float[plan.mostNodes()]) {
        text.text.reset(new char[plan.mostTextRoom(nodeFormat)]);
    }
};

// Reads and formats block k into `out`, with `nodes` as room for its values.
void makeBlock(const GridReader& grid, const BlockPlan& plan, std::uint64_t k,
               NodeFormat nodeFormat, float* nodes, BlockText& out) {
    BlockPlan::Block block = plan.block(k);
    std::size_t count = static_cast<std::size_t>(block.rowCount * block.width);
    out.size = 0;
    out.rowsEnded = 0;
    out.error = grid.readNodes(
        plan.firstNodeOfRows(block.firstRow, block.rowCount) + block.firstColumn, count, nodes);
    if (out.error)
        return;
    char* end = out.text.get();
    bool endsRow = block.firstColumn + block.width == plan.columns();
    // The rows of a block are consecutive in the file too, in reverse.
    for (std::uint64_t r = 0; r < block.rowCount; ++r) {
        const float* row = nodes + (block.rowCount - 1 - r) * block.width;
        end = writeNodeTexts(end, row, static_cast<std::size_t>(block.width), endsRow,
                             grid.header().blankThreshold, nodeFormat);
    }
    out.size = static_cast<std::size_t>(end - out.text.get());
    out.rowsEnded = endsRow ? block.rowCount : 0;
}

std::string_view textOf(const BlockText& block) {
    return std::string_view(block.text.get(), block.size);
}

void showRows(Console& console, const BlockText& block) {
    for (std::uint64_t r = 0; r < block.rowsEnded; ++r)
        console.progressDot();
}

// Blocks made by worker threads. A ring of slots bounds the memory: a worker
// takes block k only once block k - slots is done with. Where the file takes
// lines at offsets, a block is written by a worker as soon as the lengths of
// the blocks before it are known; otherwise the calling thread writes the
// blocks in order. Either way the calling thread shows the rows in order.
class BlockPipeline {
  public:
    // Starts the workers the system lets it start and the memory lets it
    // give room to, up to `workerCount`: half as many each time the room for
    // them all cannot be made.
    BlockPipeline(const GridReader& grid, const BlockPlan& plan, NodeFormat nodeFormat,
                  int workerCount, TextWriter& file)
        : grid_(grid), plan_(plan), readAhead_(grid, plan), nodeFormat_(nodeFormat), file_(file) {
        if (std::optional<std::uint64_t> start = file.offsetOfNextLines()) {
            atOffsets_ = true;
            end_ = *start;
        }
        for (; workerCount > 0 && slots_.empty(); workerCount /= 2) {
            try {
                workers_.reserve(static_cast<std::size_t>(workerCount));
                nodes_.reserve(static_cast<std::size_t>(workerCount));
                for (int t = 0; t < workerCount; ++t)
                    nodes_.emplace_back(new float[plan.mostNodes()]);
                std::vector<Slot> slots;
                slots.reserve(slotCount(workerCount));
                for (std::size_t i = 0; i < slotCount(workerCount); ++i)
                    slots.push_back({.room{plan, nodeFormat}});
                slots_ = std::move(slots);
            } catch (const std::bad_alloc&) {
                nodes_.clear();
            }
        }
        try {
            for (std::size_t t = 0; t < nodes_.size(); ++t)
                workers_.emplace_back([this, t] { work(nodes_[t].get()); });
        } catch (const std::exception&) {
            // Out of threads (a process limit) or of memory: the ones that
            // started do the work.
        }
    }
    ~BlockPipeline() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            forWorkers_.notify_all();
        }
        for (std::thread& worker : workers_)
            worker.join();
    }

    bool started() const { return !workers_.empty(); }

    std::optional<ReadError> run(Console& console) {
        for (std::uint64_t k = 0; k < plan_.count(); ++k) {
            Slot& slot = slots_[k % slots_.size()];
            {
                std::unique_lock lock(mutex_);
                forCaller_.wait(lock, [&] { return slot.state == State::done; });
            }
            if (slot.room.text.outOfMemory)
                throw std::bad_alloc();
            if (slot.room.text.error)
                return slot.room.text.error;
            if (!atOffsets_)
                file_.writeLines(textOf(slot.room.text));
            showRows(console, slot.room.text);
            if (file_.failed())
                return std::nullopt;
            std::lock_guard lock(mutex_);
            slot.state = State::free;
            doneWith_ = k + 1;
            forWorkers_.notify_all();
        }
        if (atOffsets_) {
            std::lock_guard lock(mutex_);
            file_.moveTo(end_);
        }
        return std::nullopt;
    }

  private:
    // A slot goes round free -> made -> placed -> done -> free where the file
    // takes lines at offsets, and free -> done -> free where it does not.
    enum class State {
        free,   // no block: the next block a worker takes may go here
        made,   // its text is made; its offset waits for the blocks before it
        placed, // its offset is known: the worker that placed it writes it there
        done,   // its worker is done with it (a read error or no memory too): the
                // calling thread writes it if it goes in order, shows its rows, frees it
    };
    struct Slot {
        BlockRoom room;
        State state = State::free;
        std::uint64_t offset = 0;
    };

    // Gives the made blocks after the last placed one their offsets; a
    // block's offset is known once every block before it is made. A block
    // that could not be read stops the placing: the run ends there.
    void placeMadeBlocks() {
        for (; placed_ < next_; ++placed_) {
            Slot& slot = slots_[placed_ % slots_.size()];
            if (slot.state != State::made)
                return;
            slot.offset = end_;
            end_ += slot.room.text.size;
            slot.state = State::placed;
        }
    }

    void work(float* nodes) {
        for (;;) {
            std::uint64_t k;
            {
                std::unique_lock lock(mutex_);
                forWorkers_.wait(lock, [&] {
                    return stopped_ || next_ >= plan_.count() || next_ < doneWith_ + slots_.size();
                });
                if (stopped_ || next_ >= plan_.count())
                    return;
                k = next_++;
            }
            Slot& slot = slots_[k % slots_.size()];
            readAhead_.beforeBlock(k);
            BlockText& text = slot.room.text;
            try {
                makeBlock(grid_, plan_, k, nodeFormat_, nodes, text);
            } catch (const std::bad_alloc&) {
                text.outOfMemory = true; // the calling thread ends the run
            }
            std::unique_lock lock(mutex_);
            slot.state = atOffsets_ && !text.error && !text.outOfMemory ? State::made : State::done;
            // The blocks that this one lets be placed are written by this
            // worker, whoever made them, so that no worker waits for another.
            std::uint64_t first = placed_;
            placeMadeBlocks();
            std::uint64_t end = placed_;
            if (first < end) {
                lock.unlock();
                for (std::uint64_t j = first; j < end; ++j)
                    file_.writeLinesAt(slots_[j % slots_.size()].offset,
                                       textOf(slots_[j % slots_.size()].room.text));
                lock.lock();
                for (std::uint64_t j = first; j < end; ++j)
                    slots_[j % slots_.size()].state = State::done;
            }
            forCaller_.notify_one();
        }
    }

    const GridReader& grid_;
    const BlockPlan& plan_;
    ReadAhead readAhead_;
    NodeFormat nodeFormat_;
    TextWriter& file_;
    bool atOffsets_ = false;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable forCaller_;
    std::condition_variable forWorkers_;
    std::uint64_t next_ = 0;     // the next block a worker takes
    std::uint64_t placed_ = 0;   // blocks with their offsets
    std::uint64_t end_ = 0;      // where the placed blocks end
    std::uint64_t doneWith_ = 0; // blocks written and shown
    bool stopped_ = false;
    std::vector<std::unique_ptr<float[]>> nodes_; // one for each worker
    std::vector<std::thread> workers_;
};

} // namespace

int threadCountFromEnvironment() {
    if (const char* text = std::getenv("BRENZOLT_THREADS")) {
        char* end = nullptr;
        long count = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && count >= 1 && count <= 256)
            return static_cast<int>(count);
    }
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

std::optional<ReadError> writeNodeLines(TextWriter& file, Console& console, const GridReader& grid,
                                        NodeFormat nodeFormat, int threadCount) {
    int workerCount = threadCount > 1 ? std::min(threadCount, kMostWorkers) : 0;
    BlockPlan plan(grid.header(), blockNodes(nodeFormat, workerCount));
    if (workerCount > 0 && plan.count() > 1) {
        BlockPipeline pipeline(grid, plan, nodeFormat, workerCount, file);
        if (pipeline.started())
            return pipeline.run(console);
    }
    ReadAhead readAhead(grid, plan);
    BlockRoom room(plan, nodeFormat);
    BlockText& block = room.text;
    for (std::uint64_t k = 0; k < plan.count(); ++k) {
        readAhead.beforeBlock(k);
        makeBlock(grid, plan, k, nodeFormat, room.nodes.get(), block);
        if (block.error)
            return block.error;
        file.writeLines(textOf(block));
        showRows(console, block);
        if (file.failed())
            break;
    }
    return std::nullopt;
}

} // namespace brenzolt
