#include "tests/support/e2e.h"

#include <gtest/gtest.h>

namespace brenzolt::test {
namespace {

TEST(Smoke, ConvertsATinyGrid) {
    TempDir dir;
    writeFile(dir / "in.grd", gridFile({3, 2, 10, 20, 5, 0, 0, 1, 9, 0, 0, 0}, {1, 2, 3, 4, 5, 6}));
    RunResult result = runBrenzolt(dir.path(), {"in.grd", "out.txt"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, kBanner + kRecordSize + "..\r\n");
    EXPECT_EQ(readFile(dir / "out.txt"),
              crlf("DSAA\n3\t2\n10\t20\n20\t25\n1\t9\n4\t5\t6\n1\t2\t3\n"));
}

} // namespace
} // namespace brenzolt::test
