// The standard PKCS#11 entry points. In simulated mode they serve the tokens of the token
// directory; in bridge mode they forward to the module named by KXSIM_BRIDGE_MODULE.

#include "Call.h"
#include "TokenState.h"

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstring>
#include <string>

using kxsim::Call;
using kxsim::Library;
using kxsim::Session;
using kxsim::TokenPtr;

namespace {

const CK_VERSION kLibraryVersion = {2, 0};

CK_FUNCTION_LIST* bridged() {
    return Library::instance().bridgeModule();
}

// Entries of the function list that the simulation does not implement: forwarded in bridge
// mode, CKR_FUNCTION_NOT_SUPPORTED otherwise.
template <auto Member>
struct Unimplemented;

template <typename... Args, CK_RV (*CK_FUNCTION_LIST::*Member)(Args...)>
struct Unimplemented<Member> {
    static CK_RV call(Args... args) {
        CK_FUNCTION_LIST* module = bridged();
        if (module == nullptr || module->*Member == nullptr) {
            return CKR_FUNCTION_NOT_SUPPORTED;
        }
        return (module->*Member)(args...);
    }
};

CK_FUNCTION_LIST* functionList();

CK_RV fillAttributes(const kxsim::TokenObject& object, CK_ATTRIBUTE* pattern, CK_ULONG count) {
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& attribute = pattern[i];
        auto found = object.attributes.find(attribute.type);
        if (found == object.attributes.end()) {
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (attribute.pValue == nullptr) {
            attribute.ulValueLen = found->second.size();
        } else if (attribute.ulValueLen < found->second.size()) {
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
        } else {
            std::memcpy(attribute.pValue, found->second.data(), found->second.size());
            attribute.ulValueLen = found->second.size();
        }
    }
    return rv;
}

CK_STATE sessionState(const Session& session) {
    if (session.token->loggedIn == CKU_SO) {
        return CKS_RW_SO_FUNCTIONS;
    }
    if (session.token->loggedIn == CKU_USER) {
        return session.readWrite() ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    }
    return session.readWrite() ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
}

}  // namespace

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR initArgs) {
    Call call;
    return call.lib.initialize(initArgs);
}

