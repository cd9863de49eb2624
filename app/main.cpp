#include "app/run.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

int tooLittleMemory() {
    std::fprintf(stderr, "brenzolt: too little memory to run%.*s",
                 static_cast<int>(brenzolt::kSystemLineEnd.size()),
                 brenzolt::kSystemLineEnd.data());
    return brenzolt::kStatusFailed;
}

} // namespace

int main(int argc, char** argv) try {
    // The runtime sets memory aside for a failed allocation to be reported as
    // it starts, where it can: with less than a megabyte left it may have
    // none, and any allocation that fails would end the process unreported.
    if (void* volatile room = std::malloc(1 << 20))
        std::free(room);
    else
        return tooLittleMemory();
    brenzolt::prepareProcess();
    std::vector<std::string> arguments = brenzolt::commandLineArguments(argc, argv);
    brenzolt::Console console;
    int status = brenzolt::runConversion(arguments, console);
    console.keepOwnWindowOpen();
    console.flush();
    return status;
} catch (const std::bad_alloc&) {
    // Too little memory even for the console's buffer.
    return tooLittleMemory();
}
