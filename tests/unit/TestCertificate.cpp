#include "TestCertificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace testcert {

namespace {

// One key signs every test certificate; its kind does not matter to the reader.
EVP_PKEY* signingKey() {
    static EVP_PKEY* key = EVP_EC_gen("P-256");
    if (key == nullptr) {
        throw std::runtime_error("cannot generate a test key");
    }
    return key;
}

void addEntries(X509_NAME* name, const std::vector<NameEntry>& entries) {
    for (const NameEntry& entry : entries) {
        const std::string& value = entry.value;
        int type = entry.bmp ? V_ASN1_BMPSTRING : MBSTRING_UTF8;
        if (X509_NAME_add_entry_by_txt(name, entry.type.c_str(), type,
                                       reinterpret_cast<const unsigned char*>(value.data()),
                                       static_cast<int>(value.size()), -1, 0) != 1) {
            throw std::runtime_error("cannot add name entry " + entry.type);
        }
    }
}

ASN1_STRING* asn1String(int type, const std::string& value) {
    ASN1_STRING* text = ASN1_STRING_type_new(type);
    ASN1_STRING_set(text, value.data(), static_cast<int>(value.size()));
    return text;
}

}  // namespace

CertificateBuilder& CertificateBuilder::subject(const std::string& type, const std::string& value) {
    subject_.push_back({type, value, false});
    return *this;
}

CertificateBuilder& CertificateBuilder::issuer(const std::string& type, const std::string& value) {
    issuer_.push_back({type, value, false});
    return *this;
}

CertificateBuilder& CertificateBuilder::subjectBmp(const std::string& type,
                                                   const std::string& utf16be) {
    subject_.push_back({type, utf16be, true});
    return *this;
}

CertificateBuilder& CertificateBuilder::uri(const std::string& value) {
    altNames_.push_back({AltName::Uri, "", value});
    return *this;
}

CertificateBuilder& CertificateBuilder::email(const std::string& value) {
    altNames_.push_back({AltName::Email, "", value});
    return *this;
}

CertificateBuilder& CertificateBuilder::otherNameUtf8(const std::string& oid,
                                                      const std::string& value) {
    altNames_.push_back({AltName::OtherUtf8, oid, value});
    return *this;
}

CertificateBuilder& CertificateBuilder::otherNameOctets(const std::string& oid,
                                                        const std::string& value) {
    altNames_.push_back({AltName::OtherOctets, oid, value});
    return *this;
}

CertificateBuilder& CertificateBuilder::ca(bool isCa) {
    ca_ = isCa ? 1 : 0;
    return *this;
}

CertificateBuilder& CertificateBuilder::serial(long number) {
    serial_ = number;
    return *this;
}

std::vector<unsigned char> CertificateBuilder::der() const {
    std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), &X509_free);
    X509* x = certificate.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial_);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
    X509_set_pubkey(x, signingKey());

    addEntries(X509_get_subject_name(x), subject_);
    addEntries(X509_get_issuer_name(x), issuer_);

    if (!altNames_.empty()) {
        GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
        for (const AltName& alt : altNames_) {
            GENERAL_NAME* name = GENERAL_NAME_new();
            if (alt.kind == AltName::Uri || alt.kind == AltName::Email) {
                GENERAL_NAME_set0_value(name, alt.kind == AltName::Uri ? GEN_URI : GEN_EMAIL,
                                        asn1String(V_ASN1_IA5STRING, alt.value));
            } else {
                ASN1_TYPE* value = ASN1_TYPE_new();
                int type = alt.kind == AltName::OtherUtf8 ? V_ASN1_UTF8STRING : V_ASN1_OCTET_STRING;
                ASN1_TYPE_set(value, type, asn1String(type, alt.value));
                GENERAL_NAME_set0_othername(name, OBJ_txt2obj(alt.oid.c_str(), 1), value);
            }
            sk_GENERAL_NAME_push(names, name);
        }
        X509_add1_ext_i2d(x, NID_subject_alt_name, names, 0, 0);
        GENERAL_NAMES_free(names);
    }
    if (ca_ >= 0) {
        X509_EXTENSION* constraints = X509V3_EXT_conf_nid(
            nullptr, nullptr, NID_basic_constraints, ca_ == 1 ? "critical,CA:TRUE" : "CA:FALSE");
        X509_add_ext(x, constraints, -1);
        X509_EXTENSION_free(constraints);
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

std::string CertificateBuilder::pem() const {
    return pemOf(der());
}

std::string pemOf(const std::vector<unsigned char>& encoded) {
    const unsigned char* cursor = encoded.data();
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        d2i_X509(nullptr, &cursor, static_cast<long>(encoded.size())), &X509_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_X509(bio.get(), certificate.get());
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

std::vector<unsigned char> bytes(const std::string& text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

std::string commandOutput(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[512];
    size_t count = 0;
    while ((count = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, count);
    }
    pclose(pipe);
    return output;
}

std::string outputDirectory(const std::string& name) {
    std::string path = std::string(KX_TEST_OUTPUT_DIR) + "/" + name;
    commandOutput("rm -rf '" + path + "' && mkdir -p '" + path + "'");
    return path;
}

}  // namespace testcert

void PrintTo(const Certificate& certificate, std::ostream* out) {
    *out << "{subject '" << certificate.subject() << "' issuer '" << certificate.issuer()
         << "' altName '" << certificate.altName() << "' fingerprint '" << certificate.fingerprint()
         << "' ca " << certificate.isCaCert() << "}";
}
