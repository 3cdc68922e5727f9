#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "TestCertificate.h"
#include "token/Certificate.h"

using testcert::CertificateBuilder;

namespace {

Certificate parseDer(const CertificateBuilder& builder) {
    return Certificate(builder.der(), Certificate::Format::Der);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

void expectEmpty(const Certificate& certificate) {
    EXPECT_EQ(certificate.subject(), "");
    EXPECT_EQ(certificate.subjectOrganization(), "");
    EXPECT_EQ(certificate.subjectDomainComponent(), "");
    EXPECT_EQ(certificate.issuer(), "");
    EXPECT_EQ(certificate.issuerOrganization(), "");
    EXPECT_EQ(certificate.issuerDomainComponent(), "");
    EXPECT_EQ(certificate.altName(), "");
    EXPECT_EQ(certificate.fingerprint(), "");
    EXPECT_FALSE(certificate.isCaCert());
}

}  // namespace

TEST(CertificateTest, ReadsSubjectAndIssuerNames) {
    Certificate certificate = parseDer(CertificateBuilder()
                                           .subject("C", "RU")
                                           .subject("DC", "com")
                                           .subject("DC", "example")
                                           .subject("O", "Example Ltd")
                                           .subject("OU", "Sales")
                                           .subject("CN", "Иван Петров")
                                           .issuer("DC", "ru")
                                           .issuer("DC", "issuer")
                                           .issuer("CN", "Issuing CA")
                                           .issuer("O", "Issuer Org"));
    EXPECT_EQ(certificate.subject(), "Иван Петров");
    EXPECT_EQ(certificate.subjectOrganization(), "Example Ltd");
    EXPECT_EQ(certificate.subjectDomainComponent(), "example.com");
    EXPECT_EQ(certificate.issuer(), "Issuing CA");
    EXPECT_EQ(certificate.issuerOrganization(), "Issuer Org");
    EXPECT_EQ(certificate.issuerDomainComponent(), "issuer.ru");
    EXPECT_EQ(certificate.altName(), "");
    EXPECT_FALSE(certificate.isCaCert());
}

TEST(CertificateTest, RepeatedEntriesLastWinsAndDomainComponentsAreReversed) {
    Certificate certificate = parseDer(CertificateBuilder()
                                           .subject("CN", "a")
                                           .subject("O", "first")
                                           .subject("DC", "org")
                                           .subject("DC", "corp")
                                           .subject("DC", "dept")
                                           .subject("CN", "b")
                                           .subject("O", "second"));
    EXPECT_EQ(certificate.subject(), "b");
    EXPECT_EQ(certificate.subjectOrganization(), "second");
    EXPECT_EQ(certificate.subjectDomainComponent(), "dept.corp.org");
}

TEST(CertificateTest, BmpStringValueEndsAtFirstZeroByte) {
    // U+0416 U+0410 is 04 16 04 10: no zero byte, kept whole as raw bytes.
    EXPECT_EQ(parseDer(CertificateBuilder().subjectBmp("CN", std::string("\x04\x16\x04\x10", 4)))
                  .subject(),
              std::string("\x04\x16\x04\x10", 4));
    // "Ab" in UTF-16BE starts with a zero byte: nothing is left.
    EXPECT_EQ(parseDer(CertificateBuilder().subjectBmp("CN", std::string("\0A\0b", 4))).subject(),
              "");
    EXPECT_EQ(parseDer(CertificateBuilder().subjectBmp("O", std::string("\x04\x16\0A", 4)))
                  .subjectOrganization(),
              "\x04\x16");
}

TEST(CertificateTest, AltNameIsLastUriOrUtf8OtherName) {
    // The otherName's type is not examined: any UTF8String counts, and a later URI wins.
    EXPECT_EQ(parseDer(CertificateBuilder()
                           .otherNameUtf8("1.2.3.4", "user@realm")
                           .uri("https://example.com/user"))
                  .altName(),
              "https://example.com/user");
    EXPECT_EQ(parseDer(CertificateBuilder()
                           .uri("https://example.com/user")
                           .otherNameUtf8("1.3.6.1.4.1.311.20.2.3", "ivan@CORP.ORG")
                           .email("ivan@corp.org"))
                  .altName(),
              "ivan@CORP.ORG");
    // Other name kinds and non-UTF8 otherName values are ignored.
    EXPECT_EQ(
        parseDer(CertificateBuilder().email("ivan@corp.org").otherNameOctets("1.2.3.4", "octets"))
            .altName(),
        "");
    // The value is length-counted, so an embedded zero byte is kept.
    EXPECT_EQ(
        parseDer(CertificateBuilder().otherNameUtf8("1.2.3.4", std::string("a\0b", 3))).altName(),
        std::string("a\0b", 3));
}

TEST(CertificateTest, CaFlagFollowsBasicConstraints) {
    EXPECT_TRUE(parseDer(CertificateBuilder().subject("CN", "root").ca(true)).isCaCert());
    EXPECT_FALSE(parseDer(CertificateBuilder().subject("CN", "leaf").ca(false)).isCaCert());
    EXPECT_FALSE(parseDer(CertificateBuilder().subject("CN", "plain")).isCaCert());
}

TEST(CertificateTest, FingerprintMatchesOpensslCommand) {
    std::string directory = testcert::outputDirectory("fingerprint");
    std::string path = directory + "/leaf.der";
    std::vector<unsigned char> der = CertificateBuilder().subject("CN", "leaf").serial(77).der();
    writeFile(path, std::string(der.begin(), der.end()));

    std::string output = testcert::commandOutput("openssl x509 -inform DER -in '" + path +
                                                 "' -noout -fingerprint -sha1");
    std::string expected = output.substr(output.find('=') + 1);
    expected.erase(std::remove_if(expected.begin(), expected.end(),
                                  [](char c) { return c == ':' || c == '\n'; }),
                   expected.end());
    ASSERT_EQ(expected.size(), 40u) << output;

    Certificate certificate(der, Certificate::Format::Der);
    EXPECT_EQ(certificate.fingerprint(), expected);
    EXPECT_EQ(Certificate(path, Certificate::Format::Der).fingerprint(), expected);
}

TEST(CertificateTest, PemAndDerOfOneCertificateAgree) {
    CertificateBuilder builder;
    builder.subject("CN", "same").issuer("CN", "ca").uri("urn:x").ca(true);
    std::vector<unsigned char> der = builder.der();
    std::string pem = testcert::pemOf(der);
    Certificate fromPem(testcert::bytes(pem), Certificate::Format::Pem);
    Certificate fromDer(der, Certificate::Format::Der);
    EXPECT_EQ(fromPem.subject(), "same");
    EXPECT_EQ(fromPem.issuer(), "ca");
    EXPECT_EQ(fromPem.altName(), "urn:x");
    EXPECT_TRUE(fromPem.isCaCert());
    EXPECT_EQ(fromPem.fingerprint(), fromDer.fingerprint());
    EXPECT_EQ(fromPem, fromDer);
    // The wrong format reads nothing.
    expectEmpty(Certificate(der, Certificate::Format::Pem));
    expectEmpty(Certificate(testcert::bytes(pem), Certificate::Format::Der));
}

TEST(CertificateTest, OnlyFirstPemBlockCounts) {
    std::string first = CertificateBuilder().subject("CN", "first").pem();
    std::string second = CertificateBuilder().subject("CN", "second").pem();
    Certificate certificate(testcert::bytes("leading text\n" + first + second),
                            Certificate::Format::Pem);
    EXPECT_EQ(certificate.subject(), "first");
    EXPECT_EQ(certificate, Certificate(testcert::bytes(first), Certificate::Format::Pem));
}

TEST(CertificateTest, UnreadableInputLeavesEmptyFields) {
    std::vector<unsigned char> der = CertificateBuilder().subject("CN", "cut").der();
    std::vector<unsigned char> truncated(der.begin(), der.begin() + der.size() / 2);
    std::string pem = CertificateBuilder().subject("CN", "cut").pem();
    std::string truncatedPem = pem.substr(0, pem.size() / 2);

    Certificate certificate(CertificateBuilder().subject("CN", "previous").der(),
                            Certificate::Format::Der);
    ASSERT_EQ(certificate.subject(), "previous");
    certificate.setData(truncated, Certificate::Format::Der);
    expectEmpty(certificate);

    expectEmpty(Certificate(std::vector<unsigned char>(), Certificate::Format::Der));
    expectEmpty(Certificate(testcert::bytes(truncatedPem), Certificate::Format::Pem));
    expectEmpty(Certificate(testcert::bytes("\x30\x82\xff\xff garbage"), Certificate::Format::Der));
    expectEmpty(Certificate(testcert::bytes("-----BEGIN CERTIFICATE-----\n!!\n"),
                            Certificate::Format::Pem));
    // Two unreadable certificates share the empty fingerprint and so compare equal.
    EXPECT_EQ(Certificate(truncated, Certificate::Format::Der),
              Certificate(testcert::bytes("junk"), Certificate::Format::Pem));
}

TEST(CertificateTest, FileInput) {
    std::string directory = testcert::outputDirectory("files");
    writeFile(directory + "/user.pem", CertificateBuilder().subject("CN", "from file").pem());
    writeFile(directory + "/empty.pem", "");

    EXPECT_EQ(Certificate(directory + "/user.pem", Certificate::Format::Pem).subject(),
              "from file");
    expectEmpty(Certificate(directory + "/empty.pem", Certificate::Format::Pem));

    // A missing file leaves whatever the certificate held.
    Certificate certificate(directory + "/user.pem", Certificate::Format::Pem);
    certificate.setData(directory + "/missing.pem", Certificate::Format::Pem);
    EXPECT_EQ(certificate.subject(), "from file");
    expectEmpty(Certificate(directory + "/missing.pem", Certificate::Format::Pem));
}
