// The token reader and the PIN checks against simulated tokens, inside a world: what they
// return and what they log; logins, retry counters of each applet family, the lifetime policies
// end to end and the greeter's file at its real path; the library's stop beside a slow call.

#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "TestCertificate.h"
#include "TestThreads.h"
#include "TestToken.h"
#include "token/Token.h"
#include "world/WorldLog.h"

using testcert::CertificateBuilder;
using testtoken::TokenSpec;
using State = Token::PinState;

namespace {

// A test with its own token directory and a mark in the log; the library stops after it.
class TokenTest : public testing::Test {
protected:
    void TearDown() override { C_Finalize(nullptr); }

    std::vector<std::string> logged(int level) { return world::textsSince(mark_, level); }
    bool wasLogged(int level, const std::string& text) {
        return world::countSince(mark_, level, text) > 0;
    }

    testtoken::SimulatedTokens tokens_{
        testing::UnitTest::GetInstance()->current_test_info()->name()};
    size_t mark_ = world::settledMark();
};

// A user's certificate with a principal name, as the reader logs it beside the subject.
std::string userCertificate(const std::string& commonName) {
    std::vector<unsigned char> der =
        CertificateBuilder()
            .subject("DC", "org")
            .subject("DC", "corp")
            .subject("CN", commonName)
            .issuer("CN", "Corp CA")
            .issuer("O", "Corp")
            .extension("subjectAltName", "otherName:1.3.6.1.4.1.311.20.2.3;UTF8:ivan@CORP.ORG")
            .der();
    return std::string(der.begin(), der.end());
}

class TokenReaderTest : public TokenTest {
protected:
    // Inserts the token into slot and reads it as the daemon does.
    Token::Info read(const TokenSpec& token, CK_SLOT_ID slot = 1) {
        tokens_.insert(slot, token);
        EXPECT_TRUE(Token::initialize());
        return Token::tokenInfo(slot);
    }
};

TEST_F(TokenReaderTest, ReadsTokenProfilesAndCertificates) {
    TokenSpec token;
    token.label = "  Office key   ";
    token.serial = "00A1B2   ";
    token.isd = "  ISD KX106 rev 2  ";  // KX106 is also a code of "Korvex Quill 3 Combo"
    token.model = "Korvex Quill 3";
    token.certificates = {{"k1", "Ivan's key", userCertificate("Иван")}};
    Token::Info info = read(token, 0x105);

    EXPECT_EQ(
        std::to_string(info.slotId) + "|" + info.label + "|" + info.serialNumber + "|" + info.isd +
            "|" + info.model + "|" + info.applet + "|" + info.message + "|" +
            std::to_string(info.isNew),
        "261|  Office key|00A1B2|  ISD KX106 rev 2|Korvex Quill 3 Card|" + Token::Quill + "||1");
    ASSERT_EQ(info.certs.size(), 1u);
    EXPECT_EQ(info.certs[0].certificate,
              Certificate(testcert::bytes(*token.certificates[0].value), Certificate::Format::Der));
    // The reader's other lines: test_slot_loop.py, as the running daemon logs them.
    EXPECT_TRUE(wasLogged(LOG_DEBUG,
                          "\tНайден сертификат: id:k1 label:Ivan's key subject: Иван@corp.org"
                          "(ivan@CORP.ORG) issuer: Corp CA@Corp"));
    EXPECT_TRUE(logged(LOG_ERR).empty());
}

TEST_F(TokenReaderTest, MessagesForTheUserOnBlankLabelAndCertificateOutsideContainer) {
    TokenSpec blank;
    blank.label = "   ";
    blank.isd = "KX603";
    blank.certificates = {{"k1", "key", userCertificate("Иван")}};
    tokens_.insert(2, blank);
    TokenSpec outside;  // its label is blank too
    outside.certificates = {{"", "first", userCertificate("First")},
                            {"k2", "kept", userCertificate("Kept")},
                            {"", "second", userCertificate("Second")}};
    Token::Info info = read(outside, 1);
    EXPECT_EQ(info.certs.size(), 3u);
    // The certificate message replaces the label message; the last such certificate is named.
    EXPECT_EQ(info.message,
              "На смарт-карте присутствует сертификат Second который, находиться в не "
              "контейнера! Чтение данных со смарт-карты приостановлено, пожалуйста, поместите "
              "данный сертификат в контейнер.");

    info = Token::tokenInfo(2);
    EXPECT_EQ(info.message,
              "Метка у смарт-карты Korvex QMX USB пуста!Чтение данных со смарт-карты "
              "приостановлено, пожалуйста, установите метку!");
    EXPECT_EQ(info.certs.size(), 1u) << "reading goes on";
    // The messages are for the user, not the log.
    for (const std::string& text : world::textsSince(mark_)) {
        EXPECT_EQ(text.find("смарт-карт"), std::string::npos) << text;
    }
}

TEST_F(TokenReaderTest, UnreadableObjectsAreLeftOutAndOneSearchReadsAtMost128And1000) {
    TokenSpec token;
    token.certificates = {{"none", "no value", std::nullopt}};
    token.profiles = {{"anna", ""}};
    std::string der = userCertificate("Many");
    for (int i = 0; i < 130; ++i) {
        token.certificates.push_back({"id" + std::to_string(i), "c", der});
    }
    for (int i = 0; i < 1002; ++i) {
        token.profiles.push_back({"user" + std::to_string(i), "corp.org"});
    }
    Token::Info info = read(token);
    ASSERT_EQ(info.certs.size(), 127u);
    EXPECT_EQ(info.certs.front().id, "id0");
    EXPECT_EQ(info.certs.back().id, "id126");
    ASSERT_EQ(info.profiles.size(), 999u);
    EXPECT_EQ(info.profiles.front().userName, "user0");
    EXPECT_EQ(logged(LOG_ERR),
              std::vector<std::string>{
                  "[ERROR] Ошибка поиска атрибута (C_GetAttributeValue). Код возврата = 18"});
    EXPECT_TRUE(wasLogged(LOG_INFO, "[INFO] Прочитано 127 сертификатов с токена [Успех]"));
    EXPECT_TRUE(wasLogged(LOG_INFO, "[INFO] Прочитано 999 профилей с токена [Успех]"));
    EXPECT_TRUE(info.incomplete) << "what could not be read may name a user";
}

TEST(TokenModelTest, AppletByModelPrefixAndModelNameByFirstCode) {
    // Model, expected applet; ISD text, expected model name.
    const std::array<std::string, 4> cases[] = {
        {"Korvex TL 2", "DataStore", "KX503", "Korvex TL Flash 16"},
        {"Korvex NACRE 2.0", "Nacre2", "no code KX12 kx101", "Cardix"},
        {"Korvex Linnet", "Linnet", "KX999 KX101", "Halvard Ltd."},  // the first code decides
        {"Forte 2", "Forte", "KX3011", "Korvex Forte 2"},  // only three digits are matched
        // Prefixes compare exactly, over their own length only.
        {"Korvex NACRE 1.0", "", "QMX KX603", "Korvex QMX USB"},
    };
    for (const auto& [model, applet, isd, name] : cases) {
        CK_TOKEN_INFO info{};
        std::copy(model.begin(), model.end(), info.model);
        EXPECT_EQ(Token::detectTokenApplet(info), applet) << model;
        EXPECT_EQ(Token::detectTokenModelName(isd), name) << isd;
    }
}

TEST_F(TokenReaderTest, EachFailingCallGivesItsLogLinesAndKeepsWhatItCanRead) {
    const std::string certs = "[ERROR] tokenCerts: Ошибка поиска сертификатов (";
    const std::string profiles = "[ERROR] tokenProfiles: Ошибка поиска профилей (";
    const std::string attribute =
        "[ERROR] Ошибка поиска атрибута (C_GetAttributeValue). Код возврата = 48";
    // The call failing with CKR_DEVICE_ERROR (48), the error and warning lines, and the label,
    // model and numbers of certificates and profiles read.
    const struct {
        std::string call;
        std::vector<std::string> logged;
        std::string read;
    } cases[] = {
        // A token whose information cannot be read is left out: a default record.
        {"C_GetTokenInfo",
         {"[ERROR] Не удалось получить информацию о токене! Код возврата = 48"},
         "||0|0"},
        // The zeroed ISD stays: NUL is not white space, and D-Bus cuts it away.
        {"KX_GetISD",
         {"[WARNING] tokenInfo: Ошибка KX_GetISD. Код возврата = 48"},
         "Failing|Cardix|1|1"},
        // The failed certificate search is ended, so the profile search can start (and meets
        // the same failure) instead of being refused with CKR_OPERATION_ACTIVE.
        {"C_FindObjects",
         {certs + "C_FindObjects). Код возврата = 48",
          profiles + "C_FindObjects). Код возврата = 48"},
         "Failing|Korvex Quill 3 (USB)|0|0"},
        // A search whose end the library refuses stays open in the library.
        {"C_FindObjectsFinal",
         {certs + "C_FindObjectsFinal). Код возврата = 48",
          profiles + "C_FindObjectsInit). Код возврата = 144"},
         "Failing|Korvex Quill 3 (USB)|0|0"},
        {"C_GetAttributeValue", {attribute, attribute}, "Failing|Korvex Quill 3 (USB)|0|0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        TokenSpec token;
        token.label = "Failing";
        token.isd = "KX101";
        token.profiles = {{"ivan", "corp.org"}};
        token.certificates = {{"k1", "key", userCertificate("Иван")}};
        token.failures = {{c.call, CKR_DEVICE_ERROR}};
        mark_ = world::settledMark();
        Token::Info info = read(token, 4);
        C_Finalize(nullptr);
        std::vector<std::string> lines = logged(LOG_ERR), warnings = logged(LOG_WARNING);
        lines.insert(lines.end(), warnings.begin(), warnings.end());
        EXPECT_EQ(lines, c.logged);
        EXPECT_EQ(info.label + "|" + info.model + "|" + std::to_string(info.certs.size()) + "|" +
                      std::to_string(info.profiles.size()),
                  c.read);
        EXPECT_EQ(info.slotId, info.label.empty() ? 0u : 4u);
        EXPECT_EQ(info.incomplete, c.call != "KX_GetISD");
        EXPECT_EQ(info.isd, c.call == "KX_GetISD" ? std::string(KX_ISD_TEXT_SIZE, '\0')
                            : info.label.empty()  ? ""
                                                  : "KX101");
    }
}

// Stopping the library never cuts short a call still in progress on another thread (the
// standard leaves that undefined): it waits for the call, and gives up on one that does not
// end, leaving the library as it is.
TEST_F(TokenReaderTest, StoppingTheLibraryLeavesAnotherThreadsCallAlone) {
    TokenSpec token;
    token.delays["C_GetTokenInfo"].forever = true;  // the reader's first call
    tokens_.insert(1, token);
    ASSERT_TRUE(Token::initialize());
    testthreads::CallThread reader([] {
        Token::tokenInfo(1);
        return CKR_OK;
    });
    ASSERT_TRUE(reader.sleepsInLibrary());
    EXPECT_FALSE(Token::finalize());
    ASSERT_TRUE(tokens_.remove(1));  // the card's call ends as the card leaves
    reader.join();
    EXPECT_EQ(logged(LOG_ERR),
              (std::vector<std::string>{"[ERROR] C_Finalize не вызвана: вызов единой библиотеки "
                                        "в другом потоке не завершился за 5 с",
                                        "[ERROR] Не удалось получить информацию о токене! Код "
                                        "возврата = 50"}));  // CKR_DEVICE_REMOVED
}

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

class TokenPinTest : public TokenTest {
protected:
    void TearDown() override {
        TokenTest::TearDown();
        std::remove(Token::greeterConfigPath);
    }
};

void expectResult(const Token::PinResult& result, State state, const std::string& message) {
    EXPECT_EQ(static_cast<int>(result.first), static_cast<int>(state));
    EXPECT_EQ(result.second, message);
}

TEST_F(TokenPinTest, EachAppletFamilyCountsWrongPinsInItsOwnRecord) {
    // Counters after one wrong user PIN and one wrong administrator PIN, as (left, limit).
    struct Case {
        std::string applet;
        std::pair<uint64_t, uint64_t> user, admin;
    } cases[] = {
        {Token::Quill, {6, 10}, {3, 5}},  {Token::Forte, {6, 10}, {3, 5}},
        {Token::Linnet, {0, 0}, {0, 0}},  // no counters
        {Token::Nacre, {6, 10}, {3, 10}}, {Token::DataStore, {6, 10}, {3, 5}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        tokens_.insert(i + 1, pinToken());
    }
    ASSERT_TRUE(Token::initialize());
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.applet);
        Token::Info info = infoOf(i + 1, c.applet);
        // A session of someone else stays open: the checks must log out only their own login.
        CK_SESSION_HANDLE other = CK_INVALID_HANDLE;
        ASSERT_EQ(
            C_OpenSession(i + 1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &other),
            CKR_OK);
        mark_ = world::settledMark();

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

        EXPECT_EQ(world::countSince(mark_, LOG_INFO, "[INFO] Проверка PIN-кода прошла успешно!"),
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
    ASSERT_TRUE(Token::initialize());
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.message);
        Token::Info info = infoOf(i + 1, c.applet);
        expectResult(Token::checkPin(info, c.pin, false), c.state, c.message);
        if (c.policy) {
            expectResult(Token::pinExpired(info), c.state, c.message);
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

}  // namespace
