#include "app/run.h"

#include <span>
#include <vector>

int main(int argc, char** argv) {
    brenzolt::prepareProcess();
    std::vector<std::string> arguments = brenzolt::commandLineArguments(argc, argv);
    std::vector<const char*> words;
    for (const std::string& argument : arguments)
        words.push_back(argument.c_str());
    brenzolt::Console console;
    int status = brenzolt::runConversion(words, console);
    console.flush();
    return status;
}
