#include "app/node_lines.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace brenzolt {

namespace {

// A block holds about this many nodes: whole rows when rows are short, a
// part of one row when a row is longer.
constexpr std::uint64_t kBlockNodes = 32 * 1024;

// The blocks of a grid in output order (lowest row first). Rows are
// numbered in output order here: output row i is file row rowCount - 1 - i.
class BlockPlan {
  public:
    explicit BlockPlan(const GridHeader& header)
        : columns_(static_cast<std::uint64_t>(header.columnCount)),
          rows_(static_cast<std::uint64_t>(header.rowCount)) {
        if (rows_ == 0)
            return;
        if (columns_ <= kBlockNodes) {
            // A row of no columns is still a line.
            rowsPerBlock_ = kBlockNodes / std::max<std::uint64_t>(columns_, 1);
            count_ = (rows_ + rowsPerBlock_ - 1) / rowsPerBlock_;
        } else {
            partsPerRow_ = (columns_ + kBlockNodes - 1) / kBlockNodes;
            count_ = rows_ * partsPerRow_;
        }
    }
    std::uint64_t count() const { return count_; }

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
        std::uint64_t firstColumn = part * kBlockNodes;
        return Block{k / partsPerRow_, 1, firstColumn,
                     std::min(kBlockNodes, columns_ - firstColumn)};
    }
    std::uint64_t columns() const { return columns_; }
    std::uint64_t rows() const { return rows_; }

  private:
    std::uint64_t columns_;
    std::uint64_t rows_;
    std::uint64_t rowsPerBlock_ = 0;
    std::uint64_t partsPerRow_ = 0;
    std::uint64_t count_ = 0;
};

// One block's text, with the rows it ends (for the dots) or the read error
// that kept it from being made.
struct BlockText {
    std::unique_ptr<char[]> text;
    std::size_t capacity = 0;
    std::size_t size = 0;
    std::uint64_t rowsEnded = 0;
    std::optional<ReadError> error;
};

// Reads and formats block k into `out`, with `nodes` as room for its values.
void makeBlock(const GridReader& grid, const BlockPlan& plan, std::uint64_t k,
               NodeFormat nodeFormat, std::vector<float>& nodes, BlockText& out) {
    BlockPlan::Block block = plan.block(k);
    std::size_t count = static_cast<std::size_t>(block.rowCount * block.width);
    nodes.resize(count);
    out.size = 0;
    out.rowsEnded = 0;
    // The rows of a block are consecutive in the file too, in reverse.
    std::uint64_t lastFileRow = plan.rows() - 1 - block.firstRow;
    std::uint64_t firstFileRow = lastFileRow + 1 - block.rowCount;
    out.error =
        grid.readNodes(firstFileRow * plan.columns() + block.firstColumn, count, nodes.data());
    if (out.error)
        return;
    std::size_t room = static_cast<std::size_t>(block.rowCount) *
                       nodeTextRoom(static_cast<std::size_t>(block.width));
    if (out.capacity < room) {
        out.text.reset(new char[room]);
        out.capacity = room;
    }
    char* end = out.text.get();
    bool endsRow = block.firstColumn + block.width == plan.columns();
    for (std::uint64_t r = 0; r < block.rowCount; ++r) {
        const float* row = nodes.data() + (block.rowCount - 1 - r) * block.width;
        end = writeNodeTexts(end, row, static_cast<std::size_t>(block.width), endsRow,
                             grid.header().blankThreshold, nodeFormat);
    }
    out.size = static_cast<std::size_t>(end - out.text.get());
    out.rowsEnded = endsRow ? block.rowCount : 0;
}

// Writes a made block and its dots; false when the run must stop.
bool writeBlock(TextWriter& file, Console& console, const BlockText& block) {
    file.writeLines(std::string_view(block.text.get(), block.size));
    for (std::uint64_t r = 0; r < block.rowsEnded; ++r)
        console.progressDot();
    return !file.failed();
}

// Blocks made by worker threads and written in order by the calling thread.
// A ring of slots bounds the memory: a worker takes block k only once block
// k - slots has been written.
class BlockPipeline {
  public:
    BlockPipeline(const GridReader& grid, const BlockPlan& plan, NodeFormat nodeFormat,
                  int threadCount)
        : grid_(grid), plan_(plan), nodeFormat_(nodeFormat),
          slots_(static_cast<std::size_t>(2 * threadCount + 2)) {
        for (int t = 0; t < threadCount; ++t)
            workers_.emplace_back([this] { work(); });
    }
    ~BlockPipeline() {
        stop();
        for (std::thread& worker : workers_)
            worker.join();
    }

    std::optional<ReadError> writeAll(TextWriter& file, Console& console) {
        for (std::uint64_t k = 0; k < plan_.count(); ++k) {
            Slot& slot = slots_[k % slots_.size()];
            {
                std::unique_lock lock(mutex_);
                made_.wait(lock, [&] { return slot.ready; });
            }
            if (slot.block.error)
                return slot.block.error;
            if (!writeBlock(file, console, slot.block))
                return std::nullopt;
            std::lock_guard lock(mutex_);
            slot.ready = false;
            written_ = k + 1;
            freed_.notify_all();
        }
        return std::nullopt;
    }

  private:
    struct Slot {
        BlockText block;
        bool ready = false;
    };

    void stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        freed_.notify_all();
    }

    void work() {
        std::vector<float> nodes;
        for (;;) {
            std::uint64_t k;
            {
                std::unique_lock lock(mutex_);
                freed_.wait(lock, [&] {
                    return stopped_ || next_ >= plan_.count() || next_ < written_ + slots_.size();
                });
                if (stopped_ || next_ >= plan_.count())
                    return;
                k = next_++;
            }
            Slot& slot = slots_[k % slots_.size()];
            makeBlock(grid_, plan_, k, nodeFormat_, nodes, slot.block);
            std::lock_guard lock(mutex_);
            slot.ready = true;
            made_.notify_all();
        }
    }

    const GridReader& grid_;
    const BlockPlan& plan_;
    NodeFormat nodeFormat_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable made_;
    std::condition_variable freed_;
    std::uint64_t next_ = 0;
    std::uint64_t written_ = 0;
    bool stopped_ = false;
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
    BlockPlan plan(grid.header());
    if (threadCount <= 1 || plan.count() <= 1) {
        std::vector<float> nodes;
        BlockText block;
        for (std::uint64_t k = 0; k < plan.count(); ++k) {
            makeBlock(grid, plan, k, nodeFormat, nodes, block);
            if (block.error)
                return block.error;
            if (!writeBlock(file, console, block))
                break;
        }
        return std::nullopt;
    }
    BlockPipeline pipeline(grid, plan, nodeFormat, threadCount);
    return pipeline.writeAll(file, console);
}

} // namespace brenzolt
