// The token reader against simulated tokens: what it returns and what it logs.

#include <gtest/gtest.h>
#include <syslog.h>

#include <array>

#include "TestCertificate.h"
#include "TokenTest.h"
#include "token/Token.h"

using testcert::CertificateBuilder;
using testtoken::TokenSpec;

namespace {

std::string derOf(const CertificateBuilder& builder) {
    std::vector<unsigned char> der = builder.der();
    return std::string(der.begin(), der.end());
}

// A user's certificate with a principal name, as the reader logs it beside the subject.
std::string userCertificate(const std::string& commonName) {
    return derOf(
        CertificateBuilder()
            .subject("DC", "org")
            .subject("DC", "corp")
            .subject("CN", commonName)
            .issuer("CN", "Corp CA")
            .issuer("O", "Corp")
            .extension("subjectAltName", "otherName:1.3.6.1.4.1.311.20.2.3;UTF8:ivan@CORP.ORG"));
}

class TokenReaderTest : public testtoken::TokenTest {
protected:
    // Inserts the token into slot and reads it as the daemon does.
    Token::Info read(const TokenSpec& token, CK_SLOT_ID slot = 1) {
        tokens_.insert(slot, token);
        EXPECT_TRUE(Token::initialize());
        return Token::tokenInfo(slot);
    }
};

}  // namespace

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
    for (const std::string& text : testlog::textsSince(mark_)) {
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
        mark_ = testlog::settledMark();
        Token::Info info = read(token, 4);
        C_Finalize(nullptr);
        std::vector<std::string> lines = logged(LOG_ERR), warnings = logged(LOG_WARNING);
        lines.insert(lines.end(), warnings.begin(), warnings.end());
        EXPECT_EQ(lines, c.logged);
        EXPECT_EQ(info.label + "|" + info.model + "|" + std::to_string(info.certs.size()) + "|" +
                      std::to_string(info.profiles.size()),
                  c.read);
        EXPECT_EQ(info.slotId, info.label.empty() ? 0u : 4u);
        EXPECT_EQ(info.isd, c.call == "KX_GetISD" ? std::string(KX_ISD_TEXT_SIZE, '\0')
                            : info.label.empty()  ? ""
                                                  : "KX101");
    }
}
