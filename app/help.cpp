#include "app/help.h"

namespace brenzolt {

namespace {

constexpr std::string_view kHelp =
    "\n"
    "Converts a binary grid file (twelve float32 header words, then the rows)\n"
    "into a Surfer ASCII grid, the text grid whose first line is DSAA.\n"
    "Without both file names brenzolt asks for them.\n"
    "\n"
    "  <binary file>        the grid to read\n"
    "  <Surfer-Ascii-file>  the text grid to write; an existing file is replaced\n"
    "                       only by a whole new grid\n"
    "  <precision>          how node values are written, by its first character:\n"
    "                         0 to 8  that many decimals, at least 6 characters wide\n"
    "                                 (5 to 8: 7 to 10 wide)\n"
    "                         9       8 significant digits, at least 10 wide\n"
    "                         other   6 significant digits (the default, -)\n"
    "\n"
    "brenzolt --version shows the version.\n";

} // namespace

std::optional<std::string> helpOrVersion(std::string_view argument) {
    bool help = argument == "--help" || argument == "-h";
#ifdef _WIN32
    help = help || argument == "/?";
#endif
    if (help)
        return std::string(kUsageLine) + std::string(kHelp);
    if (argument == "--version")
        return "brenzolt " BRENZOLT_VERSION "\n"
               "Copyright (c) 2026 the brenzolt developers\n"
               "License MIT: free to use, change and pass on; there is NO WARRANTY.\n";
    return std::nullopt;
}

} // namespace brenzolt
