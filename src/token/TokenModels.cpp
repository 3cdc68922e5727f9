// Which product and which applet a token is, from the texts the token reports about itself.

#include <cstring>
#include <regex>

#include "token/Token.h"

const std::string Token::DataStore = "DataStore";
const std::string Token::Nacre = "Nacre";
const std::string Token::Nacre2 = "Nacre2";
const std::string Token::Quill = "Quill";
const std::string Token::Linnet = "Linnet";
const std::string Token::QMX = "QMX";
const std::string Token::Forte = "Forte";

const std::map<std::string, std::string> Token::modelTokens = {
    {"Korvex Forte 2", "KX301, KX302"},
    {"Korvex Forte 2 Bio", "KX303, KX304-B"},
    {"Korvex Linnet Card", "KX210, KX211-C"},
    {"Korvex Linnet Micro", "KX212, KX213"},
    {"Korvex Linnet USB", "KX214, KX215-A, KX216"},
    {"Korvex NACRE 2.0 Card", "KX401, KX402-C"},
    {"Korvex NACRE 2.0 USB", "KX403, KX404-A"},
    {"Korvex QMX Card", "KX601, KX602-C"},
    {"Korvex QMX USB", "KX603"},
    {"Korvex Quill 3 (USB)", "KX101, KX102-A"},
    {"Korvex Quill 3 (USB-C)", "KX103, KX104-A"},
    {"Korvex Quill 3 Bluetooth", "KX105"},
    {"Korvex Quill 3 Card", "KX106, KX107-C"},
    // The combined device reports the codes of both of its halves.
    {"Korvex Quill 3 Combo", "KX101, KX106"},
    {"Korvex Quill 3 Micro", "KX108"},
    {"Korvex Quill 3 NFC", "KX109, KX110-N"},
    {"Korvex Quill 4 (USB)", "KX120, KX121-A"},
    {"Korvex Quill 4 (USB-C)", "KX122, KX123-A"},
    {"Korvex Quill 4 Card", "KX124, KX125-C"},
    {"Korvex TL Data", "KX501, KX502"},
    {"Korvex TL Flash 16", "KX503"},
    {"Korvex TL Flash 32", "KX504"},
};

std::string Token::detectTokenApplet(const CK_TOKEN_INFO& info) {
    // The first prefix that matches decides, so the order matters.
    static const std::pair<const char*, const std::string*> kPrefixes[] = {
        {"Korvex TL", &DataStore}, {"Cardix NACRE", &Nacre},   {"Korvex NACRE 2.0", &Nacre2},
        {"Korvex Quill", &Quill},  {"Korvex Linnet", &Linnet}, {"QMX", &QMX},
        {"Forte", &Forte},
    };
    for (const auto& prefix : kPrefixes) {
        size_t length = std::strlen(prefix.first);
        if (length <= sizeof(info.model) && std::memcmp(info.model, prefix.first, length) == 0) {
            return *prefix.second;
        }
    }
    return {};
}

std::string Token::detectTokenModelName(std::string text) {
    static const std::regex kModelCode("KX[0-9]{3}", std::regex::ECMAScript);
    std::smatch match;
    if (!std::regex_search(text, match, kModelCode)) {
        return "Cardix";
    }
    const std::string code = match.str();
    // The map is ordered by key, so a code of several products names the first of them.
    for (const auto& entry : modelTokens) {
        if (entry.second.find(code) != std::string::npos) {
            return entry.first;
        }
    }
    return "Halvard Ltd.";
}
