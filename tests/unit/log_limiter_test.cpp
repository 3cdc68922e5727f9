#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "log/LogLimiter.h"
#include "log/LogQueue.h"

namespace {

// The summaries as one comparable text: "source:count ...", in source order.
std::string summaries(LogLimiter& limiter, int64_t nowMs) {
    std::vector<LogLimiter::Summary> due = limiter.due(nowMs);
    std::sort(due.begin(), due.end(), [](auto& a, auto& b) { return a.source < b.source; });
    std::string text;
    for (const LogLimiter::Summary& summary : due) {
        text += std::to_string(summary.source) + ":" + std::to_string(summary.heldBack) + " ";
    }
    return text;
}

TEST(LogLimiterTest, BurstThenOneRecordPerPeriodPerSourceAndOneSummaryPerInterval) {
    // One record per 100 ms, bursts of 3, a summary per second, room for two sources.
    LogLimiter limiter({100, 3, 1000, 2});
    constexpr unsigned kDue = 0;  // the step asks for the due summaries instead
    struct Step {
        int64_t atMs;
        uint32_t source;
        unsigned records;
        bool admitted;          // for records > 0
        const char* summaries;  // for kDue
    } steps[] = {
        {0, 1, 1, true, ""},
        {0, 1, 2, true, ""},
        {0, 1, 1, false, ""},  // the burst is spent
        {50, 1, 1, false, ""},
        {100, 1, 1, true, ""},  // one period later, one record
        {100, 1, 1, false, ""},
        {100, 2, 2, true, ""},   // each source has its own bucket
        {100, 2, 2, false, ""},  // a group of records goes whole or not at all
        {100, 3, 1, true, ""},   // two busy sources fill the table: a third goes to the overflow
        {100, 4, 1, true, ""},
        {100, 5, 2, false, ""},  // ... and shares its bucket
        {999, 0, kDue, false, ""},
        {1000, 0, kDue, false, "1:3 "},               // a second after source 1's first refusal
        {1000, 0, kDue, false, ""},                   // handed out once
        {1100, 0, kDue, false, "2:2 4294967295:2 "},  // the overflow's: sources 3 to 5
        {1100, 1, 4, false, ""},                      // more than a burst never goes out
        {2000, 0, kDue, false, ""},
        {2100, 0, kDue, false, "1:4 "},  // not before an interval after its last refusal began
        {5000, 6, 1, true, ""},          // the quiet sources made room for a new one
        {5000, 6, 3, false, ""},
        {6000, 0, kDue, false, "6:3 "},  // its own bucket, its own summary
    };
    for (const Step& step : steps) {
        if (step.records == kDue) {
            EXPECT_EQ(summaries(limiter, step.atMs), step.summaries) << "at " << step.atMs;
        } else {
            EXPECT_EQ(limiter.admit(step.source, step.atMs, step.records), step.admitted)
                << step.records << " of source " << step.source << " at " << step.atMs;
        }
    }
}

// The records that wait while the log takes nothing, as one text: "text ...", oldest first.
std::string waiting(LogQueue queue) {
    std::string text;
    while (!queue.empty()) {
        text += queue.take().text + " ";
    }
    return text;
}

TEST(LogQueueTest, WhenFullUsersRecordsGoFirstThenTheOldest) {
    LogQueue queue(3, 20);  // three records, twenty bytes
    const struct Step {
        std::string text;
        bool user;
        bool putBack;  // a record taken and not sent goes back in front
        size_t dropped;
        const char* waiting;
    } steps[] = {
        {"a", false, false, 0, "a "},
        {"u1", true, false, 0, "a u1 "},
        {"b", false, false, 0, "a u1 b "},
        {"c", false, false, 1, "a b c "},  // the user's record makes room
        {"u2", true, false, 1, "a b c "},  // a new one too
        {"d", false, false, 1, "b c d "},  // no user's record left: the oldest goes
        {"b", false, true, 0, "b c d "},   // taken and put back: still the oldest
        {std::string(19, 'x'), false, false, 2, "d xxxxxxxxxxxxxxxxxxx "},  // bytes count too
    };
    for (const Step& step : steps) {
        if (step.putBack) {
            EXPECT_EQ(queue.take().text, step.text);
            EXPECT_EQ(queue.putBack({step.text, step.user}), step.dropped);
        } else {
            EXPECT_EQ(queue.push({step.text, step.user}), step.dropped) << step.text;
        }
        EXPECT_EQ(waiting(queue), step.waiting) << step.text;
    }
}

}  // namespace
