#include "Entry.h"

#include "Codec.h"
#include "Der.h"
#include "ReturnCodes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string_view>

namespace kxsim {

namespace {

constexpr size_t kMaxEntryFileSize = 1 << 20;

// Views, not copies: an entry's certificate line may be a megabyte, and the library parses
// entries inside the call that notices them.
std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

// A value may be written in double quotes to keep blanks at its ends.
std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::string quoteIfNeeded(const std::string& value) {
    bool needs = !value.empty() &&
                 (std::isspace(static_cast<unsigned char>(value.front())) ||
                  std::isspace(static_cast<unsigned char>(value.back())) || value.front() == '"');
    return needs ? "\"" + value + "\"" : value;
}

bool parseNumber(const std::string& text, uint64_t& number) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        })) {
        return false;
    }
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE) {
        return false;
    }
    number = value;
    return true;
}

std::string setText(std::string& field, const std::string& key, const std::string& value,
                    size_t maxSize) {
    if (value.size() > maxSize) {
        return key + " is longer than " + std::to_string(maxSize) + " bytes";
    }
    if (value.find('\n') != std::string::npos) {
        return key + " must not contain a line break";
    }
    field = value;
    return "";
}

std::string setNumber(uint64_t& field, const std::string& key, const std::string& value) {
    if (!parseNumber(value, field)) {
        return key + " must be a whole number, not \"" + value + "\"";
    }
    return "";
}

std::string setOptionalNumber(std::optional<uint64_t>& field, const std::string& key,
                              const std::string& value) {
    uint64_t number = 0;
    std::string error = setNumber(number, key, value);
    if (error.empty()) {
        field = number;
    }
    return error;
}

std::string setVersion(CK_VERSION& field, const std::string& key, const std::string& value) {
    size_t dot = value.find('.');
    uint64_t major = 0;
    uint64_t minor = 0;
    if (dot == std::string::npos || !parseNumber(value.substr(0, dot), major) ||
        !parseNumber(value.substr(dot + 1), minor) || major > 255 || minor > 255) {
        return key + " must be MAJOR.MINOR with numbers up to 255, not \"" + value + "\"";
    }
    field.major = static_cast<CK_BYTE>(major);
    field.minor = static_cast<CK_BYTE>(minor);
    return "";
}

std::string setPin(std::optional<std::string>& field, const std::string& key,
                   const std::string& value) {
    if (value.empty()) {
        return key + " must not be empty";
    }
    if (value.find('\n') != std::string::npos) {
        return key + " must not contain a line break";
    }
    field = value;
    return "";
}

std::string setChangeDate(std::string& field, const std::string& value) {
    uint64_t unused = 0;
    if (!value.empty() && (value.size() != 8 || !parseNumber(value, unused))) {
        return "pin-changed must be a date written YYYYMMDD, not \"" + value + "\"";
    }
    field = value;
    return "";
}

std::string addProfile(TokenEntry& entry, const std::string& value) {
    size_t at = value.rfind('@');
    if (at == std::string::npos) {
        return "profile must be written user@domain, not \"" + value + "\"";
    }
    if (at == 0) {
        return "profile \"" + value + "\" has no user name";
    }
    if (value.find('\n') != std::string::npos) {
        return "profile must not contain a line break";
    }
    entry.profiles.push_back({value.substr(0, at), value.substr(at + 1)});
    return "";
}

std::string addFailure(TokenEntry& entry, const std::string& value) {
    std::istringstream words(value);
    std::string call;
    std::string code;
    std::string extra;
    words >> call >> code >> extra;
    if (call.empty() || code.empty() || !extra.empty()) {
        return "fail must be written CALL CODE, for example \"C_Login CKR_DEVICE_ERROR\"";
    }
    const auto& calls = failableCalls();
    if (std::find(calls.begin(), calls.end(), call) == calls.end()) {
        return "fail names an unknown call \"" + call + "\"";
    }
    auto rv = parseReturnCode(code);
    if (!rv) {
        return "fail has an unknown return code \"" + code + "\"";
    }
    if (*rv == CKR_OK) {
        return "fail needs an error code, CKR_OK is success";
    }
    entry.failures[call] = *rv;
    return "";
}

