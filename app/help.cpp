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
    "  --strict             ends the run with status 1 at any warning (bytes after\n"
    "                       the grid, a header whose six digits move the grid, a\n"
    "                       node spacing of 0 or below, a precision that is more\n"
    "                       than a code), before anything is written; without it\n"
    "                       a warning is a line on standard error, and the run\n"
    "                       goes on\n"
    "  --precision=CODE     the precision, in either form (not with a third\n"
    "                       argument as well)\n"
    "  --                   ends the options: every argument after it is a name\n"
    "                       or the precision (a file named - is ./-)\n"
    "  -h, --help           shows this text\n"
    "  --version            shows the version\n"
    "\n"
    "Any other argument that starts with - before -- is an unknown option: the\n"
    "run ends with status 1.\n"
    "\n"
    "Many grids in one run:\n"
    "  -t, --target-directory=FOLDER\n"
    "                       converts each <file> into FOLDER, under its own name;\n"
    "                       no dialogue, banner or dots: a line on standard error\n"
    "                       for each warning and failure (and, at a terminal, a\n"
    "                       line of progress), then on standard output the line\n"
    "                       \"converted N of M grids (K failed, S skipped: ...)\";\n"
    "                       status 0 only when every grid converted. Each\n"
    "                       output is whole or as it was; two files with one\n"
    "                       output end the run before anything is written\n"
    "  --suffix=.EXT        gives the outputs that extension in place of the input's\n"
    "  -r, --recursive      converts the binary grids in a folder named, found by\n"
    "                       their header, into a folder of its name in FOLDER;\n"
    "                       other files are skipped\n"
    "  --files-from=LIST    converts the files LIST names too, one a line (- is\n"
    "                       standard input)\n"
    "  -0                   the names in LIST end in NUL, not in a line end\n";

} // namespace

std::string helpText() {
    return std::string(kUsageWithOptions) + std::string(kHelp);
}

std::string versionText() {
    return "brenzolt " BRENZOLT_VERSION "\n"
           "Copyright (c) 2026 the brenzolt developers\n"
           "License MIT: free to use, change and pass on; there is NO WARRANTY.\n";
}

} // namespace brenzolt
