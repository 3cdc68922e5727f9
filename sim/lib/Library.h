#pragma once

// The library's process-wide state between C_Initialize and C_Finalize, and the lookups that
// every entry point shares. Entry points hold mutex() while they use it, and let it go only
// while they sleep (a slow token's delay, a blocking wait for slot events), so threads may call
// at the same time whatever C_Initialize was given; forwarded calls of bridge mode go to the
// module without it.

#include "Bridge.h"
#include "SessionTable.h"
#include "SlotTable.h"
#include "TokenDirectory.h"

#include <p11-kit/pkcs11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

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
    // False from the start of C_Finalize on.
    bool initialized() const { return initialized_ && !finalizing_; }

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
    // The number of slots C_GetSlotList reports when it has `real` of them: a token in view
    // may make it say another.
    CK_ULONG reportedSlotCount(CK_ULONG real);

    // Keeps a call of the token as a slow card does, without the lock: until the delay has
    // passed (CKR_OK), the token has left its slot (CKR_DEVICE_REMOVED) or C_Finalize has
    // begun (CKR_CRYPTOKI_NOT_INITIALIZED).
    CK_RV pause(std::unique_lock<std::mutex>& lock, const TokenPtr& token, const CallDelay& delay);

private:
    using Clock = std::chrono::steady_clock;

    Library() = default;
    CK_RV initializeBridge(const char* module, CK_VOID_PTR args);
    void record(std::vector<DirectoryChange>& changes);
    void closeGoneSessions(const std::vector<TokenPtr>& gone);
    void reset();
    // The slow or failing event poll that a token in the directory asks for.
    CK_RV pauseOrFailEventPoll(std::unique_lock<std::mutex>& lock);
    // Whether the token is still in its slot; an entry written over it is read first.
    bool stillPresent(const TokenPtr& token);
    // Sleeps without the lock until the directory changes, another call takes a change in,
    // C_Finalize begins (then false) or the deadline passes.
    bool sleep(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> deadline);
    void wakeSleepers();

    std::mutex mutex_;
    bool initialized_ = false;
    std::unique_ptr<TokenDirectory> directory_;
    SlotTable slots_;
    SessionTable sessions_;
    CK_OBJECT_HANDLE nextObjectHandle_ = 1;
    bool eventMode_ = false;

    std::unique_ptr<Bridge> bridge_;
    std::atomic<CK_FUNCTION_LIST*> bridgeModule_{nullptr};

    CK_ULONG grownSlotCount_ = 0;  // the last count that a growing slot list reported

    // Calls asleep without the lock, each woken through its own eventfd: by a change another
    // call takes in (it may have read the directory's notice first) and by C_Finalize, which
    // waits until every one has left.
    std::vector<int> sleepers_;
    int sleeping_ = 0;
    bool finalizing_ = false;
    std::condition_variable sleepersGone_;
};

}  // namespace kxsim
