#include "base/Common.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>

std::string Common::trim(std::string text) {
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

namespace {

// Length of the valid UTF-8 sequence that starts at `at` (code point in `codePoint`), or 0.
size_t utf8SequenceLength(const std::string& text, size_t at, unsigned& codePoint) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length;
    unsigned minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
    }
    bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint < minimum || codePoint > 0x10FFFF || surrogate ? 0 : length;
}

void appendEscaped(std::string& out, unsigned char c) {
    char escaped[5];
    std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
    out += escaped;
}

}  // namespace

std::string Common::printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) {
                appendEscaped(out, c);
            } else {
                out += static_cast<char>(c);
            }
            ++at;
            continue;
        }
        unsigned codePoint = 0;
        size_t length = utf8SequenceLength(text, at, codePoint);
        if (length == 0) {
            appendEscaped(out, c);
            ++at;
            continue;
        }
        bool c1Control = codePoint <= 0x9F;
        for (size_t i = 0; i < length; ++i) {
            if (c1Control) {
                appendEscaped(out, static_cast<unsigned char>(text[at + i]));
            } else {
                out += text[at + i];
            }
        }
        at += length;
    }
    return out;
}

bool Common::isUtf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        unsigned codePoint = 0;
        size_t length = static_cast<unsigned char>(text[at]) < 0x80
                            ? 1
                            : utf8SequenceLength(text, at, codePoint);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

std::string Common::format(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = vformat(format, arguments);
    va_end(arguments);
    return text;
}

std::string Common::vformat(const char* format, va_list arguments) {
    va_list counting;
    va_copy(counting, arguments);
    int length = std::vsnprintf(nullptr, 0, format, counting);
    va_end(counting);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        va_list writing;
        va_copy(writing, arguments);
        std::vsnprintf(text.data(), text.size() + 1, format, writing);
        va_end(writing);
    }
    return text;
}
