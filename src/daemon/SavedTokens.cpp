#include "daemon/SavedTokens.h"

#include <cerrno>
#include <cstdlib>

#include "base/Common.h"

namespace {

constexpr char kMagic[] = "kxsentrixd-tokens";
constexpr char kHex[] = "0123456789ABCDEF";
constexpr size_t kTokenFields = 8;
constexpr size_t kProfileFields = 3;
constexpr size_t kCertFields = 12;

std::string encode(const std::string& field) {
    if (field.empty()) {
        return "-";
    }
    if (field == "-") {
        return "%2D";
    }
    std::string out;
    for (unsigned char byte : field) {
        if (byte > ' ' && byte < 0x7F && byte != '%') {
            out += static_cast<char>(byte);
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

int hexDigit(char c) {
    for (int value = 0; value < 16; ++value) {
        if (kHex[value] == c) {
            return value;
        }
    }
    return -1;
}

// Only the writer's own spelling is taken: decoding and encoding again must give the field back.
bool decode(const std::string& field, std::string& out) {
    out.clear();
    if (field != "-") {
        for (size_t at = 0; at < field.size(); ++at) {
            if (field[at] != '%') {
                out += field[at];
                continue;
            }
            const int high = at + 2 < field.size() ? hexDigit(field[at + 1]) : -1;
            const int low = high < 0 ? -1 : hexDigit(field[at + 2]);
            if (low < 0) {
                return false;
            }
            out += static_cast<char>(high * 16 + low);
            at += 2;
        }
    }
    return encode(out) == field;
}

bool parseSlot(const std::string& field, CK_SLOT_ID& slot) {
    if (field.empty() || field.size() > 20 || (field.size() > 1 && field[0] == '0') ||
        field.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(field.c_str(), nullptr, 10);
    slot = static_cast<CK_SLOT_ID>(value);
    return errno == 0 && static_cast<unsigned long long>(slot) == value;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t blank = line.find(' ', start);
        fields.push_back(line.substr(start, blank - start));
        if (blank == std::string::npos) {
            return fields;
        }
        start = blank + 1;
    }
}

// The fields after the keyword, decoded; false when one is not the writer's spelling.
bool decodeAll(const std::vector<std::string>& fields, size_t from, std::vector<std::string>& out) {
    out.assign(fields.size() - from, std::string());
    for (size_t at = from; at < fields.size(); ++at) {
        if (!decode(fields[at], out[at - from])) {
            return false;
        }
    }
    return true;
}

void writeCert(std::string& text, const Token::Cert& cert) {
    const Certificate& c = cert.certificate;
    text += "cert";
    for (const std::string* field :
         {&cert.id, &cert.label, &c.subject(), &c.subjectOrganization(),
          &c.subjectDomainComponent(), &c.issuer(), &c.issuerOrganization(),
          &c.issuerDomainComponent(), &c.altName(), &c.fingerprint()}) {
        text += ' ' + encode(*field);
    }
    text += c.isCaCert() ? " 1\n" : " 0\n";
}

// One line after the header; the error names what is wrong with it.
class LineParser {
public:
    explicit LineParser(SavedTokens& saved) : saved_(saved) {}

    bool take(const std::string& line, std::string& error) {
        const std::vector<std::string> fields = split(line);
        const std::string& kind = fields[0];
        if (kind == "unread") {
            return unread(fields, error);
        }
        if (kind == "token") {
            return token(fields, error);
        }
        if (kind == "profile" || kind == "cert") {
            if (saved_.tokens.empty()) {
                error = "запись до первого токена";
                return false;
            }
            return kind == "profile" ? profile(fields, error) : cert(fields, error);
        }
        error = "неизвестная запись";
        return false;
    }

private:
    static bool count(const std::vector<std::string>& fields, size_t expected, std::string& error) {
        if (fields.size() != expected) {
            error = "неверное число полей";
            return false;
        }
        return true;
    }

    bool unread(const std::vector<std::string>& fields, std::string& error) {
        CK_SLOT_ID slot = 0;
        if (!count(fields, 2, error)) {
            return false;
        }
        if (!parseSlot(fields[1], slot) || !saved_.unread.insert(slot).second) {
            error = "неверный или повторный номер слота";
            return false;
        }
        return true;
    }

    bool token(const std::vector<std::string>& fields, std::string& error) {
        std::vector<std::string> values;
        Token::Info info;
        if (!count(fields, kTokenFields, error)) {
            return false;
        }
        if (!parseSlot(fields[1], info.slotId)) {
            error = "неверный номер слота";
            return false;
        }
        if (fields[2] != "whole" && fields[2] != "incomplete") {
            error = "неверная отметка полноты";
            return false;
        }
        if (!decodeAll(fields, 3, values)) {
            error = "неверное поле";
            return false;
        }
        info.incomplete = fields[2] == "incomplete";
        info.label = values[0];
        info.serialNumber = values[1];
        info.model = values[2];
        info.applet = values[3];
        info.isd = values[4];
        saved_.tokens.push_back(std::move(info));
        return true;
    }

    bool profile(const std::vector<std::string>& fields, std::string& error) {
        std::vector<std::string> values;
        if (!count(fields, kProfileFields, error)) {
            return false;
        }
        if (!decodeAll(fields, 1, values)) {
            error = "неверное поле";
            return false;
        }
        saved_.tokens.back().profiles.push_back({values[0], values[1]});
        return true;
    }

    bool cert(const std::vector<std::string>& fields, std::string& error) {
        std::vector<std::string> v;
        if (!count(fields, kCertFields, error)) {
            return false;
        }
        const std::string& ca = fields[kCertFields - 1];
        if (!decodeAll(fields, 1, v) || (ca != "0" && ca != "1")) {
            error = "неверное поле";
            return false;
        }
        Certificate certificate(v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], ca == "1");
        saved_.tokens.back().certs.push_back({v[0], v[1], std::move(certificate)});
        return true;
    }

    SavedTokens& saved_;
};

}  // namespace

std::string SavedTokens::text() const {
    std::string text = Common::format("%s %d\n", kMagic, kVersion);
    for (CK_SLOT_ID slot : unread) {
        text += Common::format("unread %lu\n", slot);
    }
    for (const Token::Info& token : tokens) {
        text += Common::format("token %lu %s", static_cast<unsigned long>(token.slotId),
                               token.incomplete ? "incomplete" : "whole");
        for (const std::string* field :
             {&token.label, &token.serialNumber, &token.model, &token.applet, &token.isd}) {
            text += ' ' + encode(*field);
        }
        text += '\n';
        for (const Token::Profile& profile : token.profiles) {
            text += "profile " + encode(profile.userName) + ' ' + encode(profile.domain) + '\n';
        }
        for (const Token::Cert& cert : token.certs) {
            writeCert(text, cert);
        }
    }
    return text + "end\n";
}

std::optional<SavedTokens> SavedTokens::parse(const std::string& text, std::string& error) {
    const size_t headerEnd = text.find('\n');
    if (headerEnd == std::string::npos) {
        error = "нет строки end";
        return std::nullopt;
    }
    const std::string header = text.substr(0, headerEnd);
    const std::string expected = Common::format("%s %d", kMagic, kVersion);
    if (header != expected) {
        error = header.rfind(std::string(kMagic) + ' ', 0) == 0
                    ? "неизвестная версия " + Common::printable(header.substr(sizeof(kMagic), 32))
                    : std::string("неизвестный формат");
        return std::nullopt;
    }
    SavedTokens saved;
    LineParser parser(saved);
    size_t number = 2;  // of the line taken: the header is the first
    for (size_t start = headerEnd + 1; start < text.size(); ++number) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            break;  // the last line has no newline: cut short
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line == "end") {
            if (start != text.size()) {
                error = Common::format("строка %zu: текст после end", number + 1);
                return std::nullopt;
            }
            return saved;
        }
        if (!parser.take(line, error)) {
            error = Common::format("строка %zu: %s", number, error.c_str());
            return std::nullopt;
        }
    }
    error = "нет строки end";
    return std::nullopt;
}