CK_RV C_Finalize(CK_VOID_PTR reserved) {
    if (reserved != nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    Call call;
    return call.lib.finalize(call.lock);
}

CK_RV C_GetInfo(CK_INFO_PTR info) {
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
    kxsim::padField(info->manufacturerID, sizeof info->manufacturerID, "Korvex");
    kxsim::padField(info->libraryDescription, sizeof info->libraryDescription,
                    call.lib.bridge() ? "kxPKCS11 bridge" : "kxPKCS11 simulated tokens");
    info->libraryVersion = kLibraryVersion;
    return CKR_OK;
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    *list = functionList();
    return CKR_OK;
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_GetSlotList(tokenPresent, list, count);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (count == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    call.lib.sync();
    if (auto injected = call.lib.injectedByAnyToken("C_GetSlotList")) {
        return *injected;
    }
    std::vector<CK_SLOT_ID> slots = call.lib.slots().slots(tokenPresent != CK_FALSE);
    CK_ULONG reported = call.lib.reportedSlotCount(slots.size());
    if (list == nullptr) {
        *count = reported;
        return CKR_OK;
    }
    if (*count < reported) {
        *count = reported;
        return CKR_BUFFER_TOO_SMALL;
    }
    // A list that has room for the count it was told gets the slots there are, as many as fit.
    slots.resize(std::min<size_t>(slots.size(), *count));
    std::copy(slots.begin(), slots.end(), list);
    *count = slots.size();
    return CKR_OK;
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_GetSlotInfo(slot, info);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    TokenPtr token;
    CK_RV rv = call.lib.viewedToken(slot, token);
    if (token && token->delay("C_GetSlotInfo")) {
        if (call.delay(token, "C_GetSlotInfo") == CKR_CRYPTOKI_NOT_INITIALIZED) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        // The reader tells of the slot as it is then, also when the token left meanwhile.
        rv = call.lib.viewedToken(slot, token);
    }
    if (rv != CKR_OK && rv != CKR_TOKEN_NOT_PRESENT) {
        return rv;
    }
    if (token) {
        if (auto injected = token->injected("C_GetSlotInfo")) {
            return *injected;
        }
    }
    std::memset(info, 0, sizeof *info);
    kxsim::padField(info->slotDescription, sizeof info->slotDescription,
                    "Korvex virtual reader " + std::to_string(slot));
    kxsim::padField(info->manufacturerID, sizeof info->manufacturerID, "Korvex");
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (token ? CKF_TOKEN_PRESENT : 0);
    if (token) {
        info->hardwareVersion = token->entry().hardware;
        info->firmwareVersion = token->entry().firmware;
    }
    return CKR_OK;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_GetTokenInfo(slot, info);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    TokenPtr token;
    CK_RV rv = call.lib.viewedToken(slot, token);
    if (rv == CKR_OK) {
        rv = call.delay(token, "C_GetTokenInfo");
    }
    if (rv != CKR_OK) {
        return rv;
    }
    if (auto injected = token->injected("C_GetTokenInfo")) {
        return *injected;
    }
    token->fillTokenInfo(*info);
    info->ulSessionCount = call.lib.sessions().count(token.get(), false);
    info->ulRwSessionCount = call.lib.sessions().count(token.get(), true);
    return CKR_OK;
}

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot, CK_VOID_PTR reserved) {
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (slot == nullptr || reserved != nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    return call.lib.waitForSlotEvent(flags, slot, call.lock);
}

CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_GetMechanismList(slot, list, count);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (count == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    TokenPtr token;
    CK_RV rv = call.lib.viewedToken(slot, token);
    if (rv == CKR_OK) {
        *count = 0;  // the simulated tokens only store objects
    }
    return rv;
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_GetMechanismInfo(slot, type, info);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    TokenPtr token;
    CK_RV rv = call.lib.viewedToken(slot, token);
    return rv == CKR_OK ? CKR_MECHANISM_INVALID : rv;
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                    CK_SESSION_HANDLE_PTR session) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_OpenSession(slot, flags, application, notify, session);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (session == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    TokenPtr token;
    CK_RV rv = call.token(slot, "C_OpenSession", token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!(flags & CKF_SERIAL_SESSION)) {
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    }
    if (!(flags & CKF_RW_SESSION) && token->loggedIn == CKU_SO) {
        return CKR_SESSION_READ_WRITE_SO_EXISTS;
    }
    *session = call.lib.sessions().open(token, flags).handle;
    return CKR_OK;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE handle) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_CloseSession(handle);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    Session* session = nullptr;
    CK_RV rv = call.session(handle, "C_CloseSession", session);
    // A session whose token has gone can still be closed.
    if (rv != CKR_OK && rv != CKR_DEVICE_REMOVED) {
        return rv;
    }
    call.lib.sessions().close(handle);
    return CKR_OK;
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slot) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_CloseAllSessions(slot);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    TokenPtr token;
    CK_RV rv = call.lib.viewedToken(slot, token);
    if (rv == CKR_OK) {
        call.lib.sessions().closeAll(token.get());
    }
    return rv;
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_GetSessionInfo(handle, info);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    Session* session = nullptr;
    CK_RV rv = call.lib.liveSession(handle, session);
    if (rv != CKR_OK) {
        return rv;
    }
    info->slotID = session->token->slot();
    info->state = sessionState(*session);
    info->flags = session->flags;
    info->ulDeviceError = 0;
    return CKR_OK;
}

