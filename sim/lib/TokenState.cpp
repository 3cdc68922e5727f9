#include "TokenState.h"

#include "Der.h"

#include <algorithm>
#include <cstring>

namespace kxsim {

namespace {

std::string ulongBytes(CK_ULONG value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string boolBytes(bool value) {
    return std::string(1, value ? CK_TRUE : CK_FALSE);
}

TokenObject certificateObject(const CertificateEntry& certificate) {
    TokenObject object;
    auto& a = object.attributes;
    a[CKA_CLASS] = ulongBytes(CKO_CERTIFICATE);
    a[CKA_CERTIFICATE_TYPE] = ulongBytes(CKC_X_509);
    a[CKA_CERTIFICATE_CATEGORY] = ulongBytes(0);
    a[CKA_TOKEN] = boolBytes(true);
    a[CKA_PRIVATE] = boolBytes(false);
    a[CKA_MODIFIABLE] = boolBytes(false);
    a[CKA_TRUSTED] = boolBytes(false);
    a[CKA_ID] = certificate.id;
    a[CKA_LABEL] = certificate.label;
    if (certificate.value) {
        a[CKA_VALUE] = *certificate.value;
        if (auto fields = readCertificateFields(*certificate.value)) {
            a[CKA_SUBJECT] = fields->subject;
            a[CKA_ISSUER] = fields->issuer;
            a[CKA_SERIAL_NUMBER] = fields->serial;
        }
    }
    return object;
}

TokenObject profileObject(const ProfileEntry& profile) {
    TokenObject object;
    auto& a = object.attributes;
    a[CKA_CLASS] = ulongBytes(kProfileClass);
    a[CKA_TOKEN] = boolBytes(true);
    a[CKA_PRIVATE] = boolBytes(false);
    a[CKA_MODIFIABLE] = boolBytes(false);
    a[CKA_LABEL] = profile.user + "@" + profile.domain;
    a[kProfileUserAttribute] = profile.user;
    a[kProfileDomainAttribute] = profile.domain;
    return object;
}

LiveCounter liveCounter(const PinCounter& counter) {
    return {counter.limit, counter.initialLeft()};
}

CK_FLAGS counterFlags(const LiveCounter& counter, CK_FLAGS low, CK_FLAGS finalTry,
                      CK_FLAGS locked) {
    if (counter.limit == 0) {
        return 0;
    }
    if (counter.left == 0) {
        return locked;
    }
    CK_FLAGS flags = counter.left < counter.limit ? low : 0;
    return counter.left == 1 ? flags | finalTry : flags;
}

}  // namespace

bool TokenObject::matches(const CK_ATTRIBUTE* pattern, CK_ULONG count) const {
    for (CK_ULONG i = 0; i < count; ++i) {
        auto found = attributes.find(pattern[i].type);
        if (found == attributes.end() || found->second.size() != pattern[i].ulValueLen) {
            return false;
        }
        if (pattern[i].ulValueLen > 0 &&
            (pattern[i].pValue == nullptr ||
             std::memcmp(found->second.data(), pattern[i].pValue, pattern[i].ulValueLen) != 0)) {
            return false;
        }
    }
    return true;
}

TokenState::TokenState(CK_SLOT_ID slot, TokenEntry entry, CK_OBJECT_HANDLE& nextHandle)
    : slot_(slot),
      entry_(std::move(entry)),
      user_(liveCounter(entry_.userCounter)),
      so_(liveCounter(entry_.soCounter)) {
    for (const CertificateEntry& certificate : entry_.certificates) {
        objects_.push_back(certificateObject(certificate));
    }
    for (const ProfileEntry& profile : entry_.profiles) {
        objects_.push_back(profileObject(profile));
    }
    for (TokenObject& object : objects_) {
        object.handle = nextHandle++;
    }
}

const TokenObject* TokenState::object(CK_OBJECT_HANDLE handle) const {
    for (const TokenObject& object : objects_) {
        if (object.handle == handle) {
            return &object;
        }
    }
    return nullptr;
}

std::optional<CK_RV> TokenState::injected(const char* call) const {
    auto found = entry_.failures.find(call);
    if (found == entry_.failures.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<CallDelay> TokenState::delay(const char* call) const {
    auto found = entry_.delays.find(call);
    if (found == entry_.delays.end()) {
        return std::nullopt;
    }
    return found->second;
}

const LiveCounter& TokenState::counter(CK_USER_TYPE user) const {
    return user == CKU_SO ? so_ : user_;
}

LiveCounter& TokenState::triesOf(CK_USER_TYPE user) {
    return user == CKU_SO ? so_ : user_;
}

CK_RV TokenState::verifyPin(CK_USER_TYPE user, const std::string& pin) {
    const std::optional<std::string>& expected = user == CKU_SO ? entry_.soPin : entry_.userPin;
    if (user == CKU_USER && !expected) {
        return CKR_USER_PIN_NOT_INITIALIZED;
    }
    LiveCounter& tries = triesOf(user);
    if (tries.limit > 0 && tries.left == 0) {
        return CKR_PIN_LOCKED;
    }
    if (expected && pin == *expected) {
        tries.left = tries.limit;
        return CKR_OK;
    }
    if (tries.limit > 0) {
        --tries.left;
    }
    return CKR_PIN_INCORRECT;
}

void TokenState::fillTokenInfo(CK_TOKEN_INFO& info) const {
    std::memset(&info, 0, sizeof info);
    padField(info.label, sizeof info.label, entry_.label);
    padField(info.manufacturerID, sizeof info.manufacturerID, entry_.manufacturer);
    padField(info.model, sizeof info.model, entry_.model);
    padField(info.serialNumber, sizeof info.serialNumber, entry_.serial);
    info.flags = CKF_TOKEN_INITIALIZED;
    if (entry_.userPin) {
        info.flags |= CKF_USER_PIN_INITIALIZED;
    }
    info.flags |=
        counterFlags(user_, CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED);
    info.flags |= counterFlags(so_, CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED);
    info.ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info.ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info.ulMaxPinLen = 64;
    info.ulMinPinLen = 1;
    info.ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info.hardwareVersion = entry_.hardware;
    info.firmwareVersion = entry_.firmware;
    padField(info.utcTime, sizeof info.utcTime, "");
}

void padField(unsigned char* field, size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

}  // namespace kxsim
