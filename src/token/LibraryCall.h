#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

#include "token/kxpkcs11.h"

// Every call of the vendor library goes through here. The library is asked to lock for its
// callers itself (C_Initialize with CKF_OS_LOCKING_OK, as PKCS#11 offers threaded callers), so
// the slot loop's calls run beside the token reader's and a slow card holds up its own read
// only. A library that refuses (CKR_CANT_LOCK) or fails when so asked is started as before, with
// null arguments, which promise it one caller at a time: then each call holds serial() for
// that one call, so a thread waits for at most one call of the other, never for a whole read.
// C_Initialize and C_Finalize never run beside another call (the standard leaves that
// undefined): they take calls() whole, which every call holds shared.
// Lock order: the token store's mutex may be held when these are taken, never the other way.
class LibraryCall {
public:
    template <typename Function, typename... Arguments>
    static CK_RV run(Function function, Arguments&&... arguments) {
        std::shared_lock<std::shared_timed_mutex> call(calls());
        std::unique_lock<std::mutex> oneAtATime(serial(), std::defer_lock);
        if (serialisedFlag().load(std::memory_order_relaxed)) {
            oneAtATime.lock();
        }
        return function(std::forward<Arguments>(arguments)...);
    }

    // Starts the library, with its own locking when it has it. When it fell back to serialised
    // calls, lockingRefused holds the library's answer to the request for its locking.
    static CK_RV initialize(CK_RV& lockingRefused) {
        std::lock_guard<std::shared_timed_mutex> alone(calls());
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        lockingRefused = C_Initialize(&args);
        CK_RV rv = lockingRefused == CKR_OK ? CKR_OK : C_Initialize(nullptr);
        serialisedFlag() = rv == CKR_OK && lockingRefused != CKR_OK;
        return rv;
    }

    // C_Finalize's answer once a call still in progress on another thread (a slow card's) has
    // ended; nothing when it has not ended within kFinalizeWait, and then the library is left
    // as it is: the process is ending, and its resources go with it.
    static std::optional<CK_RV> finalize() {
        std::unique_lock<std::shared_timed_mutex> alone(calls(), std::defer_lock);
        if (!alone.try_lock_for(kFinalizeWait)) {
            return std::nullopt;
        }
        return C_Finalize(nullptr);
    }

    // True while the library runs without its own locking, one call at a time.
    static bool serialised() { return serialisedFlag(); }

    // Generous for a slow card's single call, well inside the service manager's stop timeout.
    static constexpr std::chrono::seconds kFinalizeWait{5};

private:
    static std::shared_timed_mutex& calls() {
        static std::shared_timed_mutex instance;
        return instance;
    }
    static std::mutex& serial() {
        static std::mutex instance;
        return instance;
    }
    // Written only while calls() is held whole.
    static std::atomic<bool>& serialisedFlag() {
        static std::atomic<bool> instance{false};
        return instance;
    }
};
