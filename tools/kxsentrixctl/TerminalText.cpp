#include "TerminalText.h"

#include <cstdio>

#include "base/Common.h"

namespace {

// The code point of the bidirectional control starting at `at`, or 0.
unsigned bidiControl(const std::string& text, size_t at) {
    if (at + 2 >= text.size() || static_cast<unsigned char>(text[at]) != 0xE2) {
        return 0;
    }
    auto second = static_cast<unsigned char>(text[at + 1]);
    auto third = static_cast<unsigned char>(text[at + 2]);
    if ((second == 0x80 && third >= 0xAA && third <= 0xAE) ||
        (second == 0x81 && third >= 0xA6 && third <= 0xA9)) {
        return 0x2000 + ((second & 0x3Fu) << 6) + (third & 0x3Fu);
    }
    return 0;
}

}  // namespace

std::string TerminalText::cell(const std::string& text) {
    std::string printable = Common::printable(text);
    std::string out;
    out.reserve(printable.size());
    for (size_t at = 0; at < printable.size();) {
        if (bidiControl(printable, at) == 0) {
            out += printable[at++];
            continue;
        }
        for (size_t end = at + 3; at < end; ++at) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x",
                          static_cast<unsigned char>(printable[at]));
            out += escaped;
        }
    }
    return out;
}

std::string TerminalText::json(const nlohmann::ordered_json& value) {
    // Valid UTF-8 throughout (other bytes are replaced), so each control found is a whole
    // character, and only inside a string.
    std::string text = value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        auto byte = static_cast<unsigned char>(text[at]);
        unsigned codePoint = 0;
        size_t length = 1;
        if (byte == 0x7F) {
            codePoint = byte;
        } else if (byte == 0xC2 && at + 1 < text.size() &&
                   static_cast<unsigned char>(text[at + 1]) <= 0x9F) {
            codePoint = static_cast<unsigned char>(text[at + 1]);
            length = 2;
        } else if ((codePoint = bidiControl(text, at)) != 0) {
            length = 3;
        }
        if (codePoint == 0) {
            out += text[at++];
            continue;
        }
        char escaped[16];
        std::snprintf(escaped, sizeof(escaped), "\\u%04x", codePoint);
        out += escaped;
        at += length;
    }
    return out;
}
