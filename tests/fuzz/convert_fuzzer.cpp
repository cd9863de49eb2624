// libFuzzer target: the whole conversion run, from a grid file in memory to /dev/null, as the
// command line `brenzolt GRID /dev/null PRECISION` runs it. The first byte is the precision
// text, the rest the grid file. Every input ends with status 0 or 1, and in no crash or
// sanitizer report on the way.
#include "app/run.h"

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return -1; // keeps the input out of the corpus
    int memory = memfd_create("grid", MFD_CLOEXEC), devNull = open("/dev/null", O_RDWR);
    if (write(memory, data + 1, size - 1) != static_cast<ssize_t>(size - 1))
        std::abort();
    // Opened by name like any input file, so that its size is checked before it is read.
    std::string grid = "/proc/self/fd/" + std::to_string(memory), precision(1, char(data[0]));
    std::vector<std::string> arguments{grid, "/dev/null", precision};
    int status = 0;
    {
        brenzolt::Console console(devNull, devNull, devNull);
        status = brenzolt::runConversion(std::move(arguments), console);
    }
    if (status != brenzolt::kStatusConverted && status != brenzolt::kStatusFailed)
        std::abort();
    close(memory);
    close(devNull);
    return 0;
}
