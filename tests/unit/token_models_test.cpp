#include <gtest/gtest.h>

#include <regex>

#include "token/Token.h"

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
