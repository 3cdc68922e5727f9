#pragma once

// The token directory as kxsim changes it. Entries are written to a hidden temporary file and
// renamed into place, so a reader never sees half an entry.

#include "Entry.h"

#include <p11-kit/pkcs11.h>

#include <optional>
#include <string>
#include <vector>

namespace kxsim {

struct StoredEntry {
    CK_SLOT_ID slot = 0;
    std::optional<TokenEntry> entry;
    std::string error;  // why it cannot be read, if it cannot
};

class TokenStore {
public:
    explicit TokenStore(std::string dir) : dir_(std::move(dir)) {}

    const std::string& dir() const { return dir_; }

    // Each returns an empty string on success, else what went wrong.
    std::string insert(CK_SLOT_ID slot, const std::string& text, bool replace) const;
    std::string remove(CK_SLOT_ID slot) const;
    bool holds(CK_SLOT_ID slot) const;
    std::string list(std::vector<StoredEntry>& entries) const;

private:
    std::string pathOf(CK_SLOT_ID slot) const;

    std::string dir_;
};

}  // namespace kxsim
