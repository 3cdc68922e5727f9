// The PIN decisions that need no token: expiry dates at their boundaries, the greeter's warning
// days, the return code messages.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <ctime>
#include <limits>
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
        const char* zone = getenv("TZ");
        savedZone_ = zone ? zone : "";
        hadZone_ = zone != nullptr;
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
    }
    void TearDown() override {
        hadZone_ ? setenv("TZ", savedZone_.c_str(), 1) : unsetenv("TZ");
        tzset();
    }

    static std::time_t localTime(int year, int month, int day, int hour, int minute = 0) {
        std::tm time{};
        time.tm_year = year - 1900;
        time.tm_mon = month - 1;
        time.tm_mday = day;
        time.tm_hour = hour;
        time.tm_min = minute;
        time.tm_isdst = -1;
        return std::mktime(&time);
    }

private:
    std::string savedZone_;
    bool hadZone_ = false;
};

struct Expected {
    State state;
    std::string message;
};

void expectResult(const Token::PinResult& result, const Expected& expected) {
    EXPECT_EQ(static_cast<int>(result.first), static_cast<int>(expected.state));
    EXPECT_EQ(result.second, expected.message);
}

}  // namespace

TEST_F(PinExpiryTest, ForteWarnsWhileTheDaysLeftDoNotExceedTheWarningDays) {
    const std::time_t today = localTime(2024, 2, 27, 12);  // 2024 is a leap year
    const uint64_t kHuge = std::numeric_limits<uint64_t>::max();
    struct Case {
        uint64_t maxAge, warning, age;
        Expected expected;
    } cases[] = {
        {0, 5, 400, {State::Ok, ""}},  // no maximum age set
        {30, 5, 24, {State::Ok, ""}},  // the day before the warnings
        {30, 5, 25, {State::ChangeSoon, changeBefore("03-03-2024")}},  // first warning day
        {30, 5, 29, {State::ChangeSoon, changeBefore("28-02-2024")}},  // last warning day
        {30, 5, 30, {State::Expired, kExpired}},                       // the day after
        {30, 5, 31, {State::Expired, kExpired}},
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
        {30, "2024AB01", 14, today, {State::Ok, ""}},
        {30, "20140101", 14, today, {State::Ok, ""}},  // not after 1 January 2014
        {30, "20140102", 14, today, {State::Expired, kExpired}},
        {30, "20240228", 14, today, {State::Expired, kExpired}},  // changed tomorrow
        {30, "20240227", 14, today, {State::Ok, ""}},             // changed today
        {30, "20240212", 14, today, {State::Ok, ""}},             // 15 days left
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
        {"[Greeter]\ndaysForChangeNotification=7\n", 7},
        {"  daysForChangeNotification = 1234", 123},
        {"daysForChangeNotification = x\n\tdaysForChangeNotification\t=\t9\n"
         "daysForChangeNotification=8",
         9},
        {"daysForChangeNotification daysForChangeNotification=5", 5},
        {"# daysForChangeNotification is not set\n", -1},
        {"daysForChangeNotification\n= 6\n", -1},
        {"", -1},
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

TEST(ReturnCodeTest, EveryCodeOfTheTableAndUnknownOnes) {
    const uint64_t codes[] = {
        0x0,        0x2,        0x3,        0x5,        0x6,        0x7,        0x8,
        0xa,        0x10,       0x11,       0x12,       0x13,       0x20,       0x30,
        0x31,       0x32,       0x41,       0x54,       0x60,       0x62,       0x63,
        0x68,       0x69,       0x70,       0x71,       0x82,       0x90,       0x91,
        0xa0,       0xa1,       0xa2,       0xa3,       0xa4,       0xb0,       0xb1,
        0xb3,       0xb4,       0xb6,       0xb7,       0xb8,       0xc0,       0xc1,
        0xd0,       0xd1,       0xe0,       0xe1,       0xe2,       0x100,      0x101,
        0x102,      0x103,      0x104,      0x150,      0x170,      0x190,      0x191,
        0x200,      0x80000011, 0x80000015, 0x80000016, 0x80000026, 0x8000002a, 0x8000002c,
        0x8000002d, 0x80000041, 0x80000042, 0x80000043, 0x80000044, 0x80000045, 0x80000046,
        0xc4900003};
    EXPECT_EQ(Token::returnCodeMap.size(), std::size(codes));
    for (uint64_t code : codes) {
        EXPECT_EQ(Token::returnCodeMap.count(code), 1u) << std::hex << code;
    }
    // The PIN messages are checked where the PIN checks give them.
    EXPECT_EQ(Token::returnCodeText(0x0), "функция выполнена успешно");
    EXPECT_EQ(Token::returnCodeText(0x80000015), "неправильный PUK-код");
    EXPECT_EQ(Token::returnCodeText(0x80000041), "утилита kxverify не найдена");
    EXPECT_EQ(Token::returnCodeText(0xb5), "неизвестный код возврата 0xb5");
    EXPECT_EQ(Token::returnCodeText(0xffffffffffffffff),
              "неизвестный код возврата 0xffffffffffffffff");
}