// "CALL MILLISECONDS" for delay, "CALL" alone for hang.
std::string addDelay(TokenEntry& entry, const std::string& key, const std::string& value) {
    std::istringstream words(value);
    std::string call;
    std::string milliseconds;
    std::string extra;
    words >> call >> milliseconds >> extra;
    bool hang = key == "hang";
    if (call.empty() || !extra.empty() || milliseconds.empty() != hang) {
        return hang ? "hang must be written CALL, for example \"C_WaitForSlotEvent\""
                    : "delay must be written CALL MILLISECONDS, for example "
                      "\"C_GetAttributeValue 500\"";
    }
    const auto& calls = delayableCalls();
    if (std::find(calls.begin(), calls.end(), call) == calls.end()) {
        return key + " names a call that cannot be delayed: \"" + call + "\"";
    }
    CallDelay delay;
    delay.forever = hang;
    if (!hang && (!parseNumber(milliseconds, delay.milliseconds) ||
                  delay.milliseconds > kMaxDelayMilliseconds)) {
        return "delay must be a whole number of milliseconds up to " +
               std::to_string(kMaxDelayMilliseconds) + ", not \"" + milliseconds + "\"";
    }
    entry.delays[call] = delay;
    return "";
}

std::string setSlotCount(std::optional<SlotCount>& field, const std::string& value) {
    SlotCount count;
    count.growing = value == "growing";
    if (!count.growing && !parseNumber(value, count.count)) {
        return "slot-count must be a whole number or \"growing\", not \"" + value + "\"";
    }
    field = count;
    return "";
}

std::string joinPath(const std::string& dir, const std::string& path) {
    if (path.empty() || path[0] == '/' || dir.empty()) {
        return path;
    }
    return dir + "/" + path;
}

}  // namespace

const std::vector<std::string>& failableCalls() {
    static const std::vector<std::string> calls = {
        "C_Initialize",
        kInitializeLockingCall,
        "C_Finalize",
        "C_GetSlotList",
        "C_WaitForSlotEvent",
        "C_GetSlotInfo",
        "C_GetTokenInfo",
        "C_OpenSession",
        "C_CloseSession",
        "C_Login",
        "C_Logout",
        "C_FindObjectsInit",
        "C_FindObjects",
        "C_FindObjectsFinal",
        "C_GetAttributeValue",
        "KX_GetISD",
        "KX_PKI_ReadPinCounters",
        "KX_PKI_GetComplexity",
        "KX_PJ_GetPinCounters",
        "KX_PJ_GetCapabilities",
        "KX_PJ_GetUserPinPolicy",
        "KX_CT1_ReadPinCounters",
        "KX_TL_ReadPinCounters",
    };
    return calls;
}

const std::vector<std::string>& delayableCalls() {
    // Every call that reaches one token, and the event poll.
    static const std::vector<std::string> calls = [] {
        std::vector<std::string> list;
        for (const std::string& call : failableCalls()) {
            if (call.rfind("C_Initialize", 0) != 0 && call != "C_Finalize" &&
                call != "C_GetSlotList") {
                list.push_back(call);
            }
        }
        return list;
    }();
    return calls;
}

const std::map<std::string, TokenKeySetter>& tokenKeys() {
    using Text = const std::string&;
    static const std::map<std::string, TokenKeySetter> keys = {
        {"label", [](TokenEntry& e, Text k, Text v) { return setText(e.label, k, v, kLabelSize); }},
        {"model", [](TokenEntry& e, Text k, Text v) { return setText(e.model, k, v, kModelSize); }},
        {"serial",
         [](TokenEntry& e, Text k, Text v) { return setText(e.serial, k, v, kSerialSize); }},
        {"manufacturer", [](TokenEntry& e, Text k,
                            Text v) { return setText(e.manufacturer, k, v, kManufacturerSize); }},
        {"isd", [](TokenEntry& e, Text k, Text v) { return setText(e.isd, k, v, kIsdTextSize); }},
        {"hardware", [](TokenEntry& e, Text k, Text v) { return setVersion(e.hardware, k, v); }},
        {"firmware", [](TokenEntry& e, Text k, Text v) { return setVersion(e.firmware, k, v); }},
        {"user-pin", [](TokenEntry& e, Text k, Text v) { return setPin(e.userPin, k, v); }},
        {"so-pin", [](TokenEntry& e, Text k, Text v) { return setPin(e.soPin, k, v); }},
        {"user-tries",
         [](TokenEntry& e, Text k, Text v) { return setNumber(e.userCounter.limit, k, v); }},
        {"user-tries-left",
         [](TokenEntry& e, Text k, Text v) { return setOptionalNumber(e.userCounter.left, k, v); }},
        {"so-tries",
         [](TokenEntry& e, Text k, Text v) { return setNumber(e.soCounter.limit, k, v); }},
        {"so-tries-left",
         [](TokenEntry& e, Text k, Text v) { return setOptionalNumber(e.soCounter.left, k, v); }},
        {"pin-lifetime",
         [](TokenEntry& e, Text k, Text v) { return setNumber(e.policy.lifetimeDays, k, v); }},
        {"pin-changed",
         [](TokenEntry& e, Text, Text v) { return setChangeDate(e.policy.changeDate, v); }},
        {"pin-max-age",
         [](TokenEntry& e, Text k, Text v) { return setNumber(e.policy.maxAgeDays, k, v); }},
        {"pin-warning",
         [](TokenEntry& e, Text k, Text v) { return setNumber(e.policy.warningDays, k, v); }},
        {"pin-age",
         [](TokenEntry& e, Text k, Text v) { return setNumber(e.policy.ageDays, k, v); }},
        {"profile", [](TokenEntry& e, Text, Text v) { return addProfile(e, v); }},
        {"fail", [](TokenEntry& e, Text, Text v) { return addFailure(e, v); }},
        {"delay", [](TokenEntry& e, Text k, Text v) { return addDelay(e, k, v); }},
        {"hang", [](TokenEntry& e, Text k, Text v) { return addDelay(e, k, v); }},
        {"slot-count", [](TokenEntry& e, Text, Text v) { return setSlotCount(e.slotCount, v); }},
    };
    return keys;
}

