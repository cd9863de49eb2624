// The platform layer's console on POSIX systems.
#include "platform/system.h"

#include <fcntl.h>
#include <unistd.h>

namespace brenzolt::sys {

// A name may hold any byte but '/' and NUL, quotes included; no window belongs
// to a console program alone.
const bool kQuotedAnswers = false;

bool isOwnConsoleWindow(int, int) {
    return false;
}

// A terminal hands over bytes, as a pipe does.
bool readConsoleLine(int, std::string&) {
    return false;
}

std::string answerInUtf8(std::string line) {
    return line;
}

int descriptorIfOpen(int fd) {
    return ::fcntl(fd, F_GETFD) == -1 ? -1 : fd;
}

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

} // namespace brenzolt::sys
