// The PIN decisions that need no token: expiry dates at their boundaries, the greeter's warning
// days.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include "token/Token.h"
#include "token/TokenPinExpiry.h"

namespace {

using State = Token::PinState;

const std::string kExpired = "Внимание! Необходимо сменить PIN-код!";

std::string changeBefore(const std::string& date) {
    return "Внимание! Необходимо сменить PIN-код до " + date + "!";
}

// Central European time: its clock goes back an hour in the night to 27 October 2024, so that
// day has 25 hours and counting days in seconds goes wrong.
class PinExpiryTest : public testing::Test {
protected:
    void SetUp() override {
        savedZone_ = getenv("TZ") ? std::optional<std::string>(getenv("TZ")) : std::nullopt;
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
    }
    void TearDown() override {
        savedZone_ ? setenv("TZ", savedZone_->c_str(), 1) : unsetenv("TZ");
        tzset();
    }

    static std::time_t localTime(int year, int month, int day, int hour, int minute = 0) {
        std::tm time{0, minute, hour, day, month - 1, year - 1900, 0, 0, -1, 0, nullptr};
        return std::mktime(&time);
    }

    std::optional<std::string> savedZone_;
};

using Expected = Token::PinResult;

void expectResult(const Token::PinResult& result, const Expected& expected) {
    EXPECT_EQ(static_cast<int>(result.first), static_cast<int>(expected.first)) << result.second;
    EXPECT_EQ(result.second, expected.second);
}

}  // namespace

TEST_F(PinExpiryTest, ForteWarnsWhileTheDaysLeftDoNotExceedTheWarningDays) {
    const std::time_t today = localTime(2024, 2, 27, 12);  // 2024 is a leap year
    const uint64_t kHuge = std::numeric_limits<uint64_t>::max();
    struct Case {
        uint64_t maxAge, warning, age;
        Expected expected;
    } cases[] = {
        {0, 5, 400, {State::Ok, ""}},                                     // no maximum age set
        {30, 5, 25, {State::ChangeSoon, changeBefore("03-03-2024")}},     // first warning day
        {30, 5, 29, {State::ChangeSoon, changeBefore("28-02-2024")}},     // last warning day
        {30, 5, 30, {State::Expired, kExpired}},                          // the day after
        {10, kHuge, 1, {State::ChangeSoon, changeBefore("07-03-2024")}},  // no overflow
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.maxAge) + "/" + std::to_string(c.warning) + "/" +
                     std::to_string(c.age));
        expectResult(TokenPinExpiry::forte(c.maxAge, c.warning, c.age, today), c.expected);
    }
}

TEST_F(PinExpiryTest, QuillExpiresAtLocalMidnightLifetimeDaysAfterTheChange) {
    const std::time_t today = localTime(2024, 2, 27, 12);
    struct Case {
        uint64_t lifetime;
        std::string changed;
        uint64_t warning;
        std::time_t now;
        Expected expected;
    } cases[] = {
        {0, "20240101", 14, today, {State::Ok, ""}},             // no lifetime set
        {30, std::string(8, '\0'), 14, today, {State::Ok, ""}},  // no change date
        {30, "20140101", 14, today, {State::Ok, ""}},            // not after 1 January 2014
        // Tomorrow counts as today (a zone ahead of ours), the day after as expired.
        {10, "20240228", 14, today, {State::ChangeSoon, changeBefore("08-03-2024")}},
        {30, "20240229", 14, today, {State::Expired, kExpired}},
        // No calendar day: mktime made later days of them, so "expired".
        {30, "20261301", 14, today, {State::Ok, ""}},
        {30, "20240230", 14, today, {State::Ok, ""}},
        {30, "20260000", 14, today, {State::Ok, ""}},
        {30, "20240212", 14, today, {State::Ok, ""}},  // 15 days left
        {30, "20240211", 14, today, {State::ChangeSoon, changeBefore("12-03-2024")}},
        {30, "20240129", 14, today, {State::ChangeSoon, changeBefore("28-02-2024")}},
        {30, "20240128", 14, today, {State::Expired, kExpired}},  // expires today
        // Midnight of the 28th is 27 days and one hour after midnight of the 1st.
        {27,
         "20241001",
         1,
         localTime(2024, 10, 27, 23, 30),
         {State::ChangeSoon, changeBefore("28-10-2024")}},
        {27, "20241001", 1, localTime(2024, 10, 28, 0, 0), {State::Expired, kExpired}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.changed + " +" + std::to_string(c.lifetime));
        expectResult(TokenPinExpiry::quill(c.lifetime, c.changed, c.warning, c.now), c.expected);
    }
}

TEST(GreeterConfigTest, FirstLineThatSetsTheWarningDays) {
    struct Case {
        std::string text;
        int days;  // -1: not set
    } cases[] = {
        // 7 and 1234 (read as 123) at the greeter's real path: token_world_test.cpp.
        {"daysForChangeNotification = x\ndaysForChangeNotification=9\ndaysForChangeNotification=8",
         9},
        // std::regex recursed once per blank here and overflowed the stack.
        {"daysForChangeNotification" + std::string(200000, ' ') + "= 5", 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        int days = -1;
        TokenPinExpiry::warningDaysFromGreeterConfig(c.text, days);
        EXPECT_EQ(days, c.days);
    }
}
