// The process itself: its set-up and its arguments. The console, the text
// writer and the files have headers of their own.
#pragma once

#include <string>
#include <vector>

namespace brenzolt {

// The arguments after the program name, in UTF-8 whatever the system's own
// form of the command line.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Prepares the process once, before anything else: a console whose reader
// has gone only makes the console writes fail, rather than ending the
// process half-way through the output file; a signal that ends the process
// (an interrupt, termination, hang-up, a timer, SIGUSR1...) undoes what the
// output has begun before the process ends as the signal says (unless the
// caller set it to be ignored); a file size limit
// makes a write fail rather than end the process. False where too little
// memory is left even to report that an allocation failed: the process can
// only say so and end.
bool prepareProcess();

} // namespace brenzolt
