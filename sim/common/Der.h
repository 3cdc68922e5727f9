#pragma once

// Just enough DER reading to give certificate objects the attributes that standard PKCS#11
// clients expect beside the value: the encoded subject, issuer and serial number.

#include <optional>
#include <string>

namespace kxsim {

struct CertificateFields {
    std::string subject;  // DER Name
    std::string issuer;   // DER Name
    std::string serial;   // DER INTEGER, tag and length included
};

// Nothing when the bytes are not an X.509 certificate in DER.
std::optional<CertificateFields> readCertificateFields(const std::string& der);

}  // namespace kxsim
