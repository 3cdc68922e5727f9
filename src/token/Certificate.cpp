#include "token/Certificate.h"

#include <openssl/bio.h>
#include <openssl/conf.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <syslog.h>

#include <cstdio>
#include <memory>

#include "log/Common.h"
#include "log/KxLogger.h"
#include "log/UntrustedFile.h"

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct GeneralNamesFree {
    void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};

// The three fields one X.509 name contributes.
struct NameFields {
    std::string commonName;
    std::string organization;
    std::string domain;
};

NameFields readName(const X509_NAME* name) {
    NameFields fields;
    if (name == nullptr) {
        return fields;
    }
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        char type[512];
        int length = OBJ_obj2txt(type, sizeof(type), X509_NAME_ENTRY_get_object(entry), 0);
        if (length < 0 || length >= static_cast<int>(sizeof(type))) {
            continue;  // a type name that does not fit is none of ours
        }
        // The value is taken as a C string: a BMPString ends at its first zero byte.
        const unsigned char* data = ASN1_STRING_get0_data(X509_NAME_ENTRY_get_data(entry));
        std::string value = data != nullptr ? reinterpret_cast<const char*>(data) : "";
        const std::string typeName = type;
        if (typeName == "commonName") {
            fields.commonName = value;
        } else if (typeName == "organizationName") {
            fields.organization = value;
        } else if (typeName == "domainComponent") {
            // DC entries run from the top-level domain down: DC=com, DC=example is example.com.
            fields.domain = fields.domain.empty() ? value : value + "." + fields.domain;
        }
    }
    return fields;
}

std::string stringBytes(const ASN1_STRING* text) {
    const unsigned char* data = ASN1_STRING_get0_data(text);
    int length = ASN1_STRING_length(text);
    if (data == nullptr || length <= 0) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
}

// The last URI or UTF8String otherName of the subjectAltName extension.
std::string readAltName(const X509* certificate) {
    std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    std::string altName;
    if (!names) {
        return altName;
    }
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        std::string value;
        if (name->type == GEN_URI) {
            value = stringBytes(name->d.uniformResourceIdentifier);
        } else if (name->type == GEN_OTHERNAME && name->d.otherName->value != nullptr &&
                   name->d.otherName->value->type == V_ASN1_UTF8STRING) {
            value = stringBytes(name->d.otherName->value->value.utf8string);
        }
        if (!value.empty()) {
            altName = value;
        }
    }
    return altName;
}

std::string sha1Fingerprint(const X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const EVP_MD* sha1 = EVP_get_digestbyname("sha1");
    if (sha1 == nullptr || X509_digest(certificate, sha1, digest, &length) != 1) {
        return {};
    }
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof(pair), "%02X", digest[i]);
        hex += pair;
    }
    return hex;
}

}  // namespace

Certificate::Certificate(std::string subject, std::string subjectOrganization,
                         std::string subjectDomainComponent, std::string issuer,
                         std::string issuerOrganization, std::string issuerDomainComponent,
                         std::string altName, std::string fingerprint, bool isCaCert)
    : subject_(std::move(subject)),
      subjectOrganization_(std::move(subjectOrganization)),
      subjectDomainComponent_(std::move(subjectDomainComponent)),
      issuer_(std::move(issuer)),
      issuerOrganization_(std::move(issuerOrganization)),
      issuerDomainComponent_(std::move(issuerDomainComponent)),
      altName_(std::move(altName)),
      fingerprint_(std::move(fingerprint)),
      isCaCert_(isCaCert) {}

Certificate::Certificate(const std::vector<unsigned char>& data, Format format) {
    setData(data, format);
}

Certificate::Certificate(const std::string& path, Format format) {
    setData(path, format);
}

void Certificate::setData(const std::vector<unsigned char>& data, Format format) {
    clear();
    if (data.empty()) {
        return;
    }
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio) {
        KxLogger::log(LOG_ERR, "Не удалось создать BIO");
        return;
    }
    BIO_write(bio.get(), data.data(), static_cast<int>(data.size()));
    std::unique_ptr<X509, X509Free> certificate(
        format == Format::Der ? d2i_X509_bio(bio.get(), nullptr)
                              : PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) {
        KxLogger::log(LOG_ERR, "Не удалось создать X509");
        return;
    }
    isCaCert_ = X509_check_ca(certificate.get()) != 0;

    NameFields subject = readName(X509_get_subject_name(certificate.get()));
    subject_ = subject.commonName;
    subjectOrganization_ = subject.organization;
    subjectDomainComponent_ = subject.domain;

    NameFields issuer = readName(X509_get_issuer_name(certificate.get()));
    issuer_ = issuer.commonName;
    issuerOrganization_ = issuer.organization;
    issuerDomainComponent_ = issuer.domain;

    altName_ = readAltName(certificate.get());
    fingerprint_ = sha1Fingerprint(certificate.get());
}

void Certificate::setData(const std::string& path, Format format) {
    // Certificate files live in users' homes: whatever a user put there (a FIFO, a directory, a
    // link to a device, a huge file) must neither stall nor stop the daemon.
    std::string content;
    if (!UntrustedFile::read(path, content)) {
        KxLogger::log(LOG_WARNING, "Не удалось открыть файл %s", Common::printable(path).c_str());
        return;
    }
    setData(std::vector<unsigned char>(content.begin(), content.end()), format);
}

void Certificate::clear() {
    *this = Certificate();
}

void Certificate::initialize() {
    // Crypto error strings include the BIO ones since OpenSSL 3, so no separate BIO call.
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
}

void Certificate::finalize() {
    // OpenSSL 3 replaced the FIPS mode switch with the default "fips=yes" property.
    EVP_default_properties_enable_fips(nullptr, 0);
    CONF_modules_unload(1);
}
