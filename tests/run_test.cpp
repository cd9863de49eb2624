// The program end to end: one table of runs of the built binary, each in a fresh directory,
// all checked the same way: the console byte for byte, the exit status, what is left unread
// of standard input, and every file in the directory with its bytes.
#include "tests/support/run.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <optional>
#include <ostream>

namespace brenzolt::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
// File name -> bytes, "<read-only>" and bytes, "<lines>" and text for scripts, or a marker:
// "<dir>", "<dir r-x>", "<symlink TARGET>", "<hardlink NAME>" (another name of the file NAME,
// which sorts before it).
using Files = std::map<std::string, std::string>;

// Where a run means something. Some exist only on Linux: names of devices, of /proc and of
// standard streams, names Windows does not allow, symbolic links (which the C++ library of the
// Windows build does not make), another user, and limits set with ulimit. Some exist only on
// Windows: an output held open.
enum class System { any, Linux, Windows };
using enum System;
#ifdef _WIN32
constexpr System kThisSystem = Windows;
#else
constexpr System kThisSystem = Linux;
#endif

// Lines for scripts as the program writes them: "\n" ends a line the system's way.
std::string systemLines(const std::string& text) {
    return kThisSystem == Windows ? crlf(text) : text;
}

// A path as the program joins its parts: on Windows with backslashes.
std::string native(std::string path) {
    if (kThisSystem == Windows)
        std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

struct Row {
    std::string name;
    System only = any;
    Files before{};
    std::vector<std::string> arguments{};
    std::string answers{}; // standard input
    std::string console{}; // after the banner, "\n" for each line end the program writes
    int status = 0;
    Files after{};        // the files that change, line ends as in `console`
    std::string unread{}; // standard input after the answers, for the script that runs us
    Options options{};
    // Standard error, when checked: lines for scripts; when it starts with the banner, the
    // console text went there and `console` is all of standard output.
    std::optional<std::string> errors{};
    // Fills in what takes long to build, when the row runs rather than when the rows are listed.
    std::function<void(Row&)> fill{};
    bool batch = false; // the batch form: no banner, and `console` holds lines for scripts
};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const std::string kBanner = "converting a binary grid into an ASCII grid for GS-SURFER\n";
const std::string kAsk = "\nusage: brenzolt <binary file> <Surfer-Ascii-file> [<precision>]\n\n\n"
                         "input file : \noutput file : \n";
const std::string kRecord = "record size in bytes: 4\n";
const std::string kAgain = "\r\n";           // after an answer to a retry
const std::string kReadOnly = "<read-only>"; // the marker before the bytes of a read-only file
const std::string kOld = "an older file that no failed run may touch\r\n\0\x01\xff"s;
const std::string kNotGrid = "not a binary grid file: ";
const std::string kRest = "the rest of the script\n\nin.grd\nmore\r\n";
const std::string kGrid = gridFile({3, 2, 10, 20, 5, 0, 0, 1, 9}, {1, 2, 3, 4, 5, 6});
const Files kIn{{"in.grd", kGrid}};
const std::string kConverted = "DSAA\n3\t2\n10\t20\n20\t25\n1\t9\n4\t5\t6\n1\t2\t3\n";
const Files kOut{{"out.txt", kConverted}};
const std::string kUsage = "usage: brenzolt [--exact-header] [--strict] [--precision=CODE] [--] "
                           "<binary file> <Surfer-Ascii-file> [<precision>]\n       brenzolt "
                           "[--exact-header] [--strict] [--precision=CODE] -t <folder> [-r]\n"
                           "                [--suffix=.EXT] [--files-from=<list> [-0]] [--] "
                           "<file>...\n";

std::string repeat(const std::string& text, int times) {
    std::string result;
    while (times-- > 0)
        result += text;
    return result;
}

// A file that does not open, and the question for another name where one is asked.
std::string retry(const std::string& what, const std::string& name, bool asked = true) {
    return "error opening " + what + " file " + name + " \r\n" +
           (asked ? "please enter " + what + " file name: " : "");
}

std::string converted(int rows) {
    return kRecord + std::string(rows, '.') + "\n";
}

// The rows are laid out by hand, a few fields a line.
// clang-format off

// `in.grd out.txt [precision]` converts `grid` of `rows` rows into `text`, with the warnings
// `errors` (none where the header is exact and the precision a code).
Row converts(std::string name, std::string grid, std::vector<std::string> precision, int rows,
             std::string text, std::string errors = "") {
    precision.insert(precision.begin(), {"in.grd", "out.txt"});
    return {.name = name, .before = {{"in.grd", grid}}, .arguments = precision,
            .console = converted(rows), .after = {{"out.txt", text}}, .errors = errors};
}

// A 3 x 2 grid in the precision code given; the lowest row (the second in the file) comes
// first, its last node blank.
Row precision(std::string name, std::vector<std::string> code, std::string low, std::string high,
              std::string warning = "") {
    std::string grid = gridFile({3, 2, 0, 0, 1, -1000, 0, -9999, 1234.5678f},
                                {3.14159f, -2.5f, 0.125f, 1234.5678f, 1e-5f, -9999});
    std::string text = "DSAA\n3\t2\n0\t2\n0\t1\n-9999\t1234.57\n" + low + "\t1.70141e+038\n" + high;
    if (!warning.empty())
        warning = "brenzolt: precision \"" + code[0] + "\": " + warning + "\n";
    return converts("precision " + name, grid, code, 2, text + "\n", warning);
}

// `in.grd out.txt` fails reading `grid`; an existing out.txt (`old`) stays as it was.
Row readFails(std::string name, std::string grid, std::string message, std::string old = "") {
    Files before{{"in.grd", grid}};
    if (!old.empty())
        before["out.txt"] = old;
    return {.name = name, .before = before, .arguments = {"in.grd", "out.txt"},
            .console = kRecord + "error reading input file in.grd: " + message + "\n", .status = 1,
            .errors = "brenzolt: in.grd: " + message + "\n"};
}

// `in.grd NAME` where NAME does not open as the output: a script is asked nothing, and the run
// ends with status 1 at once, its standard input unread; `reason` on standard error.
Row refused(std::string name, System only, Files before, std::string output,
            std::string reason, Options options = {}) {
    before["in.grd"] = kGrid;
    return {.name = name, .only = only, .before = before, .arguments = {"in.grd", output},
            .console = kRecord + retry("output", output, false), .status = 1,
            .unread = options.in == Stdin::terminal ? "" : kRest, // nobody types at a terminal
            .options = options, .errors = "brenzolt: " + output + ": " + reason + "\n"};
}

// `in.grd out.txt` under a file size limit that fails the writes, on several threads.
Row writeFails(std::string name, Files before) {
    before["in.grd"] = gridFile({1000, 10, 0, 0, 1}, std::vector(10000, 1.0f));
    return {.name = name, .only = Linux, .before = before, .arguments = {"in.grd", "out.txt"},
            .console = converted(10) + "error writing output file out.txt\n", .status = 1,
            .options = {.fileSizeLimit = 4096, .threads = 7},
            .errors = "brenzolt: out.txt: File too large\n"};
}

// The grid to standard output, named by `arguments`, its text alone there: from in.grd, or
// piped in as `-`.
Row toStandardOutput(std::string name, std::vector<std::string> arguments, Stdout out,
                     Files before, Files after) {
    before["in.grd"] = kGrid;
    return {.name = name, .only = arguments.back().starts_with("/dev/") ? Linux : any,
            .before = before, .arguments = arguments,
            .answers = arguments[arguments.size() - 2] == "-" ? kGrid : "",
            .console = out == Stdout::pipe ? kConverted : "", .after = after,
            .options = {.out = out}, .errors = kBanner + converted(2)};
}

// `argument` alone asks for help or the version: the answer on standard output (here the
// file "log"), no banner, status 0, and standard input left unread.
Row asksFor(std::string name, std::string argument, std::string answer, System only = any) {
    return {.name = name, .only = only, .arguments = {argument},
            .after = {{"log", "<lines>" + answer}}, .unread = kRest,
            .options = {.out = Stdout::log}};
}

// A tall grid: more dots than the console's buffer of 256 KiB holds, and the line end after
// them meets its last free byte; as tall.grd, converted into tall.txt.
const int kTallRows = (256 << 10) - 1 - static_cast<int>(crlf(kBanner + kRecord).size());
void fillTall(Row& row) {
    row.before["tall.grd"] =
        gridFile({1, float(kTallRows), 0, 0, 1, -1}, std::vector(kTallRows, 0.f));
    row.after[row.arguments[1]] = "DSAA\n1\t" + std::to_string(kTallRows) + "\n0\t0\n0\t" +
        std::to_string(kTallRows - 1) + "\n0\t0\n" + repeat("0\n", kTallRows);
}

// Blocks of rows on several threads give the text of one thread: rows that leave the last
// block part-filled, rows longer than a block, one row, one column, more blocks than the ring
// has slots; from a file, and from a pipe arriving in pieces, which is read whole first. Every
// node of file row r is r, so that each line says which row it is.
void addThreadRows(std::vector<Row>& rows) {
    for (auto [columns, count] : {std::pair(3, 25000), {70000, 3}, {7, 1}, {1, 7}, {1, 700000}})
        for (std::string input : {"in.grd", "-"})
            for (int threads : {1, 2, 7})
                if (input == "in.grd" || std::uint64_t(columns) * count <= 1 << 18)
                    rows.push_back({.name = std::to_string(columns) + " x " + std::to_string(count)
                        + " from " + (input == "-" ? "a pipe" : input) + " on " +
                        std::to_string(threads), .arguments = {input, "out.txt"},
                        .console = converted(count), .options = {.in = input == "-" ?
                        Stdin::trickle : Stdin::pipe, .threads = threads},
                        .fill = [columns, count, input](Row& row) {
        std::vector<float> nodes;
        std::string& text = row.after["out.txt"] = "DSAA\n" + std::to_string(columns) + "\t" +
            std::to_string(count) + "\n0\t" + std::to_string(columns - 1) + "\n0\t" +
            std::to_string(count - 1) + "\n0\t0\n";
        for (int r = 0; r < count; ++r) {
            nodes.insert(nodes.end(), columns, static_cast<float>(r));
            std::string line = std::to_string(count - 1 - r);
            text += line + repeat("\t" + line, columns - 1) + "\n";
        }
        (input == "-" ? row.answers : row.before["in.grd"]) =
            gridFile({float(columns), float(count), 0, 0, 1, -1}, nodes); }});
}

// The precision codes, and the header lines as a reader takes them.
std::vector<Row> codesAndHeaders() {
    const std::string placed = gridFile({3, 2, 4500000, 4123455, 1.25f, 0, 0, 1015.88873f, 3e10f},
                                        {1, 2, 3, 4, 5, 6}), rows = "4\t5\t6\n1\t2\t3\n";
    // A spacing of 0 or below converts, and says what readers make of it.
    auto spaced = [&](float spacing, std::string ranges, std::string warning) {
        return converts("a spacing of " + std::to_string(int(spacing)), gridFile({3, 2, 10, 20,
            spacing, 0, 0, 1, 9}, {1, 2, 3, 4, 5, 6}), {}, 2, "DSAA\n3\t2\n" + ranges +
            "1\t9\n" + rows, "brenzolt: in.grd: its node spacing is " + warning + "\n");
    };
    return {
        precision("0", {"0"}, "  1235\t     0", "     3\t    -3\t     0"),
        precision("10, its first character", {"10"}, "1234.6\t   0.0", "   3.1\t  -2.5\t   0.1",
                  "only its first character counts: 1 decimal (%6.1f)"),
        precision("2.5, its first character", {"2.5"}, "1234.57\t  0.00", "  3.14\t -2.50\t  0.13",
                  "only its first character counts: 2 decimals (%6.2f)"),
        precision("9", {"9"}, " 1234.5677\t9.9999997e-006", " 3.1415901\t      -2.5\t     0.125"),
        precision("é, not a code", {"é"}, "1234.57\t1e-005", "3.14159\t-2.5\t0.125",
                  "not a precision code: 6 significant digits (%g)"),
        precision("-, the default asked for", {"-"}, "1234.57\t1e-005", "3.14159\t-2.5\t0.125"),
        precision("2 by --precision", {"--precision=2"}, "1234.57\t  0.00",
                  "  3.14\t -2.50\t  0.13"),
        precision("after a fourth argument", {"3", "x"}, "1234.57\t1e-005", "3.14159\t-2.5\t0.125",
                  "ignored with more than three arguments: 6 significant digits (%g)"),
        converts("blank when equal, below, NaN or -inf; not one ulp above",
                 gridFile({6, 1, 0, 0, 1, 1.5f},
                          {1.5f, 1, std::nextafter(1.5f, 2.0f), kNaN, -kInf, 1e30f}),
                 {"9"}, 1,
                 "DSAA\n6\t1\n0\t5\n0\t0\n0\t0\n1.70141e+038\t1.70141e+038\t 1.5000001\t"
                 "1.70141e+038\t1.70141e+038\t    1e+030\n"),
        converts("all blank below a NaN threshold", gridFile({4, 1, 0, 0, 1, kNaN},
                 {-1, 0, 3e38f, kNaN}), {"9"}, 1, "DSAA\n4\t1\n0\t3\n0\t0\n0\t0\n"
                 "1.70141e+038\t1.70141e+038\t1.70141e+038\t1.70141e+038\n"),
        // Rounded at every step in single precision, 25223.449; in double (or with a fused
        // multiply-add) it would print 25223.5. The far corner moves in x alone.
        converts("ranges in single precision",
                 gridFile({1001, 1, 123.45f, 10027.5f, 25.1f, 0, 0, -0.5f, 3e10f},
                          std::vector(1001, 1.0f)), {}, 1,
                 "DSAA\n1001\t1\n123.45\t25223.4\n10027.5\t10027.5\n-0.5\t3e+010\n" +
                 repeat("1\t", 1000) + "1\n", "brenzolt: out.txt: the header's coordinates have six "
                 "significant digits: a reader moves the grid's corners by up to 0.0492187 in x and "
                 "0 in y, and reads its node spacing of 25.1 as 25.0999 in x and 25.1 in y; "
                 "--exact-header writes them exactly\n"),
        // A reader places the grid where the header's texts say: in x its far corner 2.5 off,
        // in y its near one 5, and the spacing it computes is 0 both ways. Exact, a number may
        // need all nine digits.
        converts("corners moved by the header's six digits", placed, {}, 2,
                 "DSAA\n3\t2\n4.5e+006\t4.5e+006\n4.12346e+006\t4.12346e+006\n1015.89\t3e+010\n" +
                 rows, "brenzolt: out.txt: the header's coordinates have six significant digits: a "
                 "reader moves the grid's corners by up to 2.5 in x and 5 in y, and reads its node "
                 "spacing of 1.25 as 0 in x and 0 in y; --exact-header writes them exactly\n"),
        converts("the exact header, asked for after the names", placed, {"--exact-header"}, 2,
                 "DSAA\n3\t2\n4.5e+006\t4500002.5\n4123455\t4123456.2\n1015.88873\t3e+010\n" +
                 rows),
        spaced(0, "10\t10\n20\t20\n", "0: the text grid's ranges are single points, where "
               "readers find no grid"),
        spaced(-25, "10\t-40\n20\t-5\n", "-25, below 0: the text grid's ranges run backwards, "
               "where readers find a mirrored grid or none"),
        converts("a row more than the grid", gridFile({2, 1, 0, 0, 1}, {7, 8, 9, 10}), {},
                 1, "DSAA\n2\t1\n0\t1\n0\t0\n0\t0\n7\t8\n", "brenzolt: in.grd: 8 bytes after the "
                 "grid are not read: is the 48-byte header missing?\n"),
        // Fewer bytes than a row after the grid are no sign of a missing header.
        converts("counts truncated toward zero, stray bytes after the grid", gridFile({3.99f, 2.99f,
                 10, 20, 5, 0, 0, 1, 9}, {1, 2, 3, 4, 5, 6}) + "abc", {}, 2, kConverted),
    };
}

// What is not a grid, or not a whole one, is refused before anything is written.
std::vector<Row> notGrids() {
    const std::string tooLarge = "a grid of 2147483520 x 2147483520 nodes does not fit in memory";
    return {
        readFails("no columns, -0.5 truncated", gridFile({-0.5f, 3}, {7, 8}),
                  kNotGrid + "its header gives a grid of 0 x 3 nodes", kOld),
        readFails("no rows", gridFile({2147483520.0f, 0}),
                  kNotGrid + "its header gives a grid of 2147483520 x 0 nodes"),
        readFails("names swapped: a text grid as the input", crlf(kConverted),
                  kNotGrid + "it is a Surfer ASCII grid (are the two names swapped?)", kOld),
        readFails("names swapped: a binary grid as the output", "10 20 5\n",
                  "it ends after 8 of 48 bytes (are the two names swapped?)", kGrid),
        // A text grid would place the nodes nowhere a reader can go.
        readFails("a spacing that is not a number", gridFile({3, 2, 10, 20, kNaN}),
                  kNotGrid + "its node spacing is nan", kOld),
        readFails("an infinite spacing", gridFile({3, 2, 10, 20, kInf}),
                  kNotGrid + "its node spacing is inf"),
        readFails("a far corner beyond the floats", gridFile({3, 2, 3e38f, 20, 2e38f}),
                  kNotGrid + "its highest x (3e+38 + 2 x 2e+38) is inf", kOld),
        {.name = "a warning with --strict", .before = {{"in.grd", gridFile({2, 1, 0, 0, 1},
         {7, 8, 9, 10})}, {"out.txt", kOld}}, .arguments = {"--strict", "in.grd", "out.txt"},
         .console = kRecord + "not converted: --strict ends the run at a warning\n", .status = 1,
         .errors = "brenzolt: in.grd: 8 bytes after the grid are not read: is the 48-byte header "
                   "missing?\nbrenzolt: out.txt: not written: --strict ends the run at a warning\n"},
        // Its 16384 rows read as 2 of 48 columns, which the file would hold.
        readFails("a Surfer 6 grid", "DSBB\x03\0\0\x40"s + std::string(500, '\0'),
                  kNotGrid + "it is a Surfer 6 binary grid", kOld),
        readFails("empty file", "", "it ends after 0 of 48 bytes", kOld),
        readFails("one node short", kGrid.substr(0, 68), "it ends after 68 of 72 bytes"),
        readFails("2^31 columns, 2 rows", gridFile({2147483648.0f, 2}, {1, 2}),
                  kNotGrid + "its header gives a grid of 2.14748e+09 x 2 nodes", kOld),
        readFails("NaN columns, -infinite rows", gridFile({kNaN, -kInf}, {1, 2}),
                  kNotGrid + "its header gives a grid of nan x -inf nodes"),
        // Only a size check before the allocation gives these rather than running out of memory.
        readFails("huge grid in a tiny file", gridFile({2e9f, 2e9f}, {1, 2, 3}),
                  "it ends after 60 of 16000000000000000048 bytes", kOld),
        {.name = "a pipe too large for memory", .before = {{"out.txt", kOld}},
         .arguments = {"--exact-header", "-", "out.txt"},
         .answers = gridFile({2147483520.0f, 2147483520.0f, 0, 0, 1}),
         .console = kRecord + "error reading input file -: " + tooLarge + "\n",
         .status = 1, .errors = "brenzolt: -: " + tooLarge + "\n"},
        {.name = "a short grid through a pipe", .arguments = {"-", "out.txt"},
         .answers = kGrid.substr(0, 50),
         .console = kRecord + "error reading input file -: it ends after 50 of 72 bytes\n",
         .status = 1},
        // Opens (as a file that is not a directory), but reading fails with an I/O error.
        {.name = "read error", .only = Linux, .before = {{"out.txt", kOld}},
         .arguments = {"/proc/self/mem", "out.txt"},
         .console = kRecord + "error reading input file /proc/self/mem\n", .status = 1},
    };
}

// Outputs of every kind: those that do not open or may not be replaced, refused without a
// question to a script; failed writes; standard output.
std::vector<Row> outputs() {
    const std::string longName = std::string(236, 'g') + ".txt";
    const std::string fitting = std::string(218, 'f') + ".txt"; // the temporary's name just fits
    const std::string binaryGrid = "is a binary grid file: it is not replaced by a text grid; name "
                                   "another output";
    return {
        refused("output in a directory without write permission", Linux, {{"dir", "<dir r-x>"}},
                "dir/out.txt", "Permission denied", {.asNobody = true}),
        // Only regular files are ever removed.
        {.name = "full device", .only = Linux,
         .before = {{"in.grd", kGrid}, {"full", "<symlink /dev/full>"}},
         .arguments = {"in.grd", "full"},
         .console = converted(2) + "error writing output file full\n", .status = 1},
        // A write that fails leaves the output as it was, or leaves none, whatever the file
        // size limit's signal would do; a file with several names is made aside and stays whole.
        writeFails("file size limit through a symbolic link",
                   {{"old.txt", kOld}, {"out.txt", "<symlink old.txt>"}}),
        writeFails("file size limit on a file with two names",
                   {{"a.txt", kOld}, {"out.txt", "<hardlink a.txt>"}}),
        // Made at the end, the file would be wherever the link leads by then.
        refused("a chain of links to no file", Linux, {{"out.txt", "<symlink sub/link.txt>"},
                {"sub", "<dir>"}, {"sub/link.txt", "<symlink new.txt>"}}, "out.txt",
                "is a link to nothing: name the file it should create, or remove the link"),
        // A source grid (here with one row more) named as the output stays, however named.
        refused("a binary grid as the output", any, {{"old.grd", kGrid + "abcdefghijkl"}},
                "old.grd", binaryGrid),
        refused("the input as the output", any, {}, "./in.grd", "is the input file"),
        // Standard output after the dialogue's text would spoil the grid. A file longer than the
        // grid its header gives by more than a row is no binary grid.
        {.name = "a binary grid and standard output refused at a prompt, a longer file replaced",
         .before = {{"in.grd", kGrid}, {"old.grd", gridFile({1, 1}, {5})},
         {"out.txt", gridFile({2, 2}) + std::string(1000, 'x')}},
         .answers = "in.grd\n-\nold.grd\nout.txt\n", .console = kAsk + kRecord + retry("output",
         "-") + kAgain + retry("output", "old.grd") + kAgain + "..\n", .after = kOut,
         .errors = "brenzolt: -: standard output holds this dialogue: name a file\nbrenzolt: "
                   "old.grd: " + binaryGrid + "\n"},
        // Standard input a terminal, standard output not: nobody sees a question.
        refused("names given, standard output a pipe, standard input a terminal", Linux, {},
                "nodir/out.txt", "No such file or directory", {.in = Stdin::terminal}),
        toStandardOutput("- as the input after --, /dev/stdout appended to a file",
                         {"--exact-header", "--", "-", "/dev/stdout"}, Stdout::log,
                         {{"log", "earlier\r\n"}}, {{"log", "earlier\n" + kConverted}}),
        toStandardOutput("- as the output, appended to a file", {"in.grd", "-"}, Stdout::log,
                         {{"log", "earlier\r\n"}},
                         {{"log", "earlier\n" + kConverted}}),
        toStandardOutput("the file standard output goes to, by name", {"in.grd", "log"},
                         Stdout::log, {{"log", "earlier\r\n"}}, {{"log", "earlier\n" + kConverted}}),
        {.name = "names after --: files named --exact-header and -", .before = {{"--exact-header",
         kGrid}}, .arguments = {"--", "--exact-header", "./-"}, .console = converted(2),
         .after = {{"-", kConverted}}},
        // Too long for the directory with the temporary suffix: a short temporary name.
        {.name = "a name of 240 characters", .before = kIn, .arguments = {"in.grd", longName},
         .console = converted(2), .after = {{longName, kConverted}}},
        // Windows moves the old file aside under a name no longer than the temporary's.
        {.name = "a name of 222 characters replaced", .before = {{"in.grd", kGrid}, {fitting, kOld}},
         .arguments = {"in.grd", fitting}, .console = converted(2), .after = {{fitting, kConverted}}},
    };
}

// The dialogue: answers piped in, retries included. A prompt that is not on the console when
// the program waits for its answer leaves a conversation stuck. An unknown option is no name:
// nothing is read, asked or written.
std::vector<Row> dialogue() {
    const std::string help = readFile(fs::path(BRENZOLT_TEST_DATA) / "help.txt");
    auto unknown = [](std::string option, std::string third = "", std::string reason =
                      "unknown option") -> Row {
        std::vector<std::string> arguments{option, "in.grd", "out.txt", third};
        arguments.resize(third.empty() ? 3 : 4);
        return {.name = "option " + option + " " + third, .before = kIn, .arguments = arguments,
            .status = 1, .after = {{"log", ""}}, .unread = kRest, .options = {.out = Stdout::log},
            .errors = "brenzolt: " + option + ": " + reason + "\n" + kUsage};
    };
    return {
        // A single argument is ignored. Where only standard input is a terminal, the questions
        // go to standard error too; where none of the three shows them, nothing is asked.
        {.name = "one name at a terminal, the questions on standard error too", .only = Linux,
         .before = kIn, .arguments = {"in.grd"}, .answers = "in.grd\nout.txt\n",
         .console = kAsk + converted(2), .after = kOut,
         .options = {.in = Stdin::terminal, .errorsAtTerminal = true}, .errors = crlf(kAsk)},
        {.name = "one name, standard input alone a terminal", .only = Linux, .before = kIn,
         .arguments = {"in.grd"}, .answers = "in.grd\nout.txt\n", .status = 1,
         .options = {.in = Stdin::terminal}, .errors = "brenzolt: output file: not named, and "
         "nobody would see a question for it: only standard input is a terminal\n"},
        asksFor("help by --help", "--help", help),
        unknown("--exact-headers"),
        unknown("-x"),
        unknown("--precision=2", "3", "the third argument gives the precision too: give one of "
                "them"),
        unknown("-r", "", "only with -t FOLDER, the form that converts many grids"),
        asksFor("the version by --version", "--version",
                "brenzolt 1.0.0\nCopyright (c) 2026 the brenzolt developers\n"
                "License MIT: free to use, change and pass on; there is NO WARRANTY.\n"),
        {.name = "each prompt shown before its answer is read", .before = kIn,
         .answers = "nothere.grd\nnodir/out.txt\nin.grd\nout.txt\n",
         .console = kAsk + retry("input", "nothere.grd") + kAgain + kRecord + retry("output",
                    "nodir/out.txt") + kAgain + "..\n",
         .after = kOut, .unread = kRest, .options = {.in = Stdin::conversation}},
        {.name = "input and output a directory", .before = {{"in.grd", kGrid}, {"dir", "<dir>"}},
         .answers = "dir\ndir\nin.grd\n",
         .console = kAsk + retry("input", "dir") + kAgain + kRecord + retry("output", "dir"),
         .status = 1,
         .errors = repeat("brenzolt: dir: Is a directory\n", 2)},
        {.name = "an empty answer at the input retry", .before = kIn,
         .answers = "nothere.grd\nout.txt\n\n", .console = kAsk + retry("input", "nothere.grd"),
         .status = 1, .unread = "in.grd\n" + kRest},
        {.name = "an empty answer at the second output retry", .before = kIn,
         .answers = "in.grd\n\nnodir/b\n\n",
         .console = kAsk + kRecord + retry("output", "") + kAgain + retry("output", "nodir/b"),
         .status = 1},
        {.name = "closed standard input", .console = kAsk + retry("input", ""), .status = 1,
         .options = {.in = Stdin::closed}, .errors = "brenzolt: input file: no name given\n"},
        // Standard input that is the grid gives no answers to a retry.
        {.name = "standard input as the input", .only = Linux,
         .answers = "-\nnodir/out.txt\n" + kGrid.substr(0, 48),
         .console = kAsk + kRecord + retry("output", "nodir/out.txt"), .status = 1,
         .unread = kGrid.substr(48)},
        {.name = "names outside ASCII", .before = {{"Höhe.grd", kGrid}},
         .answers = "Hö.grd\n高程.grd\nHöhe.grd\n",
         .console = kAsk + retry("input", "Hö.grd") + kAgain + converted(2),
         .after = {{"高程.grd", kConverted}}},
        // Only Windows takes a name out of double quotes: elsewhere they are part of it.
        {.name = "spaces and quotes stay, and only a CR right before the LF goes", .only = Linux,
         .before = {{" in\rx.grd\r", kGrid}}, .answers = " in\rx.grd\r\r\n\"out\r.txt \"\r\n",
         .console = kAsk + converted(2), .after = {{"\"out\r.txt \"", kConverted}}},
        // A directory opens before it is refused, and so does the input named as output:
        // each refusal must give its descriptors back, and is refused for what it is.
        {.name = "many retries with few descriptors", .only = Linux, .before = kIn,
         .answers = ".\nin.grd\n" + repeat(".\n", 200) + "in.grd\n" + repeat("./in.grd\n", 200) +
                    "out.txt\n",
         .console = kAsk + retry("input", ".") + repeat(kAgain + retry("input", "."), 200) +
                    kAgain + kRecord + retry("output", "in.grd") +
                    repeat(kAgain + retry("output", "./in.grd"), 200) + kAgain + "..\n",
         .after = kOut, .options = {.descriptorLimit = 32},
         .errors = repeat("brenzolt: .: Is a directory\n", 201) +
                   "brenzolt: in.grd: is the input file\n" +
                   repeat("brenzolt: ./in.grd: is the input file\n", 200)},
    };
}

// Limits, and a console that is gone: it never spoils the run.
std::vector<Row> limits() {
    return {
        // With standard input and output closed, the files open as descriptors 0 and 1. On
        // Windows the program is given no standard handles.
        {.name = "closed standard input and output", .arguments = {"tall.grd", "tall.txt"},
         .options = {.in = Stdin::closed, .out = Stdout::closed}, .fill = fillTall},
        // Threads that cannot start leave the work to those that did.
        {.name = "a process limit", .only = Linux, .arguments = {"tall.grd", "tall.txt"},
         .console = converted(kTallRows),
         .options = {.processLimit = 4, .asNobody = true, .threads = 8}, .fill = fillTall},
        {.name = "a broken standard output", .before = {{"old.txt", kOld}},
         .arguments = {"tall.grd", "old.txt"}, .options = {.out = Stdout::broken},
         .fill = fillTall},
        // A read-only output stays as it was: Linux refuses it at once (but to root, for whom
        // nothing is read-only); Windows finds it out only when the grid is to be put in place.
        refused("a read-only output", Linux, {{"out.txt", kReadOnly + kOld}}, "out.txt",
                "Permission denied", {.asNobody = true}),
    };
}

// Windows alone: its help switch, its quotes, its read-only files and files held open.
std::vector<Row> windowsOnly() {
    return {
        asksFor("help by /?", "/?", readFile(fs::path(BRENZOLT_TEST_DATA) / "help.txt"), Windows),
        {.name = "answers in double quotes", .only = Windows, .before = kIn,
         .answers = "\"in.grd\"\n\"out.txt\"\n", .console = kAsk + converted(2), .after = kOut},
        {.name = "a read-only output, refused when the grid is put in place", .only = Windows,
         .before = {{"in.grd", kGrid}, {"out.txt", kReadOnly + kOld}},
         .arguments = {"in.grd", "out.txt"},
         .console = converted(2) + "error writing output file out.txt\n", .status = 1},
        // An output held open so that it cannot be replaced, as a virus scanner or an indexer
        // holds a file, is waited for a moment; held for seconds, the run fails and the old
        // output stays.
        {.name = "an output held for a moment", .only = Windows,
         .before = {{"in.grd", kGrid}, {"out.txt", kOld}}, .arguments = {"in.grd", "out.txt"},
         .console = converted(2), .after = kOut, .options = {.holdMs = 300}},
        {.name = "an output held for seconds", .only = Windows,
         .before = {{"in.grd", kGrid}, {"out.txt", kOld}}, .arguments = {"in.grd", "out.txt"},
         .console = converted(2) + "error writing output file out.txt\n", .status = 1,
         .options = {.holdMs = 3000}},
    };
}
// The batch form: each output whole or as it was, a line for each warning and failure in the
// order of the inputs, the count at the end; two grids with one output end the run at once.
std::vector<Row> batches() {
    auto count = [](std::string converted, std::string all, std::string failed, std::string
                    skipped) { return "converted " + converted + " of " + all + " grids (" +
                    failed + " failed, " + skipped + " skipped: not binary grids)\n"; };
    return {
        // A text file is skipped; a grid cut short, one whose output is a binary grid and one
        // with a warning under --strict fail.
        {.name = "a folder's tree", .before = {{"out", "<dir>"}, {"out/src", "<dir>"},
         {"out/src/b.txt", kGrid}, {"src", "<dir>"}, {"src/a.grd", kGrid}, {"src/b.grd", kGrid},
         {"src/d.grd", kGrid + kGrid.substr(48, 12)}, {"src/notes.txt", "notes\n"},
         {"src/short.grd", kGrid.substr(0, 68)}, {"src/sub", "<dir>"}, {"src/sub/c.grd", kGrid}},
         .arguments = {"--strict", "-r", "--suffix=.txt", "-t", "out", "src"}, .console =
         count("2", "5", "3", "1"), .status = 1, .after = {{"out/src/a.txt", kConverted},
         {"out/src/sub", "<dir>"}, {"out/src/sub/c.txt", kConverted}}, .errors = "brenzolt: " +
         native("out/src/b.txt: is a binary grid file: it is not replaced by a text grid\n"
         "brenzolt: src/d.grd: 12 bytes after the grid are not read: is the 48-byte header missing"
         "?\nbrenzolt: out/src/d.txt: not written: --strict ends the run at a warning\nbrenzolt: "
         "src/short.grd: it ends after 68 of 72 bytes\n"), .batch = true},
        {.name = "names with spaces, line feeds and dashes, NUL-separated on standard input",
         .only = Linux, .before = {{" a b.grd", kGrid}, {"-x.grd", kGrid}, {"n\nl", kGrid},
         {"out", "<dir>"}}, .arguments = {"--files-from", "-", "-0", "-t", "out"},
         .answers = " a b.grd\0-x.grd\0n\nl\0"s, .console = count("3", "3", "0", "0"),
         .after = {{"out/ a b.grd", kConverted}, {"out/-x.grd", kConverted}, {"out/n\nl",
         kConverted}}, .batch = true},
        {.name = "two grids with one output", .before = {{"a", "<dir>"}, {"a/x.grd", kGrid},
         {"b", "<dir>"}, {"b/x.grd", kGrid}, {"out", "<dir>"}}, .arguments = {"-t", "out",
         "a/x.grd", "b/x.grd"}, .status = 1, .errors = "brenzolt: " + native("out/x.grd") +
         ": both a/x.grd and b/x.grd would be converted into it; nothing converted\n",
         .batch = true},
        // A grid cut short is no binary grid to keep, but an input all the same.
        {.name = "an output that is another input", .only = Linux, .before = {{"a", "<dir>"},
         {"a/x.grd", kGrid}, {"b", "<dir>"}, {"b/y.grd", kGrid.substr(0, 68)}, {"out", "<dir>"},
         {"out/x.grd", "<symlink ../b/y.grd>"}}, .arguments = {"-t", "out", "a/x.grd", "b/y.grd"},
         .console = count("0", "2", "2", "0"), .status = 1, .errors = "brenzolt: out/x.grd: is "
         "the input file b/y.grd\nbrenzolt: b/y.grd: it ends after 68 of 72 bytes\n",
         .batch = true},
        // The converted ones stand.
        {.name = "a failed write among grids", .only = Linux, .before = {{"a.grd", kGrid},
         {"big.grd", gridFile({1000, 10, 0, 0, 1}, std::vector(10000, 1.0f))}, {"out", "<dir>"}},
         .arguments = {"-t", "out", "a.grd", "big.grd"}, .console = count("1", "2", "1", "0"),
         .status = 1, .after = {{"out/a.grd", kConverted}}, .options = {.fileSizeLimit = 4096},
         .errors = "brenzolt: out/big.grd: File too large\n", .batch = true},
        {.name = "backslashes in the names", .only = Windows, .before = {{"out", "<dir>"},
         {"src", "<dir>"}, {"src/a.grd", kGrid}, {"src/deep", "<dir>"}, {"src/deep/b.grd",
         kGrid}}, .arguments = {"-t", ".\\out", "src\\a.grd", "-r", "src\\deep"},
         .console = count("2", "2", "0", "0"), .after = {{"out/a.grd", kConverted},
         {"out/deep", "<dir>"}, {"out/deep/b.grd", kConverted}}, .batch = true},
    };
}
// clang-format on

std::vector<Row> rows() {
    std::vector<Row> table;
    for (const auto& part :
         {codesAndHeaders(), notGrids(), outputs(), dialogue(), limits(), windowsOnly(), batches()})
        table.insert(table.end(), part.begin(), part.end());
    addThreadRows(table);
    return table;
}

// Every entry below `dir`, in the form of the Files markers.
Files snapshot(const fs::path& dir) {
    Files files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        std::u8string name = entry.path().lexically_relative(dir).generic_u8string();
        std::string& what = files[std::string(name.begin(), name.end())];
        if (entry.is_symlink())
            what = "<symlink " + fs::read_symlink(entry).string() + ">";
        else if (entry.is_directory())
            what = "<dir>";
        else if ((entry.status().permissions() & fs::perms::owner_write) == fs::perms::none)
            what = kReadOnly + readFile(entry.path());
        else
            what = readFile(entry.path());
    }
    return files;
}

