#include "TestToken.h"

#include <openssl/evp.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>

#include "TestCertificate.h"

namespace testtoken {

namespace {

std::string hex(const std::string& bytes) {
    std::string text;
    char pair[3];
    for (unsigned char byte : bytes) {
        std::snprintf(pair, sizeof(pair), "%02x", byte);
        text += pair;
    }
    return text;
}

std::string base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                 reinterpret_cast<const unsigned char*>(bytes.data()),
                                 static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

// Entry values are trimmed unless quoted.
std::string quoted(const std::string& value) {
    return "\"" + value + "\"";
}

}  // namespace

std::string entryText(const TokenSpec& token) {
    std::string text;
    text += "label = " + quoted(token.label) + "\n";
    text += "model = " + quoted(token.model) + "\n";
    text += "serial = " + quoted(token.serial) + "\n";
    text += "isd = " + quoted(token.isd) + "\n";
    for (const auto& profile : token.profiles) {
        text += "profile = " + quoted(profile.first + "@" + profile.second) + "\n";
    }
    for (const auto& failure : token.failures) {
        text += "fail = " + failure.first + " " + failure.second + "\n";
    }
    for (const CertificateSpec& certificate : token.certificates) {
        text += "[certificate]\n";
        text += "id = " + hex(certificate.id) + "\n";
        text += "label = " + quoted(certificate.label) + "\n";
        if (certificate.der) {
            text += "der = " + base64(*certificate.der) + "\n";
        }
    }
    return text;
}

SimulatedTokens::SimulatedTokens(const std::string& name)
    : directory_(testcert::outputDirectory("tokens/" + name)) {
    setenv("KXSIM_TOKEN_DIR", directory_.c_str(), 1);
    unsetenv("KXSIM_BRIDGE_MODULE");
}

void SimulatedTokens::insert(CK_SLOT_ID slot, const TokenSpec& token) {
    // Written aside and renamed, so the library never sees half an entry.
    std::string hidden = directory_ + "/." + std::to_string(slot) + ".tmp";
    std::ofstream(hidden) << entryText(token);
    std::rename(hidden.c_str(), (directory_ + "/" + std::to_string(slot)).c_str());
}

}  // namespace testtoken
