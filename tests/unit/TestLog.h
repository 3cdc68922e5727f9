#pragma once

// What the code under test logged, from the world's records. They arrive in order, so all up to
// a sentinel logged now is all that was logged, and proves what was not.

#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/KxLogger.h"
#include "world/WorldLog.h"

namespace testlog {

// The texts logged since the mark, of one level or (-1) of all.
inline std::vector<std::string> textsSince(size_t mark, int level = -1) {
    static int sentinels = 0;
    const std::string sentinel = "test sentinel " + std::to_string(++sentinels);
    KxLogger::log(LOG_DEBUG, "%s", sentinel.c_str());
    EXPECT_TRUE(world::waitForLog(LOG_DEBUG, sentinel, mark));
    std::vector<world::LogRecord> records = world::logRecords();
    std::vector<std::string> texts;
    for (size_t i = mark; i < records.size() && records[i].text != sentinel; ++i) {
        if (level == -1 || records[i].level == level) {
            texts.push_back(records[i].text);
        }
    }
    return texts;
}

inline size_t countSince(size_t mark, int level, const std::string& text) {
    std::vector<std::string> texts = textsSince(mark, level);
    return std::count(texts.begin(), texts.end(), text);
}

// A mark after every record sent so far, the sentinel included.
inline size_t settledMark() {
    textsSince(world::logMark());
    return world::logMark();
}

}  // namespace testlog
