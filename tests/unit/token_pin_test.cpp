// PIN checks against simulated tokens: logins, retry counters of each applet family, the
// lifetime policies end to end and the greeter's file at its real path.

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "TokenTest.h"
#include "token/Token.h"

using testtoken::TokenSpec;
using State = Token::PinState;

namespace {

const std::string kWrongPin = "Неверный PIN-код.";

// User PIN 1234 with 7 of 10 tries left, administrator PIN 87654321 with 4 of 5.
TokenSpec pinToken() {
    TokenSpec token;
    token.userPin = "1234";
    token.soPin = "87654321";
    token.userCounter = {10, 7};
    token.soCounter = {5, 4};
    return token;
}

Token::Info infoOf(CK_SLOT_ID slot, const std::string& applet) {
    Token::Info info;
    info.slotId = slot;
    info.applet = applet;
    return info;
}

// The local date `days` from today in strftime's format.
std::string dateFromToday(int days, const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm date{};
    localtime_r(&now, &date);
    date.tm_mday += days;
    date.tm_hour = 12;
    date.tm_isdst = -1;
    std::mktime(&date);
    char text[32];
    std::strftime(text, sizeof(text), format, &date);
    return text;
}

std::string changeBefore(int days) {
    return "Внимание! Необходимо сменить PIN-код до " + dateFromToday(days, "%d-%m-%Y") + "!";
}

class TokenPinTest : public testtoken::TokenTest {
protected:
    void TearDown() override {
        TokenTest::TearDown();
        std::remove(Token::greeterConfigPath);
    }

    void start() { ASSERT_TRUE(Token::initialize()); }
};

void expectResult(const Token::PinResult& result, State state, const std::string& message) {
    EXPECT_EQ(static_cast<int>(result.first), static_cast<int>(state));
    EXPECT_EQ(result.second, message);
}

}  // namespace

TEST_F(TokenPinTest, EachAppletFamilyCountsWrongPinsInItsOwnRecord) {
    // Counters after one wrong user PIN and one wrong administrator PIN, as (left, limit).
    struct Case {
        std::string applet;
        std::pair<uint64_t, uint64_t> user, admin;
    } cases[] = {
        {Token::Quill, {6, 10}, {3, 5}},
        {Token::Forte, {6, 10}, {3, 5}},
        {Token::Linnet, {0, 0}, {0, 0}},  // no counters
        {Token::Nacre, {6, 10}, {3, 10}},
        {Token::DataStore, {6, 10}, {3, 5}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        tokens_.insert(i + 1, pinToken());
    }
    start();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.applet);
        Token::Info info = infoOf(i + 1, c.applet);
        // A session of someone else stays open: the checks must log out only their own login.
        CK_SESSION_HANDLE other = CK_INVALID_HANDLE;
        ASSERT_EQ(
            C_OpenSession(i + 1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &other),
            CKR_OK);
        mark_ = testlog::settledMark();

        bool counted = c.user.second != 0;
        expectResult(Token::checkPin(info, "0000", false), State::Error,
                     counted ? kWrongPin + "\nОсталось попыток: 6" : kWrongPin);
        expectResult(Token::checkPin(info, "0000", true), State::Error,
                     counted ? kWrongPin + "\nОсталось попыток: 3" : kWrongPin);
        EXPECT_EQ(Token::getPinCounters(info, false), c.user);
        EXPECT_EQ(Token::getPinCounters(info, true), c.admin);
        // Right PINs after the wrong ones: each login is logged out again, or the next one
        // would meet a login that is still there.
        expectResult(Token::checkPin(info, "1234", false), State::Ok, "");
        expectResult(Token::checkPin(info, "87654321", true), State::Ok, "");

        EXPECT_EQ(testlog::countSince(mark_, LOG_INFO, "[INFO] Проверка PIN-кода прошла успешно!"),
                  2u);
        EXPECT_TRUE(wasLogged(
            LOG_INFO, counted ? "[INFO] Проверка PIN-кода 6" : "[INFO] Проверка PIN-кода 0"));
        C_CloseSession(other);
    }
}

