#include "log/Common.h"

#include <algorithm>
#include <cctype>

std::string Common::trim(std::string text) {
    auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    auto end = std::find_if_not(text.rbegin(), text.rend(), isSpace);
    text.erase(end.base(), text.end());
    return text;
}

std::string Common::toLower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Common::toUpper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}
