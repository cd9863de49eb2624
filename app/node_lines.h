// The node lines of a conversion: read, formatted and written in blocks, on
// as many threads as asked for, with one dot per row on the console.
#pragma once

#include "dsaa/dsaa.h"
#include "grid/grid.h"
#include "platform/console.h"
#include "platform/text_writer.h"

#include <optional>

namespace brenzolt {

// The number of threads asked for: BRENZOLT_THREADS when it holds a count
// from 1 to 256, else 0, as many as pay.
int threadCountFromEnvironment();

// The most threads a run uses: `threadCount` where it is above 0, else one per
// hardware thread; at most 16.
int mostThreads(int threadCount);

// Writes the node lines of `grid`, lowest row first, and one dot per row as
// each row reaches `file`. Stops at the first failed read, which it returns,
// or at the first failed write, which shows in `file.failed()`; throws
// std::bad_alloc where there is no memory for even one block. Reads and
// formats on `threadCount` threads (this one among them; 0: one per hardware
// thread, but only one for each 512 Ki nodes, below which another would cost
// more than it saves), at most 16 and no more than the grid has blocks, and
// on those the system lets start and the memory gives room to; whichever
// thread made a block, the threads write them in turn, in order. The text is
// the same for every thread count.
std::optional<ReadError> writeNodeLines(TextWriter& file, Console& console, const GridReader& grid,
                                        NodeFormat nodeFormat, int threadCount);

} // namespace brenzolt
