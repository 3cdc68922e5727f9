#include "token/Certificate.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/conf.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/Common.h"
#include "log/KxLogger.h"
#include "base/UntrustedFile.h"

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct OpenSslFree {
    void operator()(void* memory) const { OPENSSL_free(memory); }
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

// DC entries run from the top-level domain down: DC=com, DC=example is example.com. Joined once
// at the end: prepending each entry to the domain so far took time quadratic in their count.
// Empty entries before the first non-empty one leave no trace, as each entry replaced an empty
// domain whole.
std::string joinedDomain(const std::vector<std::string>& parts) {
    auto first = std::find_if(parts.begin(), parts.end(),
                              [](const std::string& part) { return !part.empty(); });
    std::string domain;
    for (auto part = parts.end(); part != first;) {
        --part;
        domain += *part;
        if (part != first) {
            domain += '.';
        }
    }
    return domain;
}

NameFields readName(const X509_NAME* name) {
    NameFields fields;
    if (name == nullptr) {
        return fields;
    }
    std::vector<std::string> domainParts;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        char type[512];
        int length = OBJ_obj2txt(type, sizeof(type), X509_NAME_ENTRY_get_object(entry), 0);
        if (length < 0 || length >= static_cast<int>(sizeof(type))) {
            continue;  // a type name that does not fit is none of ours
        }
        // The value is taken as a C string: a BMPString ends at its first zero byte.
        const unsigned char* data = ASN1_STRING_get0_data(X509_NAME_ENTRY_get_data(entry));
        const char* value = data != nullptr ? reinterpret_cast<const char*>(data) : "";
        if (std::strcmp(type, "commonName") == 0) {
            fields.commonName = value;
        } else if (std::strcmp(type, "organizationName") == 0) {
            fields.organization = value;
        } else if (std::strcmp(type, "domainComponent") == 0) {
            domainParts.emplace_back(value);
        }
    }
    fields.domain = joinedDomain(domainParts);
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

// Hashed as stored, not as OpenSSL would encode it again: a user's certificate, compared by its
// fingerprint alone, is never decoded, and both sides must give the same digest for the same
// bytes even where a certificate is not strict DER.
std::string sha1Fingerprint(const unsigned char* data, size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const EVP_MD* sha1 = EVP_get_digestbyname("sha1");
    if (sha1 == nullptr || EVP_Digest(data, size, digest, &length, sha1, nullptr) != 1) {
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

// One DER element: its tag and class, whether it is constructed, and its content.
struct Element {
    int tag = 0;
    int type = 0;  // the class: V_ASN1_UNIVERSAL, V_ASN1_CONTEXT_SPECIFIC, ...
    bool constructed = false;
    const unsigned char* content = nullptr;
    const unsigned char* end = nullptr;
};

// Reads the element at `at`, which must end by `end`, and moves `at` past it; false when there
// is no well-formed element of definite length.
bool nextElement(const unsigned char*& at, const unsigned char* end, Element& element) {
    const unsigned char* content = at;
    long length = 0;
    const int flags = ASN1_get_object(&content, &length, &element.tag, &element.type, end - at);
    if ((flags & 0x80) != 0 || (flags & 0x01) != 0) {
        ERR_clear_error();
        return false;
    }
    element.constructed = (flags & V_ASN1_CONSTRUCTED) != 0;
    element.content = content;
    element.end = content + length;
    at = element.end;
    return true;
}

bool isUniversal(const Element& element, int tag) {
    return element.type == V_ASN1_UNIVERSAL && element.tag == tag;
}

bool isSequence(const Element& element) {
    return isUniversal(element, V_ASN1_SEQUENCE) && element.constructed;
}

// The to-be-signed part of a certificate: an optional version [0], the serial number, the
// signature algorithm, issuer, validity, subject and public key, then optional [1] to [3].
bool tbsShaped(const Element& tbs) {
    const unsigned char* at = tbs.content;
    Element field;
    if (!nextElement(at, tbs.end, field)) {
        return false;
    }
    if (field.type == V_ASN1_CONTEXT_SPECIFIC && field.tag == 0 &&
        !nextElement(at, tbs.end, field)) {
        return false;
    }
    if (!isUniversal(field, V_ASN1_INTEGER)) {
        return false;
    }
    for (int sequences = 0; sequences < 5; ++sequences) {
        if (!nextElement(at, tbs.end, field) || !isSequence(field)) {
            return false;
        }
    }
    for (int last = 0; at != tbs.end; last = field.tag) {
        if (!nextElement(at, tbs.end, field) || field.type != V_ASN1_CONTEXT_SPECIFIC ||
            field.tag <= last || field.tag > 3) {
            return false;
        }
    }
    return true;
}

// Whether the DER begins with an element shaped as an X.509 certificate (RFC 5280: the
// to-be-signed part, the signature algorithm and the signature, each with the fields it must
// have), and how many bytes that element takes.
bool certificateShaped(const unsigned char* der, size_t size, size_t& length) {
    const unsigned char* at = der;
    Element certificate;
    Element tbs;
    Element algorithm;
    Element signature;
    if (!nextElement(at, der + size, certificate) || !isSequence(certificate)) {
        return false;
    }
    length = static_cast<size_t>(at - der);
    const unsigned char* part = certificate.content;
    return nextElement(part, certificate.end, tbs) && isSequence(tbs) && tbsShaped(tbs) &&
           nextElement(part, certificate.end, algorithm) && isSequence(algorithm) &&
           nextElement(part, certificate.end, signature) &&
           isUniversal(signature, V_ASN1_BIT_STRING) && part == certificate.end;
}

bool withinBound(size_t size, size_t limit) {
    if (size <= limit) {
        return true;
    }
    KxLogger::log(LOG_WARNING, "Сертификат больше %zu байт не разбирается", limit);
    return false;
}

// The DER of the first certificate block of PEM text (other blocks before it are skipped);
// false, and logged, when there is none or it is too large.
bool pemCertificate(const void* text, size_t size, std::vector<unsigned char>& der) {
    if (!withinBound(size, Certificate::kMaxPemSize)) {
        return false;
    }
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text, static_cast<int>(size)));
    if (!bio) {
        KxLogger::log(LOG_ERR, "Не удалось создать BIO");
        return false;
    }
    for (;;) {
        char* name = nullptr;
        char* header = nullptr;
        unsigned char* data = nullptr;
        long length = 0;
        if (PEM_read_bio(bio.get(), &name, &header, &data, &length) != 1) {
            ERR_clear_error();
            KxLogger::log(LOG_ERR, "Не удалось создать X509");
            return false;
        }
        std::unique_ptr<char, OpenSslFree> ownName(name), ownHeader(header);
        std::unique_ptr<unsigned char, OpenSslFree> ownData(data);
        if (std::strcmp(name, PEM_STRING_X509) != 0 &&
            std::strcmp(name, PEM_STRING_X509_OLD) != 0) {
            continue;
        }
        // An encrypted block would need a password: it holds no certificate to read.
        EVP_CIPHER_INFO cipher;
        if (PEM_get_EVP_CIPHER_INFO(header, &cipher) != 1 || cipher.cipher != nullptr) {
            ERR_clear_error();
            KxLogger::log(LOG_ERR, "Не удалось создать X509");
            return false;
        }
        der.assign(data, data + length);
        return withinBound(der.size(), Certificate::kMaxSize);
    }
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
    std::vector<unsigned char> pemDer;
    if (format == Format::Pem && !pemCertificate(data.data(), data.size(), pemDer)) {
        return;
    }
    const std::vector<unsigned char>& der = format == Format::Pem ? pemDer : data;
    if (!withinBound(der.size(), kMaxSize)) {
        return;
    }
    const unsigned char* cursor = der.data();
    std::unique_ptr<X509, X509Free> certificate(
        d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!certificate) {
        ERR_clear_error();
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
    // The bytes the certificate was read from; anything after it does not count.
    fingerprint_ = sha1Fingerprint(der.data(), static_cast<size_t>(cursor - der.data()));
}

void Certificate::setData(const std::string& path, Format format) {
    // Certificate files live in users' homes: whatever a user put there (a FIFO, a directory, a
    // link to a device, a huge file) must neither stall nor stop the daemon.
    std::string content;
    // One byte over the bound, so that a larger file is seen as such.
    const size_t limit = (format == Format::Pem ? kMaxPemSize : kMaxSize) + 1;
    if (!UntrustedFile::read(path, content, limit)) {
        KxLogger::log(LOG_WARNING, "Не удалось открыть файл %s", Common::printable(path).c_str());
        return;
    }
    setData(std::vector<unsigned char>(content.begin(), content.end()), format);
}

std::string Certificate::pemFingerprint(const std::string& text) {
    std::vector<unsigned char> der;
    if (text.empty() || !pemCertificate(text.data(), text.size(), der)) {
        return {};
    }
    // Shaped as a certificate, read only as far as its fields' headers: the bytes a full decode
    // would take as the certificate. A full decode costs up to milliseconds for what a user can
    // put in ~/.eid, on a removal's path.
    size_t length = 0;
    if (!certificateShaped(der.data(), der.size(), length)) {
        KxLogger::log(LOG_ERR, "Не удалось создать X509");
        return {};
    }
    return sha1Fingerprint(der.data(), length);
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
