// Our output read back by an independent reader of the format: GDAL's command
// line tools. GDAL must recognise the file, give it the right size and
// extent, read every node to within the precision it was written with, and
// read blank nodes as no-data.
#include "tests/support/e2e.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace brenzolt::test {
namespace {

struct CommandResult {
    int status;
    std::string output;
};

CommandResult runCommand(const std::string& command) {
    CommandResult result{-1, ""};
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, n);
    result.status = ::pclose(pipe);
    return result;
}

bool gdalAvailable() {
    return runCommand("gdalinfo --version").status == 0;
}

struct TestGrid {
    const char* name;
    const char* precision;
    int columns;
    int rows;
    float xMin;
    float yMin;
    float spacing;
    float blankThreshold;
    double (*tolerance)(double value); // how far a written node may lie from its value
};

// GDAL's XYZ writer passes values through single precision: half an ulp more.
double singleRounding(double value) {
    return std::fabs(value) * 0x1p-24;
}
double general6(double v) {
    return 0.5e-5 * std::fabs(v) + singleRounding(v);
}
double general8(double v) {
    return 0.5e-7 * std::fabs(v) + singleRounding(v);
}
double fixed2(double v) {
    return 0.005 + 1e-12 + singleRounding(v);
}

// Node values in file order: magnitudes from 1e-4 to 1e6 of both signs, and
// blanks of every kind: equal to the threshold, below it, not a number.
std::vector<float> makeNodes(const TestGrid& g) {
    std::mt19937 random(static_cast<std::uint32_t>(g.columns * 1000 + g.rows));
    std::vector<float> nodes;
    for (int i = 0; i < g.columns * g.rows; ++i) {
        double unit = static_cast<double>(random()) / 4294967296.0;
        int exponent = static_cast<int>(random() % 11) - 4;
        float value = static_cast<float>((unit - 0.3) * std::pow(10.0, exponent));
        switch (random() % 8) {
        case 0:
            value = g.blankThreshold;
            break;
        case 1:
            value = g.blankThreshold - 1;
            break;
        case 2:
            value = std::nanf("");
            break;
        default:
            break;
        }
        nodes.push_back(value);
    }
    return nodes;
}

std::vector<double> numbersIn(const std::string& text) {
    std::vector<double> numbers;
    std::istringstream in(text);
    std::string field;
    while (std::getline(in, field, ','))
        numbers.push_back(std::strtod(field.c_str(), nullptr));
    return numbers;
}

// One JSON array (without its brackets) or plain value of gdalinfo's output,
// with the whitespace taken out, found by its key.
std::string jsonValue(const std::string& json, const std::string& key) {
    std::string quotedKey = "\"" + key + "\":";
    std::size_t start = json.find(quotedKey);
    if (start == std::string::npos)
        return "";
    start += quotedKey.size();
    if (json[start] == '[') {
        std::size_t end = json.find(']', start);
        return json.substr(start + 1, end - start - 1);
    }
    return json.substr(start, json.find_first_of(",}", start) - start);
}

std::string withoutWhitespace(const std::string& text) {
    std::string result;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c)))
            result += c;
    return result;
}

// "x y z" lines of GDAL's XYZ format, top row first.
std::vector<std::vector<double>> xyzLines(const std::string& text) {
    std::vector<std::vector<double>> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        double x, y, z;
        if (fields >> x >> y >> z)
            lines.push_back({x, y, z});
    }
    return lines;
}

void expectNear(double actual, double expected, const char* what) {
    EXPECT_NEAR(actual, expected, 1e-9 * std::max(1.0, std::fabs(expected))) << what;
}

void checkReadBack(const TestGrid& g) {
    SCOPED_TRACE(g.name);
    TempDir dir;
    std::vector<float> nodes = makeNodes(g);
    writeFile(dir / "in.grd",
              gridFile({static_cast<float>(g.columns), static_cast<float>(g.rows), g.xMin, g.yMin,
                        g.spacing, g.blankThreshold, 0, -1000, 1000, 0, 0, 0},
                       nodes));
    ASSERT_EQ(runBrenzolt(dir.path(), {"in.grd", "out.grd", g.precision}).status, 0);
    const std::string out = (dir / "out.grd").string();
    const double s = g.spacing;
    const double yHigh = g.yMin + (g.rows - 1) * s;

    // The header: driver, size, and the extent, which GDAL takes as cells
    // centred on the nodes, half a spacing beyond them on every side.
    CommandResult info = runCommand("gdalinfo -json " + out);
    ASSERT_EQ(info.status, 0) << info.output;
    std::string json = withoutWhitespace(info.output);
    EXPECT_EQ(jsonValue(json, "driverShortName"), "\"GSAG\"");
    EXPECT_EQ(jsonValue(json, "size"), std::to_string(g.columns) + "," + std::to_string(g.rows));
    std::vector<double> transform = numbersIn(jsonValue(json, "geoTransform"));
    ASSERT_EQ(transform.size(), 6u) << json;
    expectNear(transform[0], g.xMin - s / 2, "left edge");
    expectNear(transform[1], s, "cell width");
    expectNear(transform[3], yHigh + s / 2, "top edge");
    expectNear(transform[5], -s, "cell height");
    EXPECT_EQ(transform[2], 0);
    EXPECT_EQ(transform[4], 0);
    expectNear(std::strtod(jsonValue(json, "noDataValue").c_str(), nullptr), 1.70141e38,
               "no-data value");

    // Every node, top row (the first of the binary file) first.
    CommandResult values =
        runCommand("gdal_translate -q -of XYZ -co SIGNIFICANT_DIGITS=17 " + out + " /vsistdout/");
    ASSERT_EQ(values.status, 0) << values.output;
    CommandResult mask = runCommand("gdal_translate -q -of XYZ -b mask " + out + " /vsistdout/");
    ASSERT_EQ(mask.status, 0) << mask.output;
    auto points = xyzLines(values.output);
    auto valid = xyzLines(mask.output);
    ASSERT_EQ(points.size(), nodes.size());
    ASSERT_EQ(valid.size(), nodes.size());
    int blanks = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        int row = static_cast<int>(i) / g.columns;
        int column = static_cast<int>(i) % g.columns;
        SCOPED_TRACE("row " + std::to_string(row + 1) + " column " + std::to_string(column + 1));
        expectNear(points[i][0], g.xMin + column * s, "x");
        expectNear(points[i][1], yHigh - row * s, "y");
        bool blank = !(nodes[i] > g.blankThreshold);
        blanks += blank;
        EXPECT_EQ(valid[i][2], blank ? 0 : 255) << "mask for node " << nodes[i];
        if (!blank) {
            EXPECT_NEAR(points[i][2], nodes[i], g.tolerance(nodes[i]));
        }
    }
    EXPECT_GT(blanks, 0);
}

TEST(GdalInterop, GdalReadsOurGridsBackWithSizeExtentValuesAndNoData) {
    if (!gdalAvailable()) {
        GTEST_SKIP() << "GDAL's command line tools (Debian's gdal-bin) are not installed";
    }
    const TestGrid grids[] = {
        {"default precision", "-", 7, 5, -120.5f, 35.25f, 0.125f, -100, general6},
        {"precision 9", "9", 6, 4, 1000, 2000, 25, -5000, general8},
        {"precision 2, larger", "2", 60, 45, 0, -90, 2, 0, fixed2},
    };
    for (const auto& g : grids)
        checkReadBack(g);
}

} // namespace
} // namespace brenzolt::test
