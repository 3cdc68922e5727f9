// Certificate parsing on any bytes, as DER (a token's CKA_VALUE) and as PEM (a user's file):
// no crash, no leak; a certificate that was not read has no field at all, one that was read has
// a 40-digit upper-case fingerprint; name fields, taken as C strings, hold no NUL; and the same
// DER bytes wrapped into a PEM block read to the same fields.

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "token/Certificate.h"

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

std::vector<std::string> fields(const Certificate& c) {
    return {c.subject(), c.subjectOrganization(), c.subjectDomainComponent(),
            c.issuer(),  c.issuerOrganization(),  c.issuerDomainComponent(),
            c.altName(), c.fingerprint(),         c.isCaCert() ? "CA" : ""};
}

bool isUpperHex(const std::string& text) {
    return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

void checkFields(const Certificate& c) {
    if (c.fingerprint().empty()) {
        for (const std::string& field : fields(c)) {
            require(field.empty());
        }
        return;
    }
    require(c.fingerprint().size() == 40 && isUpperHex(c.fingerprint()));
    for (const std::string* name :
         {&c.subject(), &c.subjectOrganization(), &c.subjectDomainComponent(), &c.issuer(),
          &c.issuerOrganization(), &c.issuerDomainComponent()}) {
        require(name->find('\0') == std::string::npos);
    }
}

std::string pemOf(const std::vector<unsigned char>& der) {
    std::string base64(4 * ((der.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), der.data(),
                                 static_cast<int>(der.size()));
    std::string pem = "-----BEGIN CERTIFICATE-----\n";
    for (int at = 0; at < length; at += 64) {
        pem += base64.substr(at, 64) + "\n";
    }
    return pem + "-----END CERTIFICATE-----\n";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Certificate::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<unsigned char> bytes(data, data + size);

    const Certificate der(bytes, Certificate::Format::Der);
    checkFields(der);
    const std::string wrapped = pemOf(bytes);
    const Certificate pem(std::vector<unsigned char>(wrapped.begin(), wrapped.end()),
                          Certificate::Format::Pem);
    require(fields(pem) == fields(der));

    const Certificate text(bytes, Certificate::Format::Pem);
    checkFields(text);
    return 0;
}
