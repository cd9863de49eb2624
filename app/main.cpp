#include "app/run.h"

#include <span>

int main(int argc, char** argv) {
    brenzolt::prepareProcess();
    brenzolt::Console console;
    int status = brenzolt::runConversion(
        std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)),
        console);
    console.flush();
    return status;
}
