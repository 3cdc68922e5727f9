#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "TestCertificate.h"
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

TEST(CertificateTest, SubjectAndIssuerNamesLastEntryWinsDomainReversed) {
    Certificate certificate = parseDer(CertificateBuilder()
                                           .subject("C", "RU")
                                           .subject("CN", "first")
                                           .subject("O", "First Org")
                                           .subject("DC", "org")
                                           .subject("DC", "corp")
                                           .subject("DC", "dept")
                                           .subject("CN", "Иван Петров")
                                           .subject("O", "Corp Ltd")
                                           .issuer("DC", "ru")
                                           .issuer("DC", "issuer")
                                           .issuer("CN", "Issuing CA")
                                           .issuer("O", "Issuer Org"));
    EXPECT_EQ(fields(certificate),
              "Иван Петров|Corp Ltd|dept.corp.org|Issuing CA|Issuer Org|"
              "issuer.ru||" +
                  certificate.fingerprint() + "|");
}

TEST(CertificateTest, AltNameCaFlagAndBmpNames) {
    auto alt = [](const char* names) {
        return parseDer(CertificateBuilder().extension("subjectAltName", names)).altName();
    };
    // The otherName's type is not examined: any UTF8String counts, and a later URI wins.
    EXPECT_EQ(alt("otherName:1.2.3.4;UTF8:user@realm, URI:https://example.com/user"),
              "https://example.com/user");
    EXPECT_EQ(alt("URI:https://x.com/u, otherName:1.3.6.1.4.1.311.20.2.3;UTF8:ivan@CORP.ORG, "
                  "email:ivan@corp.org"),
              "ivan@CORP.ORG");
    // Other name kinds and non-UTF8 otherName values are ignored.
    EXPECT_EQ(alt("email:ivan@corp.org, otherName:1.2.3.4;OCTETSTRING:octets"), "");

    auto ca = [](const char* constraints) {
        return parseDer(CertificateBuilder().extension("basicConstraints", constraints)).isCaCert();
    };
    EXPECT_TRUE(ca("critical,CA:TRUE"));
    EXPECT_FALSE(ca("CA:FALSE"));
    EXPECT_FALSE(parseDer(CertificateBuilder().subject("CN", "plain")).isCaCert());

    // A BMP value is kept as raw UTF-16BE bytes up to its first zero byte.
    const std::string whole("\x04\x16\x04\x10", 4);
    EXPECT_EQ(parseDer(CertificateBuilder().subject("CN", whole, true)).subject(), whole);
    EXPECT_EQ(parseDer(CertificateBuilder().subject("O", std::string("\x04\x16\0A", 4), true))
                  .subjectOrganization(),
              "\x04\x16");
}

TEST(CertificateTest, FingerprintMatchesOpensslCommand) {
    std::string path = testcert::outputDirectory("fingerprint") + "/leaf.der";
    std::vector<unsigned char> der = CertificateBuilder().subject("CN", "leaf").der();
    std::ofstream(path, std::ios::binary) << std::string(der.begin(), der.end());

    std::string expected = testcert::commandOutput("openssl x509 -inform DER -in '" + path +
                                                   "' -noout -fingerprint -sha1");
    expected.erase(0, expected.find('=') + 1);
    expected.erase(std::remove_if(expected.begin(), expected.end(),
                                  [](char c) { return c == ':' || c == '\n'; }),
                   expected.end());
    ASSERT_EQ(expected.size(), 40u);
    EXPECT_EQ(Certificate(der, Format::Der).fingerprint(), expected);
    EXPECT_EQ(Certificate(path, Format::Der).fingerprint(), expected);
}

TEST(CertificateTest, FirstOfSeveralPemBlocksCounts) {
    std::vector<unsigned char> der =
        CertificateBuilder().subject("CN", "first").extension("subjectAltName", "URI:urn:x").der();
    std::string pem = "leading text\n" + CertificateBuilder::pemOf(der) +
                      CertificateBuilder().subject("CN", "second").pem();
    Certificate fromPem(bytes(pem), Format::Pem);
    EXPECT_EQ(fields(fromPem), fields(Certificate(der, Format::Der)));
    EXPECT_EQ(fromPem.subject(), "first");
    EXPECT_EQ(fromPem.altName(), "urn:x");
    // The wrong format reads nothing.
    EXPECT_EQ(fields(Certificate(der, Format::Pem)), kEmpty);
}

TEST(CertificateTest, UnreadableInputLeavesEmptyFields) {
    std::vector<unsigned char> der = CertificateBuilder().subject("CN", "cut").der();
    std::string pem = CertificateBuilder::pemOf(der);
    std::string directory = testcert::outputDirectory("files");
    std::ofstream(directory + "/cut.pem") << pem;
    std::ofstream(directory + "/empty.pem").close();

    Certificate certificate(directory + "/cut.pem", Format::Pem);
    ASSERT_EQ(certificate.subject(), "cut");
    // A missing file leaves whatever the certificate held; unreadable bytes clear it.
    certificate.setData(directory + "/missing.pem", Format::Pem);
    EXPECT_EQ(certificate.subject(), "cut");
    certificate.setData(std::vector<unsigned char>(der.begin(), der.begin() + der.size() / 2),
                        Format::Der);
    EXPECT_EQ(fields(certificate), kEmpty);

    EXPECT_EQ(fields(Certificate(directory + "/missing.pem", Format::Pem)), kEmpty);
    EXPECT_EQ(fields(Certificate(directory + "/empty.pem", Format::Pem)), kEmpty);
    EXPECT_EQ(fields(Certificate(std::vector<unsigned char>(), Format::Der)), kEmpty);
    EXPECT_EQ(fields(Certificate(bytes(pem.substr(0, pem.size() / 2)), Format::Pem)), kEmpty);
    EXPECT_EQ(fields(Certificate(bytes("\x30\x82\xff\xff garbage"), Format::Der)), kEmpty);
}
