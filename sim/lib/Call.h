#pragma once

// What every entry point does first: take the library lock and look the library up.

#include "Library.h"

#include <mutex>

namespace kxsim {

class Call {
public:
    Call() : lib(Library::instance()), lock(lib.mutex()) {}

    bool ready() const { return lib.initialized(); }

    // The session and its token's injected failure for this call, if any. A slow token keeps
    // the call first; the session is looked up again after that, since it may have closed.
    CK_RV session(CK_SESSION_HANDLE handle, const char* name, Session*& found) {
        CK_RV rv = lib.liveSession(handle, found);
        if (rv != CKR_OK) {
            return rv;
        }
        if (TokenPtr token = found->token; token->delay(name)) {
            rv = delay(token, name);
            if (rv == CKR_OK) {
                rv = lib.liveSession(handle, found);
            }
            if (rv != CKR_OK) {
                return rv;
            }
        }
        return found->token->injected(name).value_or(CKR_OK);
    }

    // The token in a slot for a call that reaches it, and the injected failure if any.
    CK_RV token(CK_SLOT_ID slot, const char* name, TokenPtr& found) {
        CK_RV rv = lib.liveToken(slot, found);
        if (rv == CKR_OK) {
            rv = delay(found, name);
        }
        if (rv != CKR_OK) {
            return rv;
        }
        return found->injected(name).value_or(CKR_OK);
    }

    // Keeps the call for as long as the token's entry delays it, without the library lock:
    // CKR_OK once that has passed with the token still in its slot.
    CK_RV delay(const TokenPtr& token, const char* name) {
        auto delay = token->delay(name);
        return delay ? lib.pause(lock, token, *delay) : CKR_OK;
    }

    Library& lib;
    std::unique_lock<std::mutex> lock;
};

}  // namespace kxsim
