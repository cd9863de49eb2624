#include "app/run.h"
#include "platform/platform.h"

#include <cstdio>
#include <new>
#include <utility>
#include <vector>

namespace {

int tooLittleMemory() {
    brenzolt::lineForScripts(std::nullopt, "too little memory to run", [](std::string_view line) {
        std::fwrite(line.data(), 1, line.size(), stderr);
    });
    return brenzolt::kStatusFailed;
}

} // namespace

int main(int argc, char** argv) try {
    if (!brenzolt::prepareProcess())
        return tooLittleMemory();
    std::vector<std::string> arguments = brenzolt::commandLineArguments(argc, argv);
    brenzolt::Console console;
    int status = brenzolt::runConversion(std::move(arguments), console);
    console.keepOwnWindowOpen();
    console.flush();
    return status;
} catch (const std::bad_alloc&) {
    // Too little memory even for the console's buffer.
    return tooLittleMemory();
}