std::string setTokenKey(TokenEntry& entry, const std::string& key, const std::string& value) {
    auto setter = tokenKeys().find(key);
    if (setter == tokenKeys().end()) {
        return "unknown key \"" + key + "\"";
    }
    return setter->second(entry, key, value);
}

std::string setCertificateKey(CertificateEntry& certificate, const std::string& key,
                              const std::string& value, const std::string& baseDir) {
    if (key == "label") {
        return setText(certificate.label, key, value, std::string::npos);
    }
    if (key == "id") {
        std::string digits;
        for (char c : value) {
            if (c != ':') {
                digits += c;
            }
        }
        auto bytes = fromHex(digits);
        if (!bytes) {
            return "id must be hexadecimal bytes, not \"" + value + "\"";
        }
        certificate.id = *bytes;
        return "";
    }
    if (key == "der") {
        auto der = fromBase64(value);
        if (!der || der->empty()) {
            return "der must be the certificate in base64";
        }
        if (!readCertificateFields(*der)) {
            return "der does not hold an X.509 certificate";
        }
        certificate.value = std::move(*der);
        return "";
    }
    if (key == "file") {
        std::string error;
        auto der = loadCertificateFile(joinPath(baseDir, value), error);
        if (!der) {
            return error;
        }
        certificate.value = *der;
        return "";
    }
    return "unknown certificate key \"" + key + "\"";
}

std::optional<std::string> loadCertificateFile(const std::string& path, std::string& error) {
    auto bytes = readWholeFile(path, error);
    if (!bytes) {
        return std::nullopt;
    }
    std::optional<std::string> der = *bytes;
    if (looksLikePem(*bytes)) {
        der = pemCertificate(*bytes);
        if (!der) {
            error = path + ": no readable CERTIFICATE block in this PEM file";
            return std::nullopt;
        }
    }
    if (!readCertificateFields(*der)) {
        error = path + ": not an X.509 certificate in PEM or DER form";
        return std::nullopt;
    }
    return der;
}

std::optional<TokenEntry> parseEntry(const std::string& text, const std::string& baseDir,
                                     std::string& error) {
    static const std::set<std::string> repeatable = {"profile", "fail", "delay", "hang"};
    TokenEntry entry;
    std::set<std::string> seen;
    std::set<std::string> seenInCertificate;
    CertificateEntry* certificate = nullptr;
    int number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = trim(std::string_view(text).substr(start, end - start));
        start = end + 1;
        std::string where = "line " + std::to_string(++number) + ": ";
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            if (line != "[certificate]") {
                error =
                    where + "unknown section " + std::string(line) + ", only [certificate] exists";
                return std::nullopt;
            }
            entry.certificates.emplace_back();
            certificate = &entry.certificates.back();
            seenInCertificate.clear();
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            error = where + "expected KEY = VALUE";
            return std::nullopt;
        }
        std::string key(trim(line.substr(0, equals)));
        std::string value(unquote(trim(line.substr(equals + 1))));
        std::string problem;
        if (certificate != nullptr) {
            if (!seenInCertificate.insert(key == "der" ? "file" : key).second) {
                problem = key == "der" || key == "file"
                              ? "a certificate takes one value: der or file"
                              : key + " is set twice in this certificate";
            } else {
                problem = setCertificateKey(*certificate, key, value, baseDir);
            }
        } else if (!repeatable.count(key) && !seen.insert(key).second) {
            problem = key + " is set twice";
        } else {
            problem = setTokenKey(entry, key, value);
        }
        if (!problem.empty()) {
            error = where + problem;
            return std::nullopt;
        }
    }
    return entry;
}

