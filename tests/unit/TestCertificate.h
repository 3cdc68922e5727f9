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
                                bool bmp = false);
    CertificateBuilder& issuer(const std::string& type, const std::string& value);
    // An extension in OpenSSL's configuration syntax, e.g. ("subjectAltName", "URI:urn:x").
    CertificateBuilder& extension(const std::string& name, const std::string& value);

    // Each call signs anew (ECDSA signatures are randomised): take der() once and convert it
    // with pemOf() when two encodings must hold the same certificate.
    std::vector<unsigned char> der() const;
    std::string pem() const { return pemOf(der()); }
    static std::string pemOf(const std::vector<unsigned char>& der);

private:
    struct Entry {
        std::string type, value;
        bool bmp;
    };
    std::vector<Entry> subject_, issuer_;
    std::vector<std::pair<std::string, std::string>> extensions_;
};

std::vector<unsigned char> bytes(const std::string& text);

// Every field of a certificate in one line, so a comparison shows them all.
std::string fields(const Certificate& certificate);

}  // namespace testcert
