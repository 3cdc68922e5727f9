// What a certificate that cannot be read leaves in the system log.

#include <gtest/gtest.h>
#include <syslog.h>

#include <tuple>

#include "TestCertificate.h"
#include "TestLog.h"
#include "token/Certificate.h"

using Format = Certificate::Format;

TEST(CertificateLogTest, UnreadableBytesLogOneErrorEmptyAndGoodOnesNothing) {
    const std::string error = "[ERROR] Не удалось создать X509";
    const std::vector<std::tuple<std::string, Format, std::vector<std::string>>> cases = {
        {"\x30\x82\x01\x00 cut", Format::Der, {error}},
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