TEST_F(TokenPinTest, RefusalsAndLifetimePoliciesOfForteAndQuill) {
    TokenSpec locked = pinToken();
    locked.userCounter = {10, 0};
    TokenSpec unknownCode = pinToken();
    unknownCode.failures = {{"C_Login", 0x12345}};
    TokenSpec forteExpired = pinToken();
    forteExpired.policy.maxAgeDays = 30;
    forteExpired.policy.warningDays = 5;
    forteExpired.policy.ageDays = 30;
    TokenSpec forteUnreadable = forteExpired;
    forteUnreadable.failures = {{"KX_PJ_GetCapabilities", CKR_DEVICE_ERROR}};
    TokenSpec quillSoon = pinToken();
    quillSoon.policy.lifetimeDays = 30;
    quillSoon.policy.changeDate = dateFromToday(-20, "%Y%m%d");  // 10 days left
    TokenSpec quillNoDate = quillSoon;
    quillNoDate.policy.changeDate = "20261301";  // mktime made it 1 January 2027: "expired"
    // The token, its applet, the PIN tried, the answer, and whether the lifetime policy gives it.
    struct Case {
        TokenSpec token;
        std::string applet, pin;
        State state;
        std::string message;
        bool policy;
    } cases[] = {
        {locked, Token::Quill, "1234", State::Locked,
         "Указанный PIN-код заблокирован и не может быть использован.", false},
        {pinToken(), Token::Quill, "", State::Error, "Недопустимый размер PIN-кода.", false},
        {unknownCode, Token::Quill, "1234", State::Error, "неизвестный код возврата 0x12345",
         false},
        {forteExpired, Token::Forte, "1234", State::Expired,
         "Внимание! Необходимо сменить PIN-код!", true},
        {forteUnreadable, Token::Forte, "1234", State::Error,
         "Ошибка при чтении смарт-карты. Код возврата:48 ошибка устройства", true},
        {quillSoon, Token::Quill, "1234", State::ChangeSoon, changeBefore(10), true},
        {quillNoDate, Token::Quill, "1234", State::Ok, "", true},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        tokens_.insert(i + 1, cases[i].token);
    }
    start();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.message);
        Token::Info info = infoOf(i + 1, c.applet);
        expectResult(Token::checkPin(info, c.pin, false), c.state, c.message);
        if (c.policy) {
            expectResult(Token::pinExpired(info), c.state, c.message);
        }
        if (c.policy) {
            // The lifetime is the user PIN's: the administrator's is checked whatever it says.
            expectResult(Token::checkPin(info, "87654321", true), State::Ok, "");
        }
        const bool refused = c.state == State::Expired || c.state == State::Error;
        if (c.policy && refused) {
            // Refused before any login: a wrong PIN gets the same answer.
            expectResult(Token::checkPin(info, "0000", false), c.state, c.message);
        }
        // No retry was spent: an empty PIN is not tried, an expired one refused before login;
        // an accepted one resets the count.
        const uint64_t left = c.state == State::Locked ? 0 : refused ? 7 : 10;
        EXPECT_EQ(Token::getPinCounters(info, false).first, left);
    }
    EXPECT_TRUE(wasLogged(LOG_WARNING,
                          "[WARNING] Недопустимая дата смены PIN-кода на токене: 20261301, время "
                          "жизни PIN-кода не проверяется!"));

    // The greeter's file moves the Quill warning window: 10 days left are within the default
    // 14 days, not within 7, within 123 (of 1234); a file over 64 KiB is not read, not even
    // cut ("= 30" across the bound read as 3).
    EXPECT_EQ(Token::changePinNotification(), 14);
    Token::Info quill = infoOf(6, Token::Quill);
    std::filesystem::create_directories(
        std::filesystem::path(Token::greeterConfigPath).parent_path());
    std::ofstream(Token::greeterConfigPath) << "[Greeter]\ndaysForChangeNotification = 7\n";
    EXPECT_EQ(Token::changePinNotification(), 7);
    expectResult(Token::pinExpired(quill), State::Ok, "");
    std::ofstream(Token::greeterConfigPath) << "daysForChangeNotification=1234\n";
    EXPECT_EQ(Token::changePinNotification(), 123);
    expectResult(Token::pinExpired(quill), State::ChangeSoon, changeBefore(10));
    std::ofstream(Token::greeterConfigPath)
        << std::string(65506, '#') << "\ndaysForChangeNotification = 30\n";
    EXPECT_EQ(Token::changePinNotification(), 14);
    EXPECT_TRUE(
        wasLogged(LOG_WARNING, std::string("[WARNING] Ошибка чтения конфигурационного файла ") +
                                   Token::greeterConfigPath + ", error: File too large"));
}
