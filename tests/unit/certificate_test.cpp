#include <gtest/gtest.h>

#include "TestCertificate.h"
#include "TestFiles.h"
#include "token/Certificate.h"

using testcert::bytes;
using testcert::CertificateBuilder;
using testcert::fields;
using Format = Certificate::Format;

namespace {

Certificate parseDer(const CertificateBuilder& builder) {
    return Certificate(builder.der(), Format::Der);
}

const std::string kEmpty = "||||||||";

}  // namespace

TEST(CertificateTest, NamesTakeTheLastEntryAndDomainsReadReversed) {
    Certificate certificate = parseDer(CertificateBuilder()
                                           .subject("CN", "first")
                                           .subject("O", "First Org")
                                           .subject("DC", "org")
                                           .subject("DC", "corp")
                                           .subject("CN", "Иван Петров")
                                           .subject("O", "Corp Ltd")
                                           .issuer("DC", "ru")
                                           .issuer("DC", "issuer")
                                           .issuer("CN", "Issuing CA")
                                           .issuer("O", "Issuer Org"));
    EXPECT_EQ(fields(certificate),
              "Иван Петров|Corp Ltd|corp.org|Issuing CA|Issuer Org|issuer.ru||" +
                  certificate.fingerprint() + "|");
    // A BMP value is kept as raw UTF-16BE bytes up to its first zero byte.
    EXPECT_EQ(parseDer(CertificateBuilder().subject("O", std::string("\x04\x16\0A", 4), true))
                  .subjectOrganization(),
              "\x04\x16");
}

TEST(CertificateTest, AltNameTakesTheLastUriOrUtf8OtherName) {
    auto alt = [](const char* names) {
        return parseDer(CertificateBuilder().extension("subjectAltName", names)).altName();
    };
    // The otherName's type is not examined: any UTF8String counts, and a later URI wins.
    EXPECT_EQ(alt("otherName:1.2.3.4;UTF8:user@realm, URI:https://example.com/user"),
              "https://example.com/user");
    EXPECT_EQ(alt("URI:https://x.com/u, otherName:1.2.3.4;UTF8:ivan@CORP.ORG, email:i@corp.org"),
              "ivan@CORP.ORG");
    EXPECT_EQ(alt("email:ivan@corp.org, otherName:1.2.3.4;OCTETSTRING:octets"), "");
}

// The fingerprint and the CA flag as clients see them: test_dbus_service.py.
TEST(CertificateTest, FirstPemBlockCountsAndUnreadableInputLeavesEmptyFields) {
    std::vector<unsigned char> der = CertificateBuilder().subject("CN", "cut").der();
    std::string pem = CertificateBuilder::pemOf(der);
    testfiles::fs::path directory = testfiles::scratch("files");
    const std::string text =
        "leading text\n" + pem + CertificateBuilder().subject("CN", "second").pem();
    testfiles::writeFile(directory / "cut.pem", text);
    Certificate certificate(directory / "cut.pem", Format::Pem);
    ASSERT_EQ(fields(certificate), fields(Certificate(der, Format::Der)));
    // A user's certificate is compared by the digest of its first block's bytes alone.
    EXPECT_EQ(Certificate::pemFingerprint(text), certificate.fingerprint());
    EXPECT_EQ(Certificate::pemFingerprint(pem.substr(0, pem.size() / 2)), "");
    // A certificate block whose content is one sequence, but no certificate: an integer, or the
    // three parts without the fields of the signed one.
    for (const std::vector<unsigned char>& sequence :
         {std::vector<unsigned char>{0x30, 0x03, 0x02, 0x01, 0x01},
          std::vector<unsigned char>{0x30, 0x07, 0x30, 0x00, 0x30, 0x00, 0x03, 0x01, 0x00}}) {
        EXPECT_EQ(Certificate::pemFingerprint(CertificateBuilder::pemOf(sequence)), "");
    }
    EXPECT_EQ(fields(Certificate(der, Format::Pem)), kEmpty) << "the wrong format reads nothing";
    // A missing file leaves whatever the certificate held; unreadable bytes clear it.
    certificate.setData(directory / "missing.pem", Format::Pem);
    EXPECT_EQ(certificate.subject(), "cut");
    certificate.setData(std::vector<unsigned char>(der.begin(), der.begin() + der.size() / 2),
                        Format::Der);
    EXPECT_EQ(fields(certificate), kEmpty);
    EXPECT_EQ(fields(Certificate(directory / "missing.pem", Format::Pem)), kEmpty);
    EXPECT_EQ(fields(Certificate(bytes(pem.substr(0, pem.size() / 2)), Format::Pem)), kEmpty);
    // Beyond the size bound nothing is decoded, however valid.
    CertificateBuilder large;
    for (int i = 0; i < 600; ++i) {
        large.subject("DC", "component-" + std::to_string(i));
    }
    der = large.der();
    ASSERT_GT(der.size(), Certificate::kMaxSize);
    EXPECT_EQ(fields(Certificate(der, Format::Der)), kEmpty);
    EXPECT_EQ(Certificate::pemFingerprint(CertificateBuilder::pemOf(der)), "");
}
