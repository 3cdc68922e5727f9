#include <gtest/gtest.h>

#include "daemon/ElapsedTimer.h"
#include "log/Common.h"

TEST(CommonTest, TrimRemovesOnlyTrailingWhiteSpace) {
    EXPECT_EQ(Common::trim("  label \t\r\n\v\f "), "  label");
    EXPECT_EQ(Common::trim(""), "");
    EXPECT_EQ(Common::trim("   "), "");
    // NUL is not white space: a NUL-padded PKCS#11 field keeps its padding.
    EXPECT_EQ(Common::trim(std::string("ab\0\0  ", 6)), std::string("ab\0\0", 4));
}

TEST(ElapsedTimerTest, CountsWholeMillisecondsFromLastStart) {
    ElapsedTimer timer;
    EXPECT_GE(timer.elapsed(), 0);
    timespec pause{0, 30 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    EXPECT_GE(timer.elapsed(), 30);
    timer.start();
    EXPECT_LT(timer.elapsed(), 30);
}
