#include "app/run.h"

#include <csignal>
#include <span>

int main(int argc, char** argv) {
    // A console whose reader has gone only makes the console writes fail;
    // the signal would end the process half-way through the output file.
    std::signal(SIGPIPE, SIG_IGN);
    brenzolt::RunState run;
    int status = brenzolt::runConversion(
        std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)),
        run);
    run.console.flush();
    return status;
}
