// What a certificate that cannot be read leaves in the system log.

#include <gtest/gtest.h>
#include <syslog.h>

#include <fstream>

#include "TestCertificate.h"
#include "TestLog.h"
#include "token/Certificate.h"

using testcert::bytes;
using Format = Certificate::Format;

TEST(CertificateLogTest, UnreadableBytesLogOneError) {
    for (const auto& [input, format] :
         {std::make_pair("\x30\x82\x01\x00 cut", Format::Der),
          std::make_pair("garbage", Format::Der),
          std::make_pair("-----BEGIN CERTIFICATE-----\nAAAA\n", Format::Pem)}) {
        size_t mark = testlog::settledMark();
        Certificate certificate(bytes(input), format);
        std::vector<world::LogRecord> logged = testlog::recordsSince(mark);
        ASSERT_EQ(logged.size(), 1u) << input;
        EXPECT_EQ(logged[0].level, LOG_ERR);
        EXPECT_EQ(logged[0].facility, LOG_LOCAL7 >> 3);
        EXPECT_EQ(logged[0].text, "[ERROR] Не удалось создать X509");
    }
}

TEST(CertificateLogTest, EmptyInputAndGoodCertificateLogNothing) {
    std::string empty = testcert::outputDirectory("log") + "/empty.der";
    std::ofstream(empty).close();
    size_t mark = testlog::settledMark();
    Certificate fromBytes(std::vector<unsigned char>(), Format::Der);
    Certificate fromFile(empty, Format::Der);
    Certificate good(testcert::CertificateBuilder().subject("CN", "ok").der(), Format::Der);
    EXPECT_TRUE(testlog::recordsSince(mark).empty());
}

TEST(CertificateLogTest, MissingFileLogsWarningWithPath) {
    std::string path = testcert::outputDirectory("log-missing") + "/absent.pem";
    size_t mark = testlog::settledMark();
    Certificate certificate(path, Format::Pem);
    EXPECT_EQ(testlog::textsSince(mark),
              std::vector<std::string>{"[WARNING] Не удалось открыть файл " + path});
}
