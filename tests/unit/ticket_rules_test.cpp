#include <gtest/gtest.h>

#include "watch/TicketRules.h"

namespace {

using Action = TicketRules::Action;

TEST(TicketRulesTest, JudgesNameOwnerAndLinks) {
    constexpr uid_t kRoot = 0;
    struct Case {
        const char* name;
        uid_t owner;
        nlink_t links;
        Action action;
        uid_t uid;  // for HandOver
    } cases[] = {
        {"krb5cc_1000", kRoot, 1, Action::HandOver, 1000},
        {"krb5cc_4294967294", kRoot, 1, Action::HandOver, 4294967294u},
        {"krb5cc_10040", 1004, 1, Action::Keep, 0},  // a prefix test, as ever
        {"krb5cc_02001", 2001, 1, Action::Keep, 0},  // the owner's uid, whatever the text
        {"krb5cc_0", kRoot, 1, Action::Keep, 0},
        {"krb5cc_abc", kRoot, 1, Action::NoUid, 0},
        {"krb5cc_+1000", kRoot, 1, Action::NoUid, 0},
        {"krb5cc_0", 1000, 1, Action::InvalidUid, 0},
        {"krb5cc_02001", kRoot, 1, Action::Keep, 0},  // root's: "krb5cc_0" comes first
        {"krb5cc_02001", 2002, 1, Action::InvalidUid, 0},
        {"krb5cc_4294967295_x", 2001, 1, Action::InvalidUid, 0},  // chown's "no change"
        {"krb5cc_4294967296", kRoot, 1, Action::InvalidUid, 0},
        {"krb5cc_2002", 2001, 2, Action::NotRoots, 0},
        {"krb5cc_2002", kRoot, 2, Action::Linked, 0},
    };
    for (const Case& c : cases) {
        TicketRules::Verdict verdict = TicketRules::judge(c.name, c.owner, c.links);
        EXPECT_EQ(verdict.action, c.action) << c.name << " of " << c.owner;
        if (c.action == Action::HandOver) {
            EXPECT_EQ(verdict.uid, c.uid) << c.name;
        }
    }
}

TEST(TicketRulesTest, PauseAfterScanKeepsTheIntervalButNeverSpins) {
    struct Case {
        int32_t intervalMs;
        int64_t lastScanMs;
        int64_t pauseMs;
    } cases[] = {
        {1000, 0, 1000},
        {0, 0, TicketRules::kMinPauseMs},  // "without pause" still leaves the core alone
        {0, 800, 800},                     // a long scan is followed by as long a rest
        {1000, 3000, 3000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TicketRules::pauseAfterScanMs(c.intervalMs, c.lastScanMs), c.pauseMs)
            << c.intervalMs << " after " << c.lastScanMs;
    }
}

}  // namespace
