#include "Codec.h"

#include <array>

namespace kxsim {

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

std::optional<std::string> fromHex(const std::string& text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = hexValue(text[i]);
        int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(high << 4 | low);
    }
    return bytes;
}

std::string toBase64(const std::string& bytes) {
    std::string text;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned value = static_cast<unsigned char>(bytes[i]) << 16 |
                         static_cast<unsigned char>(bytes[i + 1]) << 8 |
                         static_cast<unsigned char>(bytes[i + 2]);
        text += kBase64Alphabet[value >> 18 & 63];
        text += kBase64Alphabet[value >> 12 & 63];
        text += kBase64Alphabet[value >> 6 & 63];
        text += kBase64Alphabet[value & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) {
            value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        text += kBase64Alphabet[value >> 18 & 63];
        text += kBase64Alphabet[value >> 12 & 63];
        text += rest == 2 ? kBase64Alphabet[value >> 6 & 63] : '=';
        text += '=';
    }
    return text;
}

std::optional<std::string> fromBase64(const std::string& text) {
    // A table and one pass: the library decodes every inserted token's certificates inside the
    // call that notices it, which the application may be waiting on (a slot event poll).
    static const auto values = [] {
        std::array<signed char, 256> table;
        table.fill(-1);
        for (int i = 0; i < 64; ++i) {
            table[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<signed char>(i);
        }
        for (unsigned char blank : {' ', '\t', '\n', '\v', '\f', '\r'}) {
            table[blank] = -2;
        }
        table['='] = -3;
        return table;
    }();
    std::string bytes(text.size() / 4 * 3 + 3, '\0');
    size_t out = 0;
    unsigned buffer = 0;
    int bits = 0;
    size_t padding = 0;
    const auto valueAt = [&](size_t at) { return values[static_cast<unsigned char>(text[at])]; };
    for (size_t at = 0; at < text.size();) {
        if (bits == 0 && padding == 0 && at + 4 <= text.size()) {
            int a = valueAt(at), b = valueAt(at + 1), c = valueAt(at + 2), d = valueAt(at + 3);
            if ((a | b | c | d) >= 0) {  // four plain characters: three bytes
                bytes[out++] = static_cast<char>(a << 2 | b >> 4);
                bytes[out++] = static_cast<char>((b & 15) << 4 | c >> 2);
                bytes[out++] = static_cast<char>((c & 3) << 6 | d);
                at += 4;
                continue;
            }
        }
        int value = valueAt(at++);
        if (value == -2) {
            continue;
        }
        if (value == -3) {
            ++padding;
            continue;
        }
        if (value < 0 || padding > 0) {
            return std::nullopt;
        }
        buffer = (buffer << 6 | static_cast<unsigned>(value)) & 0xffffff;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes[out++] = static_cast<char>(buffer >> bits & 0xff);
        }
    }
    if (padding > 2 || bits >= 6) {
        return std::nullopt;
    }
    bytes.resize(out);
    return bytes;
}

std::optional<std::string> pemCertificate(const std::string& text) {
    const std::string begin = "-----BEGIN CERTIFICATE-----";
    const std::string end = "-----END CERTIFICATE-----";
    size_t start = text.find(begin);
    if (start == std::string::npos) {
        return std::nullopt;
    }
    start += begin.size();
    size_t stop = text.find(end, start);
    if (stop == std::string::npos) {
        return std::nullopt;
    }
    auto der = fromBase64(text.substr(start, stop - start));
    if (!der || der->empty()) {
        return std::nullopt;
    }
    return der;
}

bool looksLikePem(const std::string& bytes) {
    return bytes.find("-----BEGIN ") != std::string::npos;
}

}  // namespace kxsim
