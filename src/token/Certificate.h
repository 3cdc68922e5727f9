#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One X.509 certificate reduced to the text fields the daemon compares. A certificate that
// cannot be read keeps empty fields and a false CA flag; the reason is only logged.
class Certificate {
public:
    enum class Format { Pem = 0, Der = 1 };

    // A certificate larger than this is not decoded. A token's or a user's certificate is a few
    // KiB (an RSA-4096 one with a long alternative-name list stays below 8 KiB), while OpenSSL
    // spends about 0.2 ms per KiB of a certificate made of small name entries, which a token or
    // a user can hand the daemon: 16 KiB keeps room for every real one and bounds a decode to
    // about 3 ms.
    static constexpr size_t kMaxSize = 16 * 1024;
    // PEM text beyond this is not looked at: the base64 form of the largest certificate is a
    // third larger, and the rest leaves room for a few more certificates or notes around it.
    static constexpr size_t kMaxPemSize = 4 * kMaxSize;

    Certificate() = default;
    // Takes ready field values, for example decoded from D-Bus; nothing is parsed.
    Certificate(std::string subject, std::string subjectOrganization,
                std::string subjectDomainComponent, std::string issuer,
                std::string issuerOrganization, std::string issuerDomainComponent,
                std::string altName, std::string fingerprint, bool isCaCert);
    Certificate(const std::vector<unsigned char>& data, Format format);
    Certificate(const std::string& path, Format format);

    void setData(const std::vector<unsigned char>& data, Format format);
    // A file that cannot be opened leaves the fields as they are.
    void setData(const std::string& path, Format format);
    void clear();

    const std::string& subject() const { return subject_; }
    const std::string& subjectOrganization() const { return subjectOrganization_; }
    const std::string& subjectDomainComponent() const { return subjectDomainComponent_; }
    const std::string& issuer() const { return issuer_; }
    const std::string& issuerOrganization() const { return issuerOrganization_; }
    const std::string& issuerDomainComponent() const { return issuerDomainComponent_; }
    const std::string& altName() const { return altName_; }
    // SHA-1 of the certificate's encoding as stored, 40 upper-case hexadecimal digits.
    const std::string& fingerprint() const { return fingerprint_; }
    bool isCaCert() const { return isCaCert_; }

    // The fingerprint of the first certificate of PEM text, from its encoding alone: what a
    // user's certificate is compared by, without decoding its fields. Empty, with the error
    // that a certificate could not be read, when there is none or the block's content is not
    // shaped as a certificate.
    static std::string pemFingerprint(const std::string& text);

    // Two certificates are the same certificate when their fingerprints are equal.
    bool operator==(const Certificate& other) const { return fingerprint_ == other.fingerprint_; }
    bool operator!=(const Certificate& other) const { return !(*this == other); }

    // Crypto library start-up and shut-down; once per process, before and after all threads.
    static void initialize();
    static void finalize();

private:
    std::string subject_;
    std::string subjectOrganization_;
    std::string subjectDomainComponent_;
    std::string issuer_;
    std::string issuerOrganization_;
    std::string issuerDomainComponent_;
    std::string altName_;
    std::string fingerprint_;
    bool isCaCert_ = false;
};
