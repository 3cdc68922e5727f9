#pragma once

// Simulated tokens for the daemon's tests: each token is an entry file of the simulated vendor
// library (sim/README.md), written by the library's own entry writer into a directory of the
// build tree that KXSIM_TOKEN_DIR names to the library.

#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "Entry.h"
#include "TestFiles.h"

namespace testtoken {

using TokenSpec = kxsim::TokenEntry;

class SimulatedTokens {
public:
    // A fresh, empty token directory for this name; the library reads it at C_Initialize.
    explicit SimulatedTokens(const std::string& name)
        : directory(testfiles::scratch("tokens/" + name).string()) {
        setenv("KXSIM_TOKEN_DIR", directory.c_str(), 1);
        unsetenv("KXSIM_BRIDGE_MODULE");
    }

    void insert(CK_SLOT_ID slot, const TokenSpec& token) const {
        insert(slot, kxsim::formatEntry(token));
    }
    // Written aside and renamed, so the library never sees half an entry.
    void insert(CK_SLOT_ID slot, const std::string& entry) const {
        std::string hidden = directory + "/." + std::to_string(slot) + ".tmp";
        std::ofstream(hidden) << entry;
        std::rename(hidden.c_str(), path(slot).c_str());
    }
    bool remove(CK_SLOT_ID slot) const { return std::remove(path(slot).c_str()) == 0; }
    std::string path(CK_SLOT_ID slot) const { return directory + "/" + std::to_string(slot); }

    const std::string directory;
};

}  // namespace testtoken
