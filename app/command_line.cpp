#include "app/command_line.h"

namespace brenzolt {

bool takeConversionOption(std::string_view argument, ConversionOptions& options) {
    if (argument == "--exact-header")
        options.exactHeader = true;
    else if (argument == "--strict")
        options.strict = true;
    else
        return false;
    return true;
}

CommandLine readCommandLine(std::span<const std::string> arguments) {
    CommandLine line;
    bool options = true;
    for (const std::string& argument : arguments) {
        bool help = argument == "--help" || argument == "-h";
#ifdef _WIN32
        help = help || argument == "/?";
#endif
        if (!options || (!help && (argument == "-" || !argument.starts_with('-'))))
            line.words.push_back(argument);
        else if (argument == "--")
            options = false;
        else if (!takeConversionOption(argument, line.options)) {
            line.asks = help                      ? CommandLine::Asks::help
                        : argument == "--version" ? CommandLine::Asks::version
                                                  : CommandLine::Asks::unknownOption;
            line.unknown = line.asks == CommandLine::Asks::unknownOption ? argument : "";
            return line;
        }
    }
    return line;
}

} // namespace brenzolt
