#include "app/node_lines.h"

#include <algorithm>
#include <atomic>
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

// A block holds at most this many nodes: 64 KiB of values and some 150 KiB
// of text, which stays in the cache of the core that made it until it is
// written. Each block costs two system calls, each page of the ring a page
// fault: a fresh page costs as much as formatting a few hundred nodes (ten
// times more in a virtual machine), so the ring stays small.
constexpr std::uint64_t kBlockNodes = 16384;

// The blocks of text in memory at once take at most about this much room
// together, whatever the grid, the node format and the number of threads.
constexpr std::uint64_t kRingTextBytes = 8 << 20;

// Sixteen threads format and write faster than a disk takes the text; the
// cap bounds the memory whatever the machine.
constexpr int kMostThreads = 16;

// A thread pays for its start (its room, the ring's share of it) only with
// this many nodes to make: 32 blocks, some 5 ms of work.
constexpr std::uint64_t kNodesPerThread = 32 * kBlockNodes;

// The blocks in memory at once: one for a thread alone; with more, one for
// each thread and one more for all but one, so that a thread seldom finds
// the ring full while another writes.
std::size_t slotCount(int threadCount) {
    return static_cast<std::size_t>(2 * threadCount - 1);
}

// How many nodes a block holds, so that even the longest texts of the node
// format fit the room the ring may take.
std::uint64_t blockNodes(NodeFormat nodeFormat, int threadCount) {
    return std::min(kBlockNodes, std::uint64_t{nodesInTextRoom(
                                     kRingTextBytes / slotCount(threadCount), nodeFormat)});
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
// while its first block is read, until the system says it never listens.
// (Parts of a long row go forwards.)
class ReadAhead {
  public:
    ReadAhead(const GridReader& grid, const BlockPlan& plan) : grid_(grid), plan_(plan) {
        std::uint64_t blockBytes = plan.rowsPerBlock() * plan.columns() * sizeof(float);
        stretch_ =
            std::max<std::uint64_t>(1, kStretchBytes / std::max<std::uint64_t>(blockBytes, 1));
    }
    void beforeBlock(std::uint64_t k) {
        if (plan_.rowsPerBlock() == 0 || k % stretch_ != 0 ||
            !listens_.load(std::memory_order_relaxed))
            return;
        std::uint64_t from = k == 0 ? 0 : k + stretch_;
        std::uint64_t to = std::min(k + 2 * stretch_, plan_.count());
        if (from >= to)
            return;
        std::uint64_t firstRow = from * plan_.rowsPerBlock();
        std::uint64_t rows = std::min(to * plan_.rowsPerBlock(), plan_.rows()) - firstRow;
        if (!grid_.readAhead(plan_.firstNodeOfRows(firstRow, rows), rows * plan_.columns()))
            listens_.store(false, std::memory_order_relaxed);
    }

  private:
    static constexpr std::uint64_t kStretchBytes = 8 << 20;
    const GridReader& grid_;
    const BlockPlan& plan_;
    std::uint64_t stretch_;
    std::atomic<bool> listens_ = true;
};

// A block's place in the ring: its text, in room for any block of the plan,
// with the rows it ends (for the dots) or what kept it from being made.
struct Slot {
    std::unique_ptr<char[]> text;
    std::size_t size = 0;
    std::uint64_t rowsEnded = 0;
    std::optional<ReadError> error;
    bool outOfMemory = false; // for the words of a read error
    // Whose turn it is: 2k + 1 once block k is made here, 2k + 2 once it is
    // written (the slot is then free for block k + slots), kStopped once the
    // run stops early; 0 at first.
    std::atomic<std::uint64_t> turn = 0;
};

// Reads and formats block k into `out`, with `nodes` as room for its values.
void makeBlock(const GridReader& grid, const BlockPlan& plan, std::uint64_t k,
               NodeFormat nodeFormat, float* nodes, Slot& out) {
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

// The blocks of a grid made on the calling thread and the threads it starts,
// all alike: each takes the next block, reads and formats it into its slot of
// a ring, and then writes, in order, the blocks that are made, unless another
// thread is writing them already, in which case it takes the next block. One
// thread at a time writes and shows the rows, so the file takes the text in
// order, as a stream must, and the system never holds one writer back for
// another. A thread waits only where the ring is full: a block whose slot
// still holds a block that is not written yet.
class BlockPipeline {
  public:
    // Room for `threadCount` threads, or for half as many each time the
    // memory cannot give it; no room for one thread throws std::bad_alloc.
    BlockPipeline(const GridReader& grid, const BlockPlan& plan, NodeFormat nodeFormat,
                  int threadCount, TextWriter& file, Console& console)
        : grid_(grid), plan_(plan), readAhead_(grid, plan), nodeFormat_(nodeFormat), file_(file),
          console_(console) {
        for (;; threadCount /= 2) {
            try {
                slotCount_ = slotCount(threadCount);
                slots_.reset(new Slot[slotCount_]);
                for (std::size_t i = 0; i < slotCount_; ++i)
                    slots_[i].text.reset(new char[plan.mostTextRoom(nodeFormat)]);
                nodes_.clear();
                nodes_.reserve(static_cast<std::size_t>(threadCount));
                for (int t = 0; t < threadCount; ++t)
                    nodes_.emplace_back(new float[plan.mostNodes()]);
                return;
            } catch (const std::bad_alloc&) {
                if (threadCount == 1)
                    throw;
            }
        }
    }

    // Stops at the first block that could not be read, whose error it
    // returns, or at the first failed write; out of memory, it throws.
    std::optional<ReadError> run() {
        std::vector<std::thread> threads;
        try {
            threads.reserve(nodes_.size() - 1);
            for (std::size_t t = 1; t < nodes_.size(); ++t)
                threads.emplace_back([this, t] { work(nodes_[t].get()); });
        } catch (const std::exception&) {
            // Out of threads (a process limit) or of memory: the ones that
            // started do the work.
        }
        work(nodes_[0].get());
        for (std::thread& thread : threads)
            thread.join();
        if (written_ == plan_.count() || file_.failed())
            return std::nullopt;
        const Slot& failed = slot(written_);
        if (failed.outOfMemory)
            throw std::bad_alloc();
        return failed.error;
    }

  private:
    static constexpr std::uint64_t kStopped = ~std::uint64_t{0};

    Slot& slot(std::uint64_t k) const { return slots_[k % slotCount_]; }

    void work(float* nodes) {
        for (;;) {
            std::uint64_t k = next_.fetch_add(1, std::memory_order_relaxed);
            if (k >= plan_.count())
                return;
            // Block k goes where block k - slots was, once that is written.
            Slot& made = slot(k);
            std::uint64_t vacant = k < slotCount_ ? 0 : 2 * (k - slotCount_) + 2;
            if (!waitForTurn(made, vacant))
                return;
            readAhead_.beforeBlock(k);
            try {
                makeBlock(grid_, plan_, k, nodeFormat_, nodes, made);
            } catch (const std::bad_alloc&) {
                made.outOfMemory = true; // the run ends there
            }
            if (!made.turn.compare_exchange_strong(vacant, 2 * k + 1, std::memory_order_seq_cst))
                return; // stopped meanwhile
            writeMadeBlocks(k);
        }
    }

    // Waits until the slot's turn is `turn`: false once the run stopped. A
    // thread that finds the ring full lets the others run a few times, then
    // sleeps until the writing thread frees a slot; the writing thread wakes
    // sleepers only where there are any.
    bool waitForTurn(const Slot& slot, std::uint64_t turn) {
        auto reached = [&] {
            std::uint64_t now = slot.turn.load(std::memory_order_seq_cst);
            return now == turn || now == kStopped;
        };
        for (int i = 0; i < 4 && !reached(); ++i)
            std::this_thread::yield();
        if (!reached()) {
            std::unique_lock lock(mutex_);
            sleepers_.fetch_add(1, std::memory_order_seq_cst);
            slotFreed_.wait(lock, reached);
            sleepers_.fetch_sub(1, std::memory_order_relaxed);
        }
        return slot.turn.load(std::memory_order_acquire) == turn;
    }

    // Tells the sleepers that a slot's turn changed. A sleeper counts itself
    // before it looks at the turn, and this looks at the count after the turn
    // changed: one of the two sees the other.
    void wakeSleepers() {
        if (sleepers_.load(std::memory_order_seq_cst) > 0) {
            std::lock_guard lock(mutex_);
            slotFreed_.notify_all();
        }
    }

    bool isMade(std::uint64_t k) const {
        return k < plan_.count() && slot(k).turn.load(std::memory_order_seq_cst) == 2 * k + 1;
    }

    // Writes the made blocks that come next, from `k` on where no thread
    // wrote them yet, and shows their rows, unless another thread does.
    // Whoever stops writing looks once more for a block made meanwhile: its
    // maker may have found the writing taken.
    void writeMadeBlocks(std::uint64_t k) {
        while (!writing_.exchange(true, std::memory_order_seq_cst)) {
            for (k = written_; isMade(k); k = written_) {
                Slot& made = slot(k);
                if (!made.error && !made.outOfMemory) {
                    file_.writeLines(std::string_view(made.text.get(), made.size));
                    for (std::uint64_t r = 0; r < made.rowsEnded; ++r)
                        console_.progressDot();
                }
                // A block that could not be read, or written, ends the run.
                if (made.error || made.outOfMemory || file_.failed())
                    stop();
                else {
                    written_ = k + 1;
                    made.turn.store(2 * k + 2, std::memory_order_seq_cst);
                    wakeSleepers();
                }
            }
            writing_.store(false, std::memory_order_seq_cst);
            if (!isMade(k))
                return;
        }
    }

    // Frees every thread that waits for a slot, and keeps every block
    // made from here on from being written: the run ends at `written_`.
    void stop() {
        for (std::size_t i = 0; i < slotCount_; ++i)
            slots_[i].turn.store(kStopped, std::memory_order_seq_cst);
        wakeSleepers();
    }

    const GridReader& grid_;
    const BlockPlan& plan_;
    ReadAhead readAhead_;
    NodeFormat nodeFormat_;
    TextWriter& file_;
    Console& console_;
    std::size_t slotCount_ = 0;
    std::unique_ptr<Slot[]> slots_;
    std::vector<std::unique_ptr<float[]>> nodes_; // one for each thread
    std::atomic<std::uint64_t> next_ = 0;         // the next block a thread takes
    std::atomic<bool> writing_ = false;           // a thread is writing blocks
    std::uint64_t written_ = 0; // blocks written and shown (by the writing thread)
    std::mutex mutex_;          // for the threads that sleep until a slot is free
    std::condition_variable slotFreed_;
    std::atomic<int> sleepers_ = 0;
};

} // namespace

int threadCountFromEnvironment() {
    if (const char* text = std::getenv("BRENZOLT_THREADS")) {
        char* end = nullptr;
        long count = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && count >= 1 && count <= 256)
            return static_cast<int>(count);
    }
    return 0;
}

int mostThreads(int threadCount) {
    int asked = threadCount > 0
                    ? threadCount
                    : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return std::min(asked, kMostThreads);
}

std::optional<ReadError> writeNodeLines(TextWriter& file, Console& console, const GridReader& grid,
                                        NodeFormat nodeFormat, int threadCount) {
    std::uint64_t nodes = static_cast<std::uint64_t>(grid.header().columnCount) *
                          static_cast<std::uint64_t>(grid.header().rowCount);
    int threads = threadCount > 0 ? mostThreads(threadCount)
                                  : static_cast<int>(std::clamp<std::uint64_t>(
                                        nodes / kNodesPerThread, 1, mostThreads(0)));
    BlockPlan plan(grid.header(), blockNodes(nodeFormat, threads));
    // No more threads than blocks: a grid of one block is made on this one.
    threads = static_cast<int>(std::clamp<std::uint64_t>(plan.count(), 1, threads));
    return BlockPipeline(grid, plan, nodeFormat, threads, file, console).run();
}

} // namespace brenzolt
