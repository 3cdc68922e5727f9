#pragma once

#include <string>

// Byte-wise string helpers; each returns the changed copy.
class Common {
public:
    // Removes trailing white space (C-locale isspace); leading white space and NUL bytes stay.
    static std::string trim(std::string text);
    static std::string toLower(std::string text);
    static std::string toUpper(std::string text);
};
