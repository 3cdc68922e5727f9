#pragma once

// The library's process-wide state between C_Initialize and C_Finalize, and the lookups that
// every entry point shares. Entry points hold mutex() while they use it; forwarded calls of
// bridge mode go to the module without it.

#include "Bridge.h"
#include "SessionTable.h"
#include "SlotTable.h"
#include "TokenDirectory.h"

#include <p11-kit/pkcs11.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace kxsim {

// Environment variables read at C_Initialize.
constexpr const char* kTokenDirVariable = "KXSIM_TOKEN_DIR";
constexpr const char* kDefaultTokenDir = "/run/kxsim/tokens";
constexpr const char* kBridgeVariable = "KXSIM_BRIDGE_MODULE";

class Library {
public:
    static Library& instance();

    std::mutex& mutex() { return mutex_; }

    CK_RV initialize(CK_VOID_PTR args);
    CK_RV finalize(std::unique_lock<std::mutex>& lock);
    bool initialized() const { return initialized_; }

    // The module that bridge mode forwards to, null in simulated mode.
    CK_FUNCTION_LIST* bridgeModule() const { return bridgeModule_.load(); }
    Bridge* bridge() const { return bridge_.get(); }

    // Takes in what changed in the token directory since the last call. Once the application
    // takes slot events, entries written meanwhile are parsed only when an event needs them.
    void sync();
    CK_RV waitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID* slot, std::unique_lock<std::mutex>& lock);

    SlotTable& slots() { return slots_; }
    SessionTable& sessions() { return sessions_; }

    // The token the application sees in a slot: CKR_SLOT_ID_INVALID for a slot never seen,
    // CKR_TOKEN_NOT_PRESENT for an empty one.
    CK_RV viewedToken(CK_SLOT_ID slot, TokenPtr& token);
    // As viewedToken, and CKR_DEVICE_REMOVED when it has left the slot since.
    CK_RV liveToken(CK_SLOT_ID slot, TokenPtr& token);
    // CKR_SESSION_HANDLE_INVALID for an unknown or closed session, CKR_DEVICE_REMOVED when its
    // token has left the slot but the application has not taken that event yet.
    CK_RV liveSession(CK_SESSION_HANDLE handle, Session*& session);

    // A failure that any token in view injects for a call that concerns no single token.
    std::optional<CK_RV> injectedByAnyToken(const char* call) const;

private:
    Library() = default;
    CK_RV initializeBridge(const char* module, CK_VOID_PTR args);
    void record(std::vector<DirectoryChange>& changes);
    void closeGoneSessions(const std::vector<TokenPtr>& gone);
    void reset();

    std::mutex mutex_;
    bool initialized_ = false;
    std::unique_ptr<TokenDirectory> directory_;
    SlotTable slots_;
    SessionTable sessions_;
    CK_OBJECT_HANDLE nextObjectHandle_ = 1;
    bool eventMode_ = false;

    std::unique_ptr<Bridge> bridge_;
    std::atomic<CK_FUNCTION_LIST*> bridgeModule_{nullptr};

    // Blocking C_WaitForSlotEvent callers, woken by C_Finalize through wakeFd_.
    int wakeFd_ = -1;
    int waiters_ = 0;
    bool finalizing_ = false;
    std::condition_variable waitersGone_;
};

}  // namespace kxsim
