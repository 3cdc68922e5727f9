// What a certificate that cannot be read leaves in the system log.

#include <gtest/gtest.h>
#include <syslog.h>

#include <fstream>

#include "TestCertificate.h"
#include "log/KxLogger.h"
#include "token/Certificate.h"
#include "world/WorldLog.h"

namespace {

// The records logged after mark, up to a sentinel logged now: records arrive in order, so
// this is everything the code under test logged, and proves when it logged nothing.
std::vector<world::LogRecord> recordsSince(size_t mark) {
    static int sentinelCount = 0;
    std::string sentinel = "certificate test sentinel " + std::to_string(++sentinelCount);
    KxLogger::log(LOG_DEBUG, "%s", sentinel.c_str());
    EXPECT_TRUE(world::waitForLog(LOG_DEBUG, sentinel, mark));
    std::vector<world::LogRecord> records = world::logRecords();
    std::vector<world::LogRecord> logged;
    for (size_t i = mark; i < records.size() && records[i].text != sentinel; ++i) {
        logged.push_back(records[i]);
    }
    return logged;
}

}  // namespace

TEST(CertificateLogTest, UnreadableBytesLogOneError) {
    for (const std::string& input : {std::string("\x30\x82\x01\x00 cut"), std::string("garbage")}) {
        size_t mark = world::logMark();
        Certificate certificate(testcert::bytes(input), Certificate::Format::Der);
        std::vector<world::LogRecord> logged = recordsSince(mark);
        ASSERT_EQ(logged.size(), 1u) << input;
        EXPECT_EQ(logged[0].level, LOG_ERR);
        EXPECT_EQ(logged[0].facility, LOG_LOCAL7 >> 3);
        EXPECT_EQ(logged[0].text, "[ERROR] Не удалось создать X509");
    }
    size_t mark = world::logMark();
    Certificate pem(testcert::bytes("-----BEGIN CERTIFICATE-----\nAAAA\n"),
                    Certificate::Format::Pem);
    std::vector<world::LogRecord> logged = recordsSince(mark);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].text, "[ERROR] Не удалось создать X509");
}

TEST(CertificateLogTest, EmptyInputAndGoodCertificateLogNothing) {
    std::string directory = testcert::outputDirectory("log");
    std::ofstream(directory + "/empty.der").close();
    size_t mark = world::logMark();
    Certificate fromBytes(std::vector<unsigned char>(), Certificate::Format::Der);
    Certificate fromFile(directory + "/empty.der", Certificate::Format::Der);
    Certificate good(testcert::CertificateBuilder().subject("CN", "ok").der(),
                     Certificate::Format::Der);
    EXPECT_TRUE(recordsSince(mark).empty());
    EXPECT_EQ(good.subject(), "ok");
}

TEST(CertificateLogTest, MissingFileLogsWarningWithPath) {
    std::string path = testcert::outputDirectory("log-missing") + "/absent.pem";
    size_t mark = world::logMark();
    Certificate certificate(path, Certificate::Format::Pem);
    std::vector<world::LogRecord> logged = recordsSince(mark);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, LOG_WARNING);
    EXPECT_EQ(logged[0].text, "[WARNING] Не удалось открыть файл " + path);
}
