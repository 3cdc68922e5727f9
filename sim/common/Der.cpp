#include "Der.h"

#include <cstdint>

namespace kxsim {

namespace {

constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kVersionTag = 0xa0;  // [0] EXPLICIT

// One tag-length-value element inside a byte range.
struct Element {
    unsigned char tag = 0;
    size_t start = 0;    // first byte of the tag
    size_t content = 0;  // first byte of the value
    size_t end = 0;      // one past the value
};

std::optional<Element> readElement(const std::string& der, size_t pos, size_t limit) {
    if (pos + 2 > limit) {
        return std::nullopt;
    }
    Element element;
    element.start = pos;
    element.tag = static_cast<unsigned char>(der[pos]);
    if ((element.tag & 0x1f) == 0x1f) {
        return std::nullopt;  // multi-byte tags do not occur in certificate headers
    }
    size_t length = static_cast<unsigned char>(der[pos + 1]);
    pos += 2;
    if (length & 0x80) {
        size_t count = length & 0x7f;
        if (count == 0 || count > 4 || pos + count > limit) {
            return std::nullopt;
        }
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = length << 8 | static_cast<unsigned char>(der[pos + i]);
        }
        pos += count;
    }
    if (length > limit - pos) {
        return std::nullopt;
    }
    element.content = pos;
    element.end = pos + length;
    return element;
}

std::string bytesOf(const std::string& der, const Element& element) {
    return der.substr(element.start, element.end - element.start);
}

}  // namespace

std::optional<CertificateFields> readCertificateFields(const std::string& der) {
    auto certificate = readElement(der, 0, der.size());
    if (!certificate || certificate->tag != kSequence || certificate->end != der.size()) {
        return std::nullopt;
    }
    auto tbs = readElement(der, certificate->content, certificate->end);
    if (!tbs || tbs->tag != kSequence) {
        return std::nullopt;
    }
    auto next = readElement(der, tbs->content, tbs->end);
    if (next && next->tag == kVersionTag) {
        next = readElement(der, next->end, tbs->end);
    }
    if (!next || next->tag != kInteger) {
        return std::nullopt;
    }
    CertificateFields fields;
    fields.serial = bytesOf(der, *next);
    auto algorithm = readElement(der, next->end, tbs->end);
    if (!algorithm || algorithm->tag != kSequence) {
        return std::nullopt;
    }
    auto issuer = readElement(der, algorithm->end, tbs->end);
    if (!issuer || issuer->tag != kSequence) {
        return std::nullopt;
    }
    auto validity = readElement(der, issuer->end, tbs->end);
    if (!validity || validity->tag != kSequence) {
        return std::nullopt;
    }
    auto subject = readElement(der, validity->end, tbs->end);
    if (!subject || subject->tag != kSequence) {
        return std::nullopt;
    }
    fields.issuer = bytesOf(der, *issuer);
    fields.subject = bytesOf(der, *subject);
    return fields;
}

}  // namespace kxsim
