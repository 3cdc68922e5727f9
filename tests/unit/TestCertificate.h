#pragma once

// Builds X.509 certificates in the tests themselves, so every case can be regenerated and
// read: subject and issuer names entry by entry, alternative names, the CA flag.

#include <ostream>
#include <string>
#include <vector>

#include "token/Certificate.h"

namespace testcert {

struct NameEntry {
    std::string type;
    std::string value;
    bool bmp = false;
};

class CertificateBuilder {
public:
    // Name entries are added in the order given; the value is UTF-8 unless raw BMP is asked for.
    CertificateBuilder& subject(const std::string& type, const std::string& value);
    CertificateBuilder& issuer(const std::string& type, const std::string& value);
    // A BMPString entry holding these raw UTF-16BE bytes.
    CertificateBuilder& subjectBmp(const std::string& type, const std::string& utf16be);
    CertificateBuilder& uri(const std::string& value);
    CertificateBuilder& email(const std::string& value);
    CertificateBuilder& otherNameUtf8(const std::string& oid, const std::string& value);
    CertificateBuilder& otherNameOctets(const std::string& oid, const std::string& value);
    // Adds basicConstraints with this CA value.
    CertificateBuilder& ca(bool isCa);
    CertificateBuilder& serial(long number);

    // Each call signs anew (ECDSA signatures are randomised): take der() once and convert it
    // with pemOf() when two encodings must hold the same certificate.
    std::vector<unsigned char> der() const;
    std::string pem() const;

private:
    struct AltName {
        enum Kind { Uri, Email, OtherUtf8, OtherOctets } kind;
        std::string oid;
        std::string value;
    };
    std::vector<NameEntry> subject_;
    std::vector<NameEntry> issuer_;
    std::vector<AltName> altNames_;
    int ca_ = -1;  // -1: no basicConstraints
    long serial_ = 1;
};

std::string pemOf(const std::vector<unsigned char>& der);

std::vector<unsigned char> bytes(const std::string& text);

// Runs a shell command and returns its standard output.
std::string commandOutput(const std::string& command);

// A fresh directory under the build tree for files the tests write.
std::string outputDirectory(const std::string& name);

}  // namespace testcert

// Readable failure output for certificate comparisons.
void PrintTo(const Certificate& certificate, std::ostream* out);
