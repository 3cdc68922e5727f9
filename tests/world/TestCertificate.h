#pragma once

// Builds X.509 certificates in the tests themselves, so every case can be regenerated and read.

#include <string>
#include <utility>
#include <vector>

#include "token/Certificate.h"

namespace testcert {

class CertificateBuilder {
public:
    // Name entries are added in the order given; a BMP entry holds these raw UTF-16BE bytes.
    CertificateBuilder& subject(const std::string& type, const std::string& value,
                                bool bmp = false) {
        names_.push_back({false, type, value, bmp});
        return *this;
    }
    CertificateBuilder& issuer(const std::string& type, const std::string& value) {
        names_.push_back({true, type, value, false});
        return *this;
    }
    // An extension in OpenSSL's configuration syntax, e.g. ("subjectAltName", "URI:urn:x").
    CertificateBuilder& extension(const std::string& name, const std::string& value) {
        extensions_.emplace_back(name, value);
        return *this;
    }

    // Each call signs anew (ECDSA signatures are randomised): take der() once and convert it
    // with pemOf() when two encodings must hold the same certificate.
    std::vector<unsigned char> der() const;
    std::string pem() const { return pemOf(der()); }
    static std::string pemOf(const std::vector<unsigned char>& der);

private:
    struct Name {
        bool issuer;
        std::string type, value;
        bool bmp;
    };
    std::vector<Name> names_;
    std::vector<std::pair<std::string, std::string>> extensions_;
};

inline std::vector<unsigned char> bytes(const std::string& text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

// Every field of a certificate in one line, so a comparison shows them all.
inline std::string fields(const Certificate& c) {
    return c.subject() + "|" + c.subjectOrganization() + "|" + c.subjectDomainComponent() + "|" +
           c.issuer() + "|" + c.issuerOrganization() + "|" + c.issuerDomainComponent() + "|" +
           c.altName() + "|" + c.fingerprint() + "|" + (c.isCaCert() ? "CA" : "");
}

}  // namespace testcert
