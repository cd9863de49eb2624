#include "app/run.h"

#include <cstdio>
#include <new>
#include <span>
#include <vector>

int main(int argc, char** argv) try {
    brenzolt::prepareProcess();
    std::vector<std::string> arguments = brenzolt::commandLineArguments(argc, argv);
    std::vector<const char*> words;
    for (const std::string& argument : arguments)
        words.push_back(argument.c_str());
    brenzolt::Console console;
    int status = brenzolt::runConversion(words, console);
    console.flush();
    return status;
} catch (const std::bad_alloc&) {
    // Too little memory even for the console's buffer.
    std::fputs("brenzolt: too little memory to run\r\n", stderr);
    return brenzolt::kStatusFailed;
}
