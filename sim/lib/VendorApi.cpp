// The maker's extensions. Simulated tokens answer from their entry; in bridge mode the records
// are neutral: the ISD text is the token's model and serial number, counters and policies are
// zero (no retry limit known, no PIN lifetime set).

#include "Call.h"
#include "TokenState.h"
#include "kxpkcs11.h"

#include <cstring>

using kxsim::Call;
using kxsim::LiveCounter;
using kxsim::TokenPtr;

namespace {

void putLittleEndian64(unsigned char* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// Checks the library state and finds the token a vendor call reaches. In bridge mode token is
// left empty once the module has confirmed the slot holds a token.
CK_RV vendorToken(Call& call, CK_SLOT_ID slot, const char* name, const void* out,
                  TokenPtr& token) {
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (out == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if (kxsim::Bridge* bridge = call.lib.bridge()) {
        CK_TOKEN_INFO info;
        return bridge->tokenInfo(slot, info);
    }
    return call.token(slot, name, token);
}

bool validUserType(CK_ULONG userType) {
    return userType == KX_USER_TYPE_SO || userType == KX_USER_TYPE_USER;
}

const LiveCounter& counterOf(const TokenPtr& token, CK_ULONG userType) {
    return token->counter(userType == KX_USER_TYPE_SO ? CKU_SO : CKU_USER);
}

}  // namespace

extern "C" {

CK_RV KX_GetISD(CK_SLOT_ID slot, unsigned char isd[KX_ISD_SIZE]) {
    Call call;
    TokenPtr token;
    CK_RV rv = vendorToken(call, slot, "KX_GetISD", isd, token);
    if (rv != CKR_OK) {
        return rv;
    }
    std::memset(isd, 0, KX_ISD_SIZE);
    if (token) {
        kxsim::padField(isd, KX_ISD_TEXT_SIZE, token->entry().isd);
        return CKR_OK;
    }
    CK_TOKEN_INFO info;
    call.lib.bridge()->tokenInfo(slot, info);
    std::memcpy(isd, info.model, sizeof info.model);
    std::memcpy(isd + sizeof info.model, info.serialNumber, sizeof info.serialNumber);
    return CKR_OK;
}

CK_RV KX_PKI_ReadPinCounters(CK_SLOT_ID slot, CK_ULONG userType,
                             uint64_t counters[KX_PKI_COUNTER_WORDS]) {
    Call call;
    TokenPtr token;
    CK_RV rv = vendorToken(call, slot, "KX_PKI_ReadPinCounters", counters, token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!validUserType(userType)) {
        return CKR_USER_TYPE_INVALID;
    }
    std::memset(counters, 0, KX_PKI_COUNTER_WORDS * sizeof counters[0]);
    if (token) {
        counters[0] = counterOf(token, userType).left;
        counters[1] = counterOf(token, userType).limit;
    }
    return CKR_OK;
}

CK_RV KX_PJ_GetPinCounters(CK_SLOT_ID slot, CK_ULONG userType,
                           uint64_t counters[KX_PJ_COUNTER_WORDS]) {
    Call call;
    TokenPtr token;
    CK_RV rv = vendorToken(call, slot, "KX_PJ_GetPinCounters", counters, token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!validUserType(userType)) {
        return CKR_USER_TYPE_INVALID;
    }
    std::memset(counters, 0, KX_PJ_COUNTER_WORDS * sizeof counters[0]);
    if (token) {
        counters[0] = counterOf(token, userType).limit;
        counters[1] = counterOf(token, userType).left;
    }
    return CKR_OK;
}

CK_RV KX_CT1_ReadPinCounters(CK_SLOT_ID slot, uint64_t counters[KX_CT1_COUNTER_WORDS]) {
    Call call;
    TokenPtr token;
    CK_RV rv = vendorToken(call, slot, "KX_CT1_ReadPinCounters", counters, token);
    if (rv != CKR_OK) {
        return rv;
    }
    std::memset(counters, 0, KX_CT1_COUNTER_WORDS * sizeof counters[0]);
    if (token) {
        counters[0] = counterOf(token, KX_USER_TYPE_USER).limit;
        counters[1] = counterOf(token, KX_USER_TYPE_USER).left;
        counters[2] = counterOf(token, KX_USER_TYPE_SO).left;
    }
    return CKR_OK;
}

CK_RV KX_TL_ReadPinCounters(CK_SLOT_ID slot, uint64_t counters[KX_TL_COUNTER_WORDS]) {
    Call call;
    TokenPtr token;
    CK_RV rv = vendorToken(call, slot, "KX_TL_ReadPinCounters", counters, token);
    if (rv != CKR_OK) {
        return rv;
    }
    std::memset(counters, 0, KX_TL_COUNTER_WORDS * sizeof counters[0]);
    if (token) {
        counters[0] = counterOf(token, KX_USER_TYPE_USER).limit;
        counters[1] = counterOf(token, KX_USER_TYPE_USER).left;
        counters[2] = counterOf(token, KX_USER_TYPE_SO).limit;
        counters[3] = counterOf(token, KX_USER_TYPE_SO).left;
    }
    return CKR_OK;
}

CK_RV KX_PKI_GetComplexity(CK_SLOT_ID slot, unsigned char record[KX_PKI_COMPLEXITY_SIZE]) {
    Call call;
    TokenPtr token;
    CK_RV rv = vendorToken(call, slot, "KX_PKI_GetComplexity", record, token);
    if (rv != CKR_OK) {
        return rv;
    }
    std::memset(record, 0, KX_PKI_COMPLEXITY_SIZE);
    if (token) {
        const kxsim::PinPolicy& policy = token->entry().policy;
        putLittleEndian64(record + KX_PKI_COMPLEXITY_LIFETIME_DAYS_OFFSET, policy.lifetimeDays);
        std::memcpy(record + KX_PKI_COMPLEXITY_CHANGE_DATE_OFFSET, policy.changeDate.data(),
                    std::min<size_t>(policy.changeDate.size(),
                                     KX_PKI_COMPLEXITY_CHANGE_DATE_SIZE));
    }
    return CKR_OK;
}

CK_RV KX_PJ_GetUserPinPolicy(CK_SLOT_ID slot, unsigned char record[KX_PJ_PIN_POLICY_SIZE]) {
    Call call;
    TokenPtr token;
    CK_RV rv = vendorToken(call, slot, "KX_PJ_GetUserPinPolicy", record, token);
    if (rv != CKR_OK) {
        return rv;
    }
    std::memset(record, 0, KX_PJ_PIN_POLICY_SIZE);
    if (token) {
        const kxsim::PinPolicy& policy = token->entry().policy;
        putLittleEndian64(record + KX_PJ_PIN_POLICY_MAX_AGE_OFFSET, policy.maxAgeDays);
        putLittleEndian64(record + KX_PJ_PIN_POLICY_WARNING_DAYS_OFFSET, policy.warningDays);
    }
    return CKR_OK;
}

CK_RV KX_PJ_GetCapabilities(CK_SLOT_ID slot, unsigned char record[KX_PJ_CAPABILITIES_SIZE]) {
    Call call;
    TokenPtr token;
    CK_RV rv = vendorToken(call, slot, "KX_PJ_GetCapabilities", record, token);
    if (rv != CKR_OK) {
        return rv;
    }
    std::memset(record, 0, KX_PJ_CAPABILITIES_SIZE);
    if (token) {
        putLittleEndian64(record + KX_PJ_CAPABILITIES_PIN_AGE_OFFSET,
                          token->entry().policy.ageDays);
    }
    return CKR_OK;
}

}  // extern "C"
