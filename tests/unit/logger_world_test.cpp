// KxLogger as the system log receives it: runs inside a test world, whose /dev/log records
// every datagram (tests/world/WorldLog.h). The signal handler's records are checked as the
// running daemon writes them (tests/system/test_lifecycle.py).
#include <gtest/gtest.h>
#include <syslog.h>

#include "TestLog.h"

namespace {

struct Expected {
    int level;
    std::string text;
};

void expectRecords(size_t mark, const std::vector<Expected>& expected) {
    std::vector<world::LogRecord> records = testlog::recordsSince(mark);
    ASSERT_EQ(records.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(records[i].facility, 23) << records[i].text;
        EXPECT_EQ(records[i].level, expected[i].level) << records[i].text;
        EXPECT_EQ(records[i].text, expected[i].text);
    }
}

TEST(KxLoggerInWorld, EachLevelGoesToLocal7WithItsPrefixAndFilledFormat) {
    size_t mark = testlog::settledMark();
    KxLogger::log(LOG_ERR, "level check");
    KxLogger::log(LOG_INFO, "пользователь %s, uid %d", "иванов", 60001);
    KxLogger::log(LOG_DEBUG, "100%% ready");
    expectRecords(mark, {{LOG_ERR, "[ERROR] level check"},
                         {LOG_INFO, "[INFO] пользователь иванов, uid 60001"},
                         {LOG_DEBUG, "100% ready"}});
}

}  // namespace
