#include "TestCertificate.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace testcert {

namespace {

// One key signs every test certificate; its kind does not matter to the reader.
EVP_PKEY* signingKey() {
    static EVP_PKEY* key = EVP_EC_gen("P-256");
    return key;
}

template <typename Entries>
void addEntries(X509_NAME* name, const Entries& entries) {
    for (const auto& entry : entries) {
        const auto* value = reinterpret_cast<const unsigned char*>(entry.value.data());
        int type = entry.bmp ? V_ASN1_BMPSTRING : MBSTRING_UTF8;
        if (X509_NAME_add_entry_by_txt(name, entry.type.c_str(), type, value,
                                       static_cast<int>(entry.value.size()), -1, 0) != 1) {
            throw std::runtime_error("cannot add name entry " + entry.type);
        }
    }
}

}  // namespace

CertificateBuilder& CertificateBuilder::subject(const std::string& type, const std::string& value,
                                                bool bmp) {
    subject_.push_back({type, value, bmp});
    return *this;
}

CertificateBuilder& CertificateBuilder::issuer(const std::string& type, const std::string& value) {
    issuer_.push_back({type, value, false});
    return *this;
}

CertificateBuilder& CertificateBuilder::extension(const std::string& name,
                                                  const std::string& value) {
    extensions_.emplace_back(name, value);
    return *this;
}

std::vector<unsigned char> CertificateBuilder::der() const {
    std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), &X509_free);
    X509* x = certificate.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
    X509_set_pubkey(x, signingKey());
    addEntries(X509_get_subject_name(x), subject_);
    addEntries(X509_get_issuer_name(x), issuer_);
    for (const auto& [name, value] : extensions_) {
        X509_EXTENSION* extension = X509V3_EXT_conf(nullptr, nullptr, name.c_str(), value.c_str());
        if (extension == nullptr || X509_add_ext(x, extension, -1) != 1) {
            throw std::runtime_error("cannot add extension " + name + " = " + value);
        }
        X509_EXTENSION_free(extension);
    }
    if (X509_sign(x, signingKey(), EVP_sha256()) == 0) {
        throw std::runtime_error("cannot sign a test certificate");
    }
    unsigned char* encoded = nullptr;
    int length = i2d_X509(x, &encoded);
    std::vector<unsigned char> result(encoded, encoded + length);
    OPENSSL_free(encoded);
    return result;
}

std::string CertificateBuilder::pemOf(const std::vector<unsigned char>& der) {
    const unsigned char* cursor = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        d2i_X509(nullptr, &cursor, static_cast<long>(der.size())), &X509_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_X509(bio.get(), certificate.get());
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

std::vector<unsigned char> bytes(const std::string& text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

std::string fields(const Certificate& c) {
    return c.subject() + "|" + c.subjectOrganization() + "|" + c.subjectDomainComponent() + "|" +
           c.issuer() + "|" + c.issuerOrganization() + "|" + c.issuerDomainComponent() + "|" +
           c.altName() + "|" + c.fingerprint() + "|" + (c.isCaCert() ? "CA" : "");
}

}  // namespace testcert
