// Figures for the token reader and the token list's wire form:
//  - Token::tokenInfo of a token with 10 certificates and 10 profiles (simulated library);
//  - encoding a store of 16 such tokens into one D-Bus message, as an "allTokens" reply does.
// The reader logs a few lines per token, so run it inside a test world:
//   tests/world/run-in-world build/bench/kx_token_bench [--json]

#include <dbus/dbus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "BenchReport.h"
#include "TestCertificate.h"
#include "TestToken.h"
#include "token/Token.h"

namespace {

constexpr int kCerts = 10;
constexpr int kProfiles = 10;
constexpr int kStoreSize = 16;

using Clock = std::chrono::steady_clock;

double microsecondsPer(Clock::time_point start, int count) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

std::vector<std::vector<unsigned char>> benchCertificates() {
    std::vector<std::vector<unsigned char>> certificates;
    for (int i = 0; i < kCerts; ++i) {
        certificates.push_back(
            testcert::CertificateBuilder()
                .subject("DC", "org")
                .subject("DC", "corp")
                .subject("CN", "Пользователь " + std::to_string(i))
                .issuer("CN", "Corp Issuing CA")
                .issuer("O", "Corp")
                .extension("subjectAltName", "otherName:1.3.6.1.4.1.311.20.2.3;UTF8:user" +
                                                 std::to_string(i) + "@CORP.ORG")
                .der());
    }
    return certificates;
}

void benchTokenInfo(const std::vector<std::vector<unsigned char>>& certificates,
                    BenchReport& report) {
    testtoken::SimulatedTokens tokens("bench");
    testtoken::TokenSpec entry;
    entry.label = "Bench token";
    for (int i = 0; i < kCerts; ++i) {
        entry.certificates.push_back({"id" + std::to_string(i), "cert " + std::to_string(i),
                                      std::string(certificates[i].begin(), certificates[i].end())});
    }
    for (int i = 0; i < kProfiles; ++i) {
        entry.profiles.push_back({"user" + std::to_string(i), "corp.org"});
    }
    tokens.insert(1, entry);
    if (!Token::initialize()) {
        report.say("tokenInfo: the PKCS#11 library did not start\n");
        return;
    }
    const int rounds = 200;
    size_t read = 0;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        Token::Info info = Token::tokenInfo(1);
        read += info.certs.size() + info.profiles.size();
    }
    double perToken = microsecondsPer(start, rounds);
    Token::finalize();
    report.say("tokenInfo, %d certificates and %d profiles: %.1f us per token (%zu objects)\n",
               kCerts, kProfiles, perToken, read / rounds);
    report.figure("reading a token of 10 certificates and 10 profiles", perToken, "us", -1);
}

Token::Info benchRecord(const std::vector<std::vector<unsigned char>>& certificates) {
    Token::Info info;
    info.label = "Bench token";
    info.model = "Korvex Quill 3 (USB)";
    info.applet = Token::Quill;
    info.serialNumber = "0012345678";
    info.isd = "KX101";
    info.isNew = true;
    for (int i = 0; i < kCerts; ++i) {
        info.certs.push_back({"id" + std::to_string(i), "cert " + std::to_string(i),
                              Certificate(certificates[i], Certificate::Format::Der)});
    }
    for (int i = 0; i < kProfiles; ++i) {
        info.profiles.push_back({"user" + std::to_string(i), "corp.org"});
    }
    return info;
}

void benchEncoding(const std::vector<std::vector<unsigned char>>& certificates,
                   BenchReport& report) {
    std::map<uint64_t, Token::Info> store;
    for (int slot = 0; slot < kStoreSize; ++slot) {
        store[slot] = benchRecord(certificates);
        store[slot].slotId = slot;
    }
    DBusMessage* call =
        dbus_message_new_method_call("kx.daemon.server", "/", "kx.daemon.server", "allTokens");
    dbus_message_set_serial(call, 1);  // a reply needs the serial of its call
    const int rounds = 500;
    int bytes = 0;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        DBusMessage* reply = dbus_message_new_method_return(call);
        DBusMessageIter iter, array;
        dbus_message_iter_init_append(reply, &iter);
        dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, Token::Info::typeFromDbus.c_str(),
                                         &array);
        for (const auto& entry : store) {
            entry.second.sendData(&array);
        }
        dbus_message_iter_close_container(&iter, &array);
        if (i == 0) {
            char* marshalled = nullptr;
            dbus_message_marshal(reply, &marshalled, &bytes);
            dbus_free(marshalled);
        }
        dbus_message_unref(reply);
    }
    dbus_message_unref(call);
    double perMessage = microsecondsPer(start, rounds);
    report.say("encoding %d tokens into one message: %.1f us per message (%d bytes)\n", kStoreSize,
               perMessage, bytes);
    report.figure("encoding 16 such tokens as an \"allTokens\" reply", perMessage, "us", -1, "max",
                  std::to_string(bytes) + " bytes");
}

}  // namespace

int main(int argc, char* argv[]) {
    BenchReport report("token", argc, argv);
    std::vector<std::vector<unsigned char>> certificates = benchCertificates();
    benchEncoding(certificates, report);
    benchTokenInfo(certificates, report);
    report.finish();
    return 0;
}
