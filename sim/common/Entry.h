#pragma once

// A token entry: the plain text file in the token directory that describes one inserted token.
// Its file name is the slot id in decimal; the format is described in sim/README.md.

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kxsim {

// Lengths of the blank-padded text fields of CK_TOKEN_INFO and of the ISD text.
constexpr size_t kLabelSize = 32;
constexpr size_t kModelSize = 16;
constexpr size_t kSerialSize = 16;
constexpr size_t kManufacturerSize = 32;
constexpr size_t kIsdTextSize = 32;

struct PinCounter {
    uint64_t limit = 10;  // 0: the token does not count wrong PINs
    std::optional<uint64_t> left;

    uint64_t initialLeft() const { return left.value_or(limit); }
    bool operator==(const PinCounter& other) const {
        return limit == other.limit && left == other.left;
    }
};

struct PinPolicy {
    uint64_t lifetimeDays = 0;  // KX_PKI_GetComplexity
    std::string changeDate;     // YYYYMMDD or empty
    uint64_t maxAgeDays = 0;    // KX_PJ_GetUserPinPolicy
    uint64_t warningDays = 0;
    uint64_t ageDays = 0;  // KX_PJ_GetCapabilities
};

struct ProfileEntry {
    std::string user;
    std::string domain;
};

struct CertificateEntry {
    std::string id;                    // raw CKA_ID bytes
    std::string label;                 // CKA_LABEL
    std::optional<std::string> value;  // DER; without it the object has no CKA_VALUE
};

// How long a call of the token takes, as a slow card keeps it: a number of milliseconds, or
// until the token leaves its slot (a call that hangs).
struct CallDelay {
    uint64_t milliseconds = 0;
    bool forever = false;
};

// What C_GetSlotList says the number of slots is, whatever it holds: a fixed count, or one more
// at every call (a list that keeps growing between the count and the list).
struct SlotCount {
    uint64_t count = 0;
    bool growing = false;
};

struct TokenEntry {
    std::string label;
    std::string model;
    std::string serial;
    std::string manufacturer = "Korvex";
    std::string isd;
    CK_VERSION hardware = {1, 0};
    CK_VERSION firmware = {1, 0};
    std::optional<std::string> userPin;
    std::optional<std::string> soPin;
    PinCounter userCounter;
    PinCounter soCounter;
    PinPolicy policy;
    std::vector<ProfileEntry> profiles;
    std::vector<CertificateEntry> certificates;
    // By call name, looked up by the library at every call: std::less<> finds a name without
    // copying it.
    std::map<std::string, CK_RV, std::less<>> failures;
    std::map<std::string, CallDelay, std::less<>> delays;
    std::optional<SlotCount> slotCount;
};

// The calls that an entry can make fail, and those it can delay.
const std::vector<std::string>& failableCalls();
const std::vector<std::string>& delayableCalls();
// C_Initialize's failure for callers that ask for the library's own locking only.
constexpr const char* kInitializeLockingCall = "C_Initialize/locking";
// The longest delay an entry can give, a day: beyond it a call hangs.
constexpr uint64_t kMaxDelayMilliseconds = 86400000;

// Parses an entry. Relative certificate file names are taken from baseDir. On failure returns
// nothing and sets error to a message that names the line.
std::optional<TokenEntry> parseEntry(const std::string& text, const std::string& baseDir,
                                     std::string& error);

// The keys of the entry format, also used by kxsim for its options. Setters return an empty
// string on success, else what is wrong with the value.
using TokenKeySetter = std::string (*)(TokenEntry& entry, const std::string& key,
                                       const std::string& value);
const std::map<std::string, TokenKeySetter>& tokenKeys();
std::string setTokenKey(TokenEntry& entry, const std::string& key, const std::string& value);
std::string setCertificateKey(CertificateEntry& certificate, const std::string& key,
                              const std::string& value, const std::string& baseDir);

// Reads a certificate file in PEM or DER form into DER.
std::optional<std::string> loadCertificateFile(const std::string& path, std::string& error);

// Writes the entry back as text, certificate values inline.
std::string formatEntry(const TokenEntry& entry);

// Entry file names are slot ids in decimal without leading zeros; anything else (hidden and
// temporary files included) is not an entry.
std::optional<CK_SLOT_ID> slotFromEntryName(const std::string& name);
std::string entryName(CK_SLOT_ID slot);

std::optional<std::string> readWholeFile(const std::string& path, std::string& error);

}  // namespace kxsim