CK_RV C_Login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_Login(handle, user, pin, length);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    Session* session = nullptr;
    CK_RV rv = call.session(handle, "C_Login", session);
    if (rv != CKR_OK) {
        return rv;
    }
    if (user == CKU_CONTEXT_SPECIFIC) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    if (user != CKU_USER && user != CKU_SO) {
        return CKR_USER_TYPE_INVALID;
    }
    if (pin == nullptr && length > 0) {
        return CKR_ARGUMENTS_BAD;
    }
    kxsim::TokenState& token = *session->token;
    if (token.loggedIn) {
        return *token.loggedIn == user ? CKR_USER_ALREADY_LOGGED_IN
                                       : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
    }
    auto& sessions = call.lib.sessions();
    if (user == CKU_SO && sessions.count(&token, false) > sessions.count(&token, true)) {
        return CKR_SESSION_READ_ONLY_EXISTS;
    }
    rv = token.verifyPin(user, std::string(reinterpret_cast<const char*>(pin), length));
    if (rv == CKR_OK) {
        token.loggedIn = user;
    }
    return rv;
}

CK_RV C_Logout(CK_SESSION_HANDLE handle) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_Logout(handle);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    Session* session = nullptr;
    CK_RV rv = call.session(handle, "C_Logout", session);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!session->token->loggedIn) {
        return CKR_USER_NOT_LOGGED_IN;
    }
    session->token->loggedIn.reset();
    return CKR_OK;
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ULONG_PTR size) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_GetObjectSize(handle, object, size);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (size == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    Session* session = nullptr;
    CK_RV rv = call.lib.liveSession(handle, session);
    if (rv != CKR_OK) {
        return rv;
    }
    const kxsim::TokenObject* found = session->token->object(object);
    if (found == nullptr) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    *size = 0;
    for (const auto& [type, value] : found->attributes) {
        *size += value.size();
    }
    return CKR_OK;
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object,
                          CK_ATTRIBUTE_PTR pattern, CK_ULONG count) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_GetAttributeValue(handle, object, pattern, count);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    Session* session = nullptr;
    CK_RV rv = call.session(handle, "C_GetAttributeValue", session);
    if (rv != CKR_OK) {
        return rv;
    }
    if (pattern == nullptr && count > 0) {
        return CKR_ARGUMENTS_BAD;
    }
    const kxsim::TokenObject* found = session->token->object(object);
    if (found == nullptr) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    return fillAttributes(*found, pattern, count);
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR pattern, CK_ULONG count) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_FindObjectsInit(handle, pattern, count);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    Session* session = nullptr;
    CK_RV rv = call.session(handle, "C_FindObjectsInit", session);
    if (rv != CKR_OK) {
        return rv;
    }
    if (pattern == nullptr && count > 0) {
        return CKR_ARGUMENTS_BAD;
    }
    kxsim::FindOperation& find = session->find;
    if (find.active) {
        return CKR_OPERATION_ACTIVE;
    }
    find = kxsim::FindOperation();
    for (const kxsim::TokenObject& object : session->token->objects()) {
        if (object.matches(pattern, count)) {
            find.matches.push_back(object.handle);
        }
    }
    find.active = true;
    return CKR_OK;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maxCount,
                    CK_ULONG_PTR count) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_FindObjects(handle, objects, maxCount, count);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    Session* session = nullptr;
    CK_RV rv = call.session(handle, "C_FindObjects", session);
    if (rv != CKR_OK) {
        return rv;
    }
    if ((objects == nullptr && maxCount > 0) || count == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    kxsim::FindOperation& find = session->find;
    if (!find.active) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    size_t taken = std::min<size_t>(maxCount, find.matches.size() - find.next);
    std::copy_n(find.matches.begin() + static_cast<long>(find.next), taken, objects);
    find.next += taken;
    *count = taken;
    return CKR_OK;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE handle) {
    if (CK_FUNCTION_LIST* module = bridged()) {
        return module->C_FindObjectsFinal(handle);
    }
    Call call;
    if (!call.ready()) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    Session* session = nullptr;
    CK_RV rv = call.session(handle, "C_FindObjectsFinal", session);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!session->find.active) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    session->find = kxsim::FindOperation();
    return CKR_OK;
}

}  // extern "C"

