#include "TestCertificate.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace testcert {

std::vector<unsigned char> CertificateBuilder::der() const {
    // One key signs every test certificate; its kind does not matter to the reader.
    static EVP_PKEY* const key = EVP_EC_gen("P-256");
    std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), &X509_free);
    X509* x = certificate.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
    X509_set_pubkey(x, key);
    for (const Name& name : names_) {
        const auto* value = reinterpret_cast<const unsigned char*>(name.value.data());
        if (X509_NAME_add_entry_by_txt(
                name.issuer ? X509_get_issuer_name(x) : X509_get_subject_name(x), name.type.c_str(),
                name.bmp ? V_ASN1_BMPSTRING : MBSTRING_UTF8, value,
                static_cast<int>(name.value.size()), -1, 0) != 1) {
            throw std::runtime_error("cannot add name entry " + name.type);
        }
    }
    for (const auto& [name, value] : extensions_) {
        X509_EXTENSION* extension = X509V3_EXT_conf(nullptr, nullptr, name.c_str(), value.c_str());
        if (extension == nullptr || X509_add_ext(x, extension, -1) != 1) {
            throw std::runtime_error("cannot add extension " + name + " = " + value);
        }
        X509_EXTENSION_free(extension);
    }
    if (X509_sign(x, key, EVP_sha256()) == 0) {
        throw std::runtime_error("cannot sign a test certificate");
    }
    unsigned char* encoded = nullptr;
    int length = i2d_X509(x, &encoded);
    std::vector<unsigned char> result(encoded, encoded + length);
    OPENSSL_free(encoded);
    return result;
}

std::string CertificateBuilder::pemOf(const std::vector<unsigned char>& der) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio(bio.get(), "CERTIFICATE", "", der.data(), static_cast<long>(der.size()));
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

}  // namespace testcert
