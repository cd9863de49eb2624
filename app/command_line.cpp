#include "app/command_line.h"

#include <algorithm>

namespace brenzolt {

namespace {

// The options that take a value, each written here as NAME=.
constexpr std::string_view kValued[] = {
    "--precision=", "--target-directory=", "-t=", "--suffix=", "--files-from="};

// The option and its value as one argument, NAME=VALUE, where it takes one: the value after '='
// or in the next argument (`next` then moves on), for -t also right after it; nothing where
// the value is missing.
std::optional<std::string> withValue(const std::string& argument,
                                     const std::vector<std::string>& arguments, std::size_t& next) {
    for (std::string_view valued : kValued) {
        std::string_view name = valued.substr(0, valued.size() - 1);
        if (argument.starts_with(valued) || (name == "-t" && argument.size() > 2 &&
                                             argument.starts_with("-t") && argument[2] != '='))
            return argument.starts_with(valued) ? argument : "-t=" + argument.substr(2);
        if (argument == name)
            return next < arguments.size() ? std::optional(std::string(valued) + arguments[next++])
                                           : std::nullopt;
    }
    return argument;
}

void misused(CommandLine& line, std::string argument, std::string how) {
    line.asks = CommandLine::Asks::misused;
    line.unknown = std::move(argument);
    line.misuse = std::move(how);
}

// Takes `argument` (NAME=VALUE for those that take one) into the batch form's options; the
// option as given (its name), or nothing where it is none of them.
std::optional<std::string> takeBatchOption(const std::string& argument, BatchOptions& batch) {
    std::string value = argument.substr(argument.find('=') + 1);
    if (argument.starts_with("-t=") || argument.starts_with("--target-directory="))
        batch.targetDirectory = value;
    else if (argument.starts_with("--suffix="))
        batch.suffix = value;
    else if (argument.starts_with("--files-from="))
        batch.lists.push_back(value);
    else if (argument == "-r" || argument == "--recursive")
        batch.recursive = true;
    else if (argument == "-0")
        batch.nulSeparated = true;
    else
        return std::nullopt;
    return argument.substr(0, argument.find('='));
}

} // namespace

bool takeConversionOption(std::string_view argument, ConversionOptions& options) {
    if (argument == "--exact-header")
        options.exactHeader = true;
    else if (argument == "--strict")
        options.strict = true;
    else if (argument.starts_with("--precision="))
        options.precision = argument.substr(argument.find('=') + 1);
    else
        return false;
    return true;
}

CommandLine readCommandLine(std::vector<std::string> arguments) {
    CommandLine line;
    line.words.reserve(arguments.size());
    bool options = true;
    std::string batchOnly; // the first option of the batch form alone
    for (std::size_t next = 0; next < arguments.size();) {
        std::string& argument = arguments[next++];
        bool help = argument == "--help" || argument == "-h";
#ifdef _WIN32
        help = help || argument == "/?";
#endif
        if (!options || (!help && (argument == "-" || !argument.starts_with('-')))) {
            line.words.push_back(std::move(argument));
            continue;
        }
        if (argument == "--") {
            options = false;
            continue;
        }
        std::optional<std::string> option = withValue(argument, arguments, next);
        if (!option) {
            misused(line, argument, "needs a value");
            return line;
        }
        if (takeConversionOption(*option, line.options))
            continue;
        if (std::optional<std::string> name = takeBatchOption(*option, line.batch)) {
            if (batchOnly.empty() && *name != "-t" && *name != "--target-directory")
                batchOnly = *name;
            continue;
        }
        line.asks = help                      ? CommandLine::Asks::help
                    : argument == "--version" ? CommandLine::Asks::version
                                              : CommandLine::Asks::unknownOption;
        line.unknown = line.asks == CommandLine::Asks::unknownOption ? argument : "";
        return line;
    }
    const std::optional<std::string>& precision = line.options.precision;
    if (line.batch.targetDirectory)
        line.asks = CommandLine::Asks::batch;
    if (line.asks == CommandLine::Asks::batch && line.words.empty() && line.batch.lists.empty())
        misused(line, *line.batch.targetDirectory, "no file named to convert into it");
    else if (line.asks != CommandLine::Asks::batch && !batchOnly.empty())
        misused(line, batchOnly, "only with -t FOLDER, the form that converts many grids");
    else if (line.asks != CommandLine::Asks::batch && precision && line.words.size() >= 3)
        misused(line, "--precision=" + *precision,
                "the third argument gives the precision too: give one of them");
    return line;
}

} // namespace brenzolt
