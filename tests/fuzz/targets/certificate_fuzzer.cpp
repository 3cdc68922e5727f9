// Certificate parsing on any bytes, as DER (a token's CKA_VALUE) and as PEM (a user's file): no
// crash, no leak; a certificate not read has no field at all, one read has a 40-digit upper-case
// fingerprint and names without NUL; the same DER wrapped into PEM reads to the same fields and
// the same fingerprint as a user's certificate file.

#include <openssl/pem.h>

#include <memory>
#include <vector>

#include "Fuzz.h"
#include "token/Certificate.h"

namespace {

std::vector<std::string> fields(const Certificate& c) {
    return {c.subject(), c.subjectOrganization(), c.subjectDomainComponent(),
            c.issuer(),  c.issuerOrganization(),  c.issuerDomainComponent(),
            c.altName(), c.fingerprint(),         c.isCaCert() ? "CA" : ""};
}

void checkFields(const Certificate& c) {
    const std::vector<std::string> all = fields(c);
    if (c.fingerprint().empty()) {
        REQUIRE(all == fields(Certificate()));
        return;
    }
    REQUIRE(c.fingerprint().size() == 40 &&
            c.fingerprint().find_first_not_of("0123456789ABCDEF") == std::string::npos);
    for (size_t name = 0; name < 6; ++name) {
        REQUIRE(all[name].find('\0') == std::string::npos);
    }
}

std::vector<unsigned char> pemOf(const std::vector<unsigned char>& der) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio(bio.get(), "CERTIFICATE", "", der.data(), static_cast<long>(der.size()));
    char* pem = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &pem);
    return {pem, pem + length};
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
    const std::vector<unsigned char> pem = pemOf(bytes);
    REQUIRE(fields(Certificate(pem, Certificate::Format::Pem)) == fields(der));
    // A user's certificate, compared without decoding it, has the same fingerprint.
    REQUIRE(der.fingerprint().empty() ||
            Certificate::pemFingerprint(std::string(pem.begin(), pem.end())) == der.fingerprint());
    checkFields(Certificate(bytes, Certificate::Format::Pem));
    return 0;
}
