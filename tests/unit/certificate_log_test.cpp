// What a certificate that cannot be read leaves in the system log.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <tuple>

#include "TestCertificate.h"
#include "TestLog.h"
#include "token/Certificate.h"

using Format = Certificate::Format;

TEST(CertificateLogTest, UnreadableBytesLogOneErrorEmptyAndGoodOnesNothing) {
    const std::string error = "[ERROR] Не удалось создать X509";
    const std::vector<std::tuple<std::string, Format, std::vector<std::string>>> cases = {
        {"\x30\x82\x01\x00 cut", Format::Der, {error}},
        {"garbage", Format::Der, {error}},
        {"-----BEGIN CERTIFICATE-----\nAAAA\n", Format::Pem, {error}},
        {"", Format::Der, {}},
        {testcert::CertificateBuilder().subject("CN", "ok").pem(), Format::Pem, {}},
    };
    for (const auto& [input, format, expected] : cases) {
        size_t mark = testlog::settledMark();
        Certificate certificate(testcert::bytes(input), format);
        EXPECT_EQ(testlog::textsSince(mark), expected) << input;
        EXPECT_EQ(testlog::textsSince(mark, LOG_ERR), expected) << "at error level";
    }
}

TEST(CertificateLogTest, FileThatIsNotARegularFileLogsWarningEmptyFileNothing) {
    // A user controls the certificate file in their home: a FIFO must not block the reader, a
    // directory or a device must not stop or stall it, a line feed in the name must not start
    // a record of its own.
    std::string directory = testcert::outputDirectory("log");
    std::ofstream(directory + "/empty.der").close();
    mkdir((directory + "/adirectory").c_str(), 0755);
    unlink((directory + "/fifo").c_str());
    ASSERT_EQ(mkfifo((directory + "/fifo").c_str(), 0600), 0);
    const std::string warning = "[WARNING] Не удалось открыть файл " + directory;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {directory + "/absent.pem", warning + "/absent.pem"},
        {directory + "/adirectory", warning + "/adirectory"},
        {directory + "/fifo", warning + "/fifo"},
        {"/dev/zero", "[WARNING] Не удалось открыть файл /dev/zero"},
        {directory + "/new\nline", warning + "/new\\x0aline"},
    };
    for (const auto& [path, logged] : cases) {
        size_t mark = testlog::settledMark();
        Certificate certificate(path, Format::Pem);
        EXPECT_TRUE(certificate.fingerprint().empty());
        EXPECT_EQ(testlog::textsSince(mark), std::vector<std::string>{logged}) << path;
    }
    size_t mark = testlog::settledMark();
    Certificate empty(directory + "/empty.der", Format::Der);
    EXPECT_TRUE(testlog::textsSince(mark).empty());
}
