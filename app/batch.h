// The batch form: many grids converted into one folder, each under its own name (its
// extension replaced with --suffix), and with -r the grids of a folder into the same tree
// there. Each output keeps the rule of a single run: whole, or as it was. Small grids are
// formatted side by side, a large one on every thread; the outputs wait for the disk together,
// a group at a time.
//
// What it says: one line on standard output at the end, "converted N of M grids (K failed, S
// skipped: not binary grids)"; a "brenzolt: NAME: REASON" line on standard error for each
// warning and failure, in the order of the inputs; at a terminal, a line of progress on
// standard error. No banner, no dots, no dialogue.
#pragma once

#include "app/command_line.h"
#include "platform/console.h"

namespace brenzolt {

// Converts what the batch form of `line` names, and returns the exit status: 0 when every
// grid converted. Two grids that would have one output, a target that is no folder or a list
// that cannot be read end the run before anything is written.
int runBatch(const CommandLine& line, Console& console);

} // namespace brenzolt