namespace {

#define KXSIM_UNIMPLEMENTED(name) &Unimplemented<&CK_FUNCTION_LIST::name>::call

CK_FUNCTION_LIST* functionList() {
    static CK_FUNCTION_LIST list = {
        {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR},
        C_Initialize,
        C_Finalize,
        C_GetInfo,
        C_GetFunctionList,
        C_GetSlotList,
        C_GetSlotInfo,
        C_GetTokenInfo,
        C_GetMechanismList,
        C_GetMechanismInfo,
        KXSIM_UNIMPLEMENTED(C_InitToken),
        KXSIM_UNIMPLEMENTED(C_InitPIN),
        KXSIM_UNIMPLEMENTED(C_SetPIN),
        C_OpenSession,
        C_CloseSession,
        C_CloseAllSessions,
        C_GetSessionInfo,
        KXSIM_UNIMPLEMENTED(C_GetOperationState),
        KXSIM_UNIMPLEMENTED(C_SetOperationState),
        C_Login,
        C_Logout,
        KXSIM_UNIMPLEMENTED(C_CreateObject),
        KXSIM_UNIMPLEMENTED(C_CopyObject),
        KXSIM_UNIMPLEMENTED(C_DestroyObject),
        C_GetObjectSize,
        C_GetAttributeValue,
        KXSIM_UNIMPLEMENTED(C_SetAttributeValue),
        C_FindObjectsInit,
        C_FindObjects,
        C_FindObjectsFinal,
        KXSIM_UNIMPLEMENTED(C_EncryptInit),
        KXSIM_UNIMPLEMENTED(C_Encrypt),
        KXSIM_UNIMPLEMENTED(C_EncryptUpdate),
        KXSIM_UNIMPLEMENTED(C_EncryptFinal),
        KXSIM_UNIMPLEMENTED(C_DecryptInit),
        KXSIM_UNIMPLEMENTED(C_Decrypt),
        KXSIM_UNIMPLEMENTED(C_DecryptUpdate),
        KXSIM_UNIMPLEMENTED(C_DecryptFinal),
        KXSIM_UNIMPLEMENTED(C_DigestInit),
        KXSIM_UNIMPLEMENTED(C_Digest),
        KXSIM_UNIMPLEMENTED(C_DigestUpdate),
        KXSIM_UNIMPLEMENTED(C_DigestKey),
        KXSIM_UNIMPLEMENTED(C_DigestFinal),
        KXSIM_UNIMPLEMENTED(C_SignInit),
        KXSIM_UNIMPLEMENTED(C_Sign),
        KXSIM_UNIMPLEMENTED(C_SignUpdate),
        KXSIM_UNIMPLEMENTED(C_SignFinal),
        KXSIM_UNIMPLEMENTED(C_SignRecoverInit),
        KXSIM_UNIMPLEMENTED(C_SignRecover),
        KXSIM_UNIMPLEMENTED(C_VerifyInit),
        KXSIM_UNIMPLEMENTED(C_Verify),
        KXSIM_UNIMPLEMENTED(C_VerifyUpdate),
        KXSIM_UNIMPLEMENTED(C_VerifyFinal),
        KXSIM_UNIMPLEMENTED(C_VerifyRecoverInit),
        KXSIM_UNIMPLEMENTED(C_VerifyRecover),
        KXSIM_UNIMPLEMENTED(C_DigestEncryptUpdate),
        KXSIM_UNIMPLEMENTED(C_DecryptDigestUpdate),
        KXSIM_UNIMPLEMENTED(C_SignEncryptUpdate),
        KXSIM_UNIMPLEMENTED(C_DecryptVerifyUpdate),
        KXSIM_UNIMPLEMENTED(C_GenerateKey),
        KXSIM_UNIMPLEMENTED(C_GenerateKeyPair),
        KXSIM_UNIMPLEMENTED(C_WrapKey),
        KXSIM_UNIMPLEMENTED(C_UnwrapKey),
        KXSIM_UNIMPLEMENTED(C_DeriveKey),
        KXSIM_UNIMPLEMENTED(C_SeedRandom),
        KXSIM_UNIMPLEMENTED(C_GenerateRandom),
        KXSIM_UNIMPLEMENTED(C_GetFunctionStatus),
        KXSIM_UNIMPLEMENTED(C_CancelFunction),
        C_WaitForSlotEvent,
    };
    return &list;
}

#undef KXSIM_UNIMPLEMENTED

}  // namespace
