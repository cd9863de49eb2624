#include "app/help.h"

namespace brenzolt {

namespace {

constexpr std::string_view kHelp =
    "\n"
    "Converts a binary grid file (twelve float32 header words, then the rows)\n"
    "into a Surfer ASCII grid, the text grid whose first line is DSAA.\n"
    "Without both file names brenzolt asks for them. With both, it asks for\n"
    "another name when a file does not open only at a terminal; elsewhere the\n"
    "run ends with status 1.\n"
    "\n"
    "  <binary file>        the grid to read; - is standard input\n"
    "  <Surfer-Ascii-file>  the text grid to write; - is standard output; an\n"
    "                       existing file is replaced only by a whole new grid,\n"
    "                       and never when it is a binary grid\n"
    "  <precision>          how node values are written, by its first character:\n"
    "                         0 to 8  that many decimals, at least 6 characters wide\n"
    "                                 (5 to 8: 7 to 10 wide)\n"
    "                         9       8 significant digits, at least 10 wide\n"
    "                         other   6 significant digits (the default, -)\n"
    "\n"
    "  --exact-header       writes the header's numbers with the digits (at most 9)\n"
    "                       that give their single-precision values exactly, so\n"
    "                       that readers place the grid where it is\n"
    "  --                   ends the options (a file named - is ./-)\n"
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
