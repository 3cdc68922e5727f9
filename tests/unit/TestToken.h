#pragma once

// Simulated tokens for the reader's tests: each token is an entry file of the simulated vendor
// library in a directory of the build tree (named to the library by KXSIM_TOKEN_DIR).

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "token/kxpkcs11.h"

namespace testtoken {

struct CertificateSpec {
    std::string id;  // raw CKA_ID bytes
    std::string label;
    std::optional<std::string> der;  // without it the object has no CKA_VALUE
};

struct TokenSpec {
    std::string label = "Token";
    std::string model = "Korvex Quill 3";
    std::string serial = "0012345678";
    std::string isd = "KX101";
    std::vector<std::pair<std::string, std::string>> profiles;  // user, domain
    std::vector<CertificateSpec> certificates;
    // Call name and return code name, e.g. {"C_OpenSession", "CKR_DEVICE_ERROR"}.
    std::vector<std::pair<std::string, std::string>> failures;
};

class SimulatedTokens {
public:
    // A fresh, empty token directory for this name; the library reads it at C_Initialize.
    explicit SimulatedTokens(const std::string& name);

    void insert(CK_SLOT_ID slot, const TokenSpec& token);
    const std::string& directory() const { return directory_; }

private:
    std::string directory_;
};

std::string entryText(const TokenSpec& token);

}  // namespace testtoken