void make(const TempDir& dir, const Files& files) {
    for (const auto& [name, what] : files) {
        fs::path path = dir / name;
        std::string target = what.substr(what.find(' ') + 1, what.size() - what.find(' ') - 2);
        if (what.starts_with("<symlink "))
            fs::create_symlink(target, path);
        else if (what.starts_with("<hardlink "))
            fs::create_hard_link(dir / target, path);
        else if (what.starts_with("<dir"))
            fs::create_directory(path);
        else
            writeFile(path, what.starts_with(kReadOnly) ? what.substr(kReadOnly.size()) : what);
        if (what == "<dir r-x>" || what.starts_with(kReadOnly))
            fs::permissions(path, fs::perms(0555));
    }
}

class Runs : public testing::TestWithParam<Row> {};

TEST_P(Runs, GiveTheirConsoleStatusAndFiles) {
    Row row = GetParam();
    if (row.fill)
        row.fill(row);
    if (row.only != any && row.only != kThisSystem)
        GTEST_SKIP() << "only on " << (row.only == Linux ? "Linux" : "Windows");
    TempDir dir;
    make(dir, row.before);
    Files expected = snapshot(dir.path);
    for (const auto& [name, text] : row.after)
        expected[name] = text.starts_with("<lines>") ? systemLines(text.substr(7)) : crlf(text);
    Result result = run(dir.path, row.arguments, row.answers + row.unread, row.options);
    bool moved = row.errors && row.errors->starts_with(kBanner);
    EXPECT_EQ(row.errors ? result.errors : "", !row.errors ? ""
                                               : moved     ? crlf(*row.errors)
                                                           : systemLines(*row.errors));
    EXPECT_EQ(result.console, row.batch                         ? systemLines(row.console)
                              : moved                           ? crlf(row.console)
                              : row.options.out == Stdout::pipe ? crlf(kBanner + row.console)
                                                                : "");
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.unread, row.unread);
    EXPECT_EQ(snapshot(dir.path), expected);
}

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

INSTANTIATE_TEST_SUITE_P(Brenzolt, Runs, testing::ValuesIn(rows()), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

} // namespace
} // namespace brenzolt::test
