// The state file's text: a hostile token's fields come back byte for byte, and anything the
// writer would not have written is refused whole, with the line that is wrong.
#include <gtest/gtest.h>

#include <string>

#include "daemon/SavedTokens.h"

namespace {

const std::string kHeader = "kxsentrixd-tokens 1\n";
const std::string kToken = "token 5 whole L - M A I\n";

}  // namespace

TEST(SavedTokensTest, HostileFieldsComeBackByteForByte) {
    SavedTokens saved;
    Token::Info token;
    token.slotId = 18446744073709551615ULL;
    const char label[] = "a b\nend\n%41 -\0\xff Иван";  // would forge lines if written raw
    token.label = std::string(label, sizeof(label) - 1);
    token.serialNumber = "-";
    token.model = "";
    token.incomplete = true;
    token.profiles = {{"ivanov", ""}, {" ", "corp %"}};
    token.certs = {{std::string("\x00\x01", 2), "logon",
                    Certificate("Иван", "O", "", "CA", "", "d.c", "alt name", "AB01", true)}};
    saved.tokens = {token, token};  // a token leaving and the next in the same slot
    saved.tokens[1].incomplete = false;
    saved.unread = {7, 0};

    std::string error;
    const std::optional<SavedTokens> parsed = SavedTokens::parse(saved.text(), error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->text(), saved.text());
    ASSERT_EQ(parsed->tokens.size(), 2u);
    const Token::Info& back = parsed->tokens[0];
    EXPECT_EQ(back.slotId, token.slotId);
    EXPECT_EQ(back.label, token.label);
    EXPECT_EQ(back.serialNumber, "-");
    EXPECT_TRUE(back.incomplete);
    EXPECT_FALSE(parsed->tokens[1].incomplete);
    ASSERT_EQ(back.profiles.size(), 2u);
    EXPECT_EQ(back.profiles[1].domain, "corp %");
    ASSERT_EQ(back.certs.size(), 1u);
    EXPECT_EQ(back.certs[0].id, token.certs[0].id);
    EXPECT_EQ(back.certs[0].certificate.issuerDomainComponent(), "d.c");
    EXPECT_EQ(back.certs[0].certificate.fingerprint(), "AB01");
    EXPECT_TRUE(back.certs[0].certificate.isCaCert());
    EXPECT_EQ(parsed->unread, saved.unread);
    // One item a line, every field spelled out.
    EXPECT_NE(saved.text().find("\nprofile %20 corp%20%25\n"), std::string::npos);
}

TEST(SavedTokensTest, AnythingTheWriterWouldNotWriteIsRefused) {
    const struct {
        std::string text;
        const char* error;
    } cases[] = {
        {"", "нет строки end"},
        {kHeader, "нет строки end"},
        {kHeader + kToken + "end", "нет строки end"},  // cut short
        {"kxsentrixd-tokens 2\nend\n", "неизвестная версия 2"},
        {"kxsentrixd-tokens 1 \nend\n", "неизвестная версия 1 "},
        {"{\"tokens\": []}\nend\n", "неизвестный формат"},
        {kHeader + "end\n\n", "строка 3: текст после end"},
        {kHeader + "end\r\n", "строка 2: неизвестная запись"},
        {kHeader + "profile ivanov corp\nend\n", "строка 2: запись до первого токена"},
        {kHeader + "token 5 whole L - M A\nend\n", "строка 2: неверное число полей"},
        {kHeader + "token 5 whole L - M A I \nend\n", "строка 2: неверное число полей"},
        {kHeader + "token 05 whole L - M A I\nend\n", "строка 2: неверный номер слота"},
        {kHeader + "token 18446744073709551616 whole L - M A I\nend\n",
         "строка 2: неверный номер слота"},
        {kHeader + "token 5 partial L - M A I\nend\n", "строка 2: неверная отметка полноты"},
        {kHeader + "token 5 whole %41 - M A I\nend\n", "строка 2: неверное поле"},  // "A"
        {kHeader + "token 5 whole %2d - M A I\nend\n", "строка 2: неверное поле"},
        {kHeader + "token 5 whole %4 - M A I\nend\n", "строка 2: неверное поле"},
        {kHeader + "token 5 whole Иван - M A I\nend\n", "строка 2: неверное поле"},
        {kHeader + kToken + "cert - - - - - - - - - AB01 2\nend\n", "строка 3: неверное поле"},
        {kHeader + kToken + "profile ivanov\nend\n", "строка 3: неверное число полей"},
        {kHeader + "unread 7\nunread 7\nend\n", "строка 3: неверный или повторный номер слота"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        EXPECT_FALSE(SavedTokens::parse(c.text, error));
        EXPECT_EQ(error, c.error);
    }
    std::string error;
    EXPECT_TRUE(SavedTokens::parse(kHeader + "unread 7\n" + kToken + "end\n", error)) << error;
}