std::string formatEntry(const TokenEntry& entry) {
    std::ostringstream out;
    auto version = [](const CK_VERSION& v) {
        return std::to_string(v.major) + "." + std::to_string(v.minor);
    };
    out << "label = " << quoteIfNeeded(entry.label) << "\n";
    out << "model = " << quoteIfNeeded(entry.model) << "\n";
    out << "serial = " << quoteIfNeeded(entry.serial) << "\n";
    out << "manufacturer = " << quoteIfNeeded(entry.manufacturer) << "\n";
    out << "isd = " << quoteIfNeeded(entry.isd) << "\n";
    out << "hardware = " << version(entry.hardware) << "\n";
    out << "firmware = " << version(entry.firmware) << "\n";
    if (entry.userPin) {
        out << "user-pin = " << quoteIfNeeded(*entry.userPin) << "\n";
    }
    if (entry.soPin) {
        out << "so-pin = " << quoteIfNeeded(*entry.soPin) << "\n";
    }
    out << "user-tries = " << entry.userCounter.limit << "\n";
    if (entry.userCounter.left) {
        out << "user-tries-left = " << *entry.userCounter.left << "\n";
    }
    out << "so-tries = " << entry.soCounter.limit << "\n";
    if (entry.soCounter.left) {
        out << "so-tries-left = " << *entry.soCounter.left << "\n";
    }
    out << "pin-lifetime = " << entry.policy.lifetimeDays << "\n";
    out << "pin-changed = " << entry.policy.changeDate << "\n";
    out << "pin-max-age = " << entry.policy.maxAgeDays << "\n";
    out << "pin-warning = " << entry.policy.warningDays << "\n";
    out << "pin-age = " << entry.policy.ageDays << "\n";
    for (const ProfileEntry& profile : entry.profiles) {
        out << "profile = " << quoteIfNeeded(profile.user + "@" + profile.domain) << "\n";
    }
    for (const auto& [call, code] : entry.failures) {
        out << "fail = " << call << " " << returnCodeName(code) << "\n";
    }
    for (const auto& [call, delay] : entry.delays) {
        if (delay.forever) {
            out << "hang = " << call << "\n";
        } else {
            out << "delay = " << call << " " << delay.milliseconds << "\n";
        }
    }
    if (entry.slotCount) {
        out << "slot-count = "
            << (entry.slotCount->growing ? "growing" : std::to_string(entry.slotCount->count))
            << "\n";
    }
    for (const CertificateEntry& certificate : entry.certificates) {
        out << "\n[certificate]\n";
        out << "id = " << toHex(certificate.id) << "\n";
        out << "label = " << quoteIfNeeded(certificate.label) << "\n";
        if (certificate.value) {
            out << "der = " << toBase64(*certificate.value) << "\n";
        }
    }
    return out.str();
}

std::optional<CK_SLOT_ID> slotFromEntryName(const std::string& name) {
    if (name.empty() || (name.size() > 1 && name[0] == '0')) {
        return std::nullopt;
    }
    uint64_t slot = 0;
    if (!parseNumber(name, slot) || slot > static_cast<uint64_t>(~CK_SLOT_ID{0})) {
        return std::nullopt;
    }
    return static_cast<CK_SLOT_ID>(slot);
}

std::string entryName(CK_SLOT_ID slot) {
    return std::to_string(slot);
}

std::optional<std::string> readWholeFile(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string bytes;
    char buffer[8192];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && bytes.size() <= kMaxEntryFileSize) {
        bytes.append(buffer, static_cast<size_t>(n));
    }
    int readError = errno;
    ::close(fd);
    if (n < 0) {
        error = path + ": " + std::strerror(readError);
        return std::nullopt;
    }
    if (bytes.size() > kMaxEntryFileSize) {
        error = path + ": larger than 1 MiB";
        return std::nullopt;
    }
    return bytes;
}

}  // namespace kxsim
