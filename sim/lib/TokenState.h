#pragma once

// One inserted token as this process sees it: the objects built from its entry, its retry
// counters and who is logged in. Counters and login live here, not in the entry, so they last
// as long as the token stays in its slot and start afresh when it is inserted again.

#include "Entry.h"

#include <p11-kit/pkcs11.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kxsim {

// Vendor-defined profile objects and their attributes.
constexpr CK_OBJECT_CLASS kProfileClass = 0x80000001UL;
constexpr CK_ATTRIBUTE_TYPE kProfileUserAttribute = 0x8000000FUL;
constexpr CK_ATTRIBUTE_TYPE kProfileDomainAttribute = 0x80000010UL;

struct TokenObject {
    CK_OBJECT_HANDLE handle = 0;
    std::map<CK_ATTRIBUTE_TYPE, std::string> attributes;

    // True when every template attribute is present with exactly the same bytes.
    bool matches(const CK_ATTRIBUTE* pattern, CK_ULONG count) const;
};

struct LiveCounter {
    uint64_t limit = 0;
    uint64_t left = 0;
};

class TokenState {
public:
    // Object handles are taken from nextHandle so that they are never reused in this process.
    TokenState(CK_SLOT_ID slot, TokenEntry entry, CK_OBJECT_HANDLE& nextHandle);

    CK_SLOT_ID slot() const { return slot_; }
    const TokenEntry& entry() const { return entry_; }
    const std::vector<TokenObject>& objects() const { return objects_; }
    const TokenObject* object(CK_OBJECT_HANDLE handle) const;

    // The result this entry injects for a call, and the call's delay, if any.
    std::optional<CK_RV> injected(const char* call) const;
    std::optional<CallDelay> delay(const char* call) const;

    const LiveCounter& counter(CK_USER_TYPE user) const;
    // Compares the PIN and counts: a wrong PIN costs one try, the right one restores them all.
    CK_RV verifyPin(CK_USER_TYPE user, const std::string& pin);

    std::optional<CK_USER_TYPE> loggedIn;

    void fillTokenInfo(CK_TOKEN_INFO& info) const;

private:
    LiveCounter& triesOf(CK_USER_TYPE user);

    CK_SLOT_ID slot_;
    TokenEntry entry_;
    std::vector<TokenObject> objects_;
    LiveCounter user_;
    LiveCounter so_;
};

// Copies text into a blank-padded PKCS#11 character field.
void padField(unsigned char* field, size_t size, const std::string& text);

}  // namespace kxsim
