// Certificate parsing on any bytes, as DER (a token's CKA_VALUE) and as PEM (a user's file): no
// crash, no leak; a certificate not read has no field at all, one read has a 40-digit upper-case
// fingerprint and names without NUL; the same DER wrapped into PEM reads to the same fields and
// the same fingerprint as a user's certificate file.

#include <vector>

#include "Fuzz.h"
#include "TestCertificate.h"

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Certificate::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<unsigned char> bytes(data, data + size);
    const Certificate der(bytes, Certificate::Format::Der);
    checkFields(der);
    const std::string pem = testcert::CertificateBuilder::pemOf(bytes);
    REQUIRE(fields(Certificate(testcert::bytes(pem), Certificate::Format::Pem)) == fields(der));
    // A user's certificate, compared without decoding it, has the same fingerprint.
    REQUIRE(der.fingerprint().empty() || Certificate::pemFingerprint(pem) == der.fingerprint());
    checkFields(Certificate(bytes, Certificate::Format::Pem));
    return 0;
}
