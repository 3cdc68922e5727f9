#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "token/Token.h"

namespace {

// CK_TOKEN_INFO.model as a token reports it: 16 bytes, blank-padded.
CK_TOKEN_INFO withModel(const std::string& model) {
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof(info));
    std::memset(info.model, ' ', sizeof(info.model));
    std::memcpy(info.model, model.data(), std::min(model.size(), sizeof(info.model)));
    return info;
}

}  // namespace

TEST(TokenModelTest, TableHasTwentyTwoProductsWithWellFormedCodes) {
    EXPECT_EQ(Token::modelTokens.size(), 22u);
    const std::regex codeList("KX[0-9]{3}(-[A-Z])?(, KX[0-9]{3}(-[A-Z])?)*");
    for (const auto& entry : Token::modelTokens) {
        EXPECT_FALSE(entry.first.empty());
        EXPECT_TRUE(std::regex_match(entry.second, codeList))
            << entry.first << ": " << entry.second;
    }
}

TEST(TokenModelTest, ModelNameFromFirstCodeInText) {
    EXPECT_EQ(Token::detectTokenModelName(""), "Cardix");
    EXPECT_EQ(Token::detectTokenModelName("no code here KX12 kx101"), "Cardix");
    EXPECT_EQ(Token::detectTokenModelName("KX999"), "Halvard Ltd.");
    EXPECT_EQ(Token::detectTokenModelName("ISD KX603 rev 2"), "Korvex QMX USB");
    // Only the three digits are matched; a suffix in the table still contains them.
    EXPECT_EQ(Token::detectTokenModelName("KX215-A"), "Korvex Linnet USB");
    EXPECT_EQ(Token::detectTokenModelName("KX3011"), "Korvex Forte 2");
    // The first code in the text decides, even when a later one would be known.
    EXPECT_EQ(Token::detectTokenModelName("KX999 KX101"), "Halvard Ltd.");
    // NUL bytes in the ISD text do not stop the search.
    EXPECT_EQ(Token::detectTokenModelName(std::string("\0\0KX504", 7)), "Korvex TL Flash 32");
}

TEST(TokenModelTest, CodeOfSeveralProductsNamesTheKeyThatSortsFirst) {
    // KX101 and KX106 are also codes of "Korvex Quill 3 Combo".
    EXPECT_EQ(Token::detectTokenModelName("KX101"), "Korvex Quill 3 (USB)");
    EXPECT_EQ(Token::detectTokenModelName("KX106"), "Korvex Quill 3 Card");
    int owners = 0;
    for (const auto& entry : Token::modelTokens) {
        owners += entry.second.find("KX106") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(owners, 2);
}

TEST(TokenModelTest, AppletFromModelPrefix) {
    EXPECT_EQ(Token::detectTokenApplet(withModel("Korvex TL")), Token::DataStore);
    EXPECT_EQ(Token::detectTokenApplet(withModel("Korvex TL Flash")), "DataStore");
    EXPECT_EQ(Token::detectTokenApplet(withModel("Cardix NACRE")), "Nacre");
    EXPECT_EQ(Token::detectTokenApplet(withModel("Korvex NACRE 2.0")), "Nacre2");
    EXPECT_EQ(Token::detectTokenApplet(withModel("Korvex Quill 3")), "Quill");
    EXPECT_EQ(Token::detectTokenApplet(withModel("Korvex Linnet")), "Linnet");
    EXPECT_EQ(Token::detectTokenApplet(withModel("QMX-2")), "QMX");
    EXPECT_EQ(Token::detectTokenApplet(withModel("Forte")), "Forte");
    EXPECT_EQ(Token::detectTokenApplet(withModel("Forte 2 Bio")), "Forte");

    EXPECT_EQ(Token::detectTokenApplet(withModel("Korvex NACRE 1.0")), "");
    EXPECT_EQ(Token::detectTokenApplet(withModel("Korvex Disk2")), "");
    EXPECT_EQ(Token::detectTokenApplet(withModel("forte")), "");
    EXPECT_EQ(Token::detectTokenApplet(withModel(" Forte")), "");
    EXPECT_EQ(Token::detectTokenApplet(withModel("")), "");
}
