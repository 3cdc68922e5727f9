#pragma once

#include <cstdarg>
#include <string>

// Byte-wise string helpers; those that change a text return the changed copy.
class Common {
public:
    // White space as isspace sees it in the C locale, whatever locale the process runs in.
    static bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    // Removes trailing white space (C-locale isspace); leading white space and NUL bytes stay.
    static std::string trim(std::string text);
    static std::string toLower(std::string text);
    static std::string toUpper(std::string text);
    // The text as it may stand in a log record when someone else chose it (a file name, a token
    // or certificate field, a command line, a D-Bus argument): control characters (C0, DEL and
    // the C1 range), and bytes that are not valid UTF-8, are written as \xNN, so the value can
    // neither end its record and forge another nor steer a terminal. Other text stays as it is.
    static std::string printable(const std::string& text);
    // Whether the text is valid UTF-8 throughout (a NUL byte counts as a character).
    static bool isUtf8(const std::string& text);
    // printf into a string: for a message that is put together before it is logged.
    static std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static std::string vformat(const char* format, va_list arguments);
};
