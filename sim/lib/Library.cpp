#include "Library.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>

namespace kxsim {

namespace {

CK_RV checkInitializeArgs(CK_VOID_PTR args) {
    if (args == nullptr) {
        return CKR_OK;
    }
    const auto* init = static_cast<const CK_C_INITIALIZE_ARGS*>(args);
    if (init->pReserved != nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    int given = (init->CreateMutex != nullptr) + (init->DestroyMutex != nullptr) +
                (init->LockMutex != nullptr) + (init->UnlockMutex != nullptr);
    if (given != 0 && given != 4) {
        return CKR_ARGUMENTS_BAD;
    }
    // Callbacks without CKF_OS_LOCKING_OK would oblige us to lock with them only.
    if (given == 4 && !(init->flags & CKF_OS_LOCKING_OK)) {
        return CKR_CANT_LOCK;
    }
    return CKR_OK;
}

}  // namespace

Library& Library::instance() {
    static Library library;
    return library;
}

CK_RV Library::initialize(CK_VOID_PTR args) {
    if (initialized_) {
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    }
    CK_RV rv = checkInitializeArgs(args);
    if (rv != CKR_OK) {
        return rv;
    }
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        return CKR_HOST_MEMORY;
    }
    const char* module = std::getenv(kBridgeVariable);
    if (module != nullptr && *module != '\0') {
        rv = initializeBridge(module, args);
    } else {
        const char* dir = std::getenv(kTokenDirVariable);
        directory_ = std::make_unique<TokenDirectory>(
            dir != nullptr && *dir != '\0' ? dir : kDefaultTokenDir);
        std::vector<DirectoryChange> changes;
        rv = directory_->open(changes) ? CKR_OK : CKR_FUNCTION_FAILED;
        for (DirectoryChange& change : changes) {
            slots_.record(std::move(change), nextObjectHandle_);
        }
        std::vector<TokenPtr> gone;
        slots_.catchUp(gone);
        slots_.clearEvents();
        if (auto injected = injectedByAnyToken("C_Initialize")) {
            rv = *injected;
        }
    }
    if (rv != CKR_OK) {
        reset();
        return rv;
    }
    initialized_ = true;
    return CKR_OK;
}

CK_RV Library::initializeBridge(const char* module, CK_VOID_PTR args) {
    CK_RV rv = CKR_OK;
    bridge_ = Bridge::open(module, args, rv);
    bridgeModule_ = bridge_ ? bridge_->module() : nullptr;
    return rv;
}

CK_RV Library::finalize(std::unique_lock<std::mutex>& lock) {
    if (!initialized_) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (auto injected = injectedByAnyToken("C_Finalize")) {
        return *injected;
    }
    finalizing_ = true;
    uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    waitersGone_.wait(lock, [this] { return waiters_ == 0; });
    finalizing_ = false;
    CK_RV rv = bridge_ ? bridge_->finalize() : CKR_OK;
    reset();
    return rv;
}

void Library::reset() {
    bridgeModule_ = nullptr;
    bridge_.reset();
    sessions_.clear();
    slots_ = SlotTable();
    directory_.reset();
    eventMode_ = false;
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
    initialized_ = false;
}

void Library::sync() {
    if (!directory_) {
        return;
    }
    std::vector<DirectoryChange> changes;
    directory_->poll(changes);
    if (!eventMode_) {
        while (directory_->read(changes)) {
        }
    }
    record(changes);
    if (!eventMode_) {
        std::vector<TokenPtr> gone;
        slots_.catchUp(gone);
        closeGoneSessions(gone);
    }
}

void Library::record(std::vector<DirectoryChange>& changes) {
    for (DirectoryChange& change : changes) {
        slots_.record(std::move(change), nextObjectHandle_);
    }
    changes.clear();
}

CK_RV Library::waitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID* slot,
                                std::unique_lock<std::mutex>& lock) {
    eventMode_ = true;
    for (;;) {
        CK_RV rv = CKR_NO_EVENT;
        if (bridge_) {
            rv = bridge_->nextEvent(slot);
        } else {
            sync();
            // Parse written entries one at a time, only until an event is ready; the slot whose
            // event comes next is read first, since its event shows the slot as it is now.
            std::vector<DirectoryChange> changes;
            for (;;) {
                std::optional<CK_SLOT_ID> next = slots_.nextEvent();
                if (next && !directory_->unread(*next)) {
                    break;
                }
                if (!directory_->read(changes, next)) {
                    break;
                }
                record(changes);
            }
            std::vector<TokenPtr> gone;
            if (auto changed = slots_.takeEvent(gone)) {
                closeGoneSessions(gone);
                *slot = *changed;
                rv = CKR_OK;
            }
        }
        if (rv != CKR_NO_EVENT || (flags & CKF_DONT_BLOCK)) {
            return rv;
        }
        // Sleep until the directory changes or C_Finalize wakes us; bridge mode and a missing
        // directory can only be looked at again after a while.
        struct pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, POLLIN, 0}};
        bool timed = bridge_ || !directory_->watching();
        if (!timed) {
            fds[1].fd = directory_->descriptor();
        }
        ++waiters_;
        lock.unlock();
        ::poll(fds, 2, timed ? static_cast<int>(Bridge::kPollInterval.count()) : -1);
        lock.lock();
        --waiters_;
        if (finalizing_) {
            waitersGone_.notify_all();
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
    }
}

void Library::closeGoneSessions(const std::vector<TokenPtr>& gone) {
    for (const TokenPtr& token : gone) {
        sessions_.closeAll(token.get());
    }
}

CK_RV Library::viewedToken(CK_SLOT_ID slot, TokenPtr& token) {
    sync();
    if (!slots_.knows(slot)) {
        return CKR_SLOT_ID_INVALID;
    }
    token = slots_.token(slot);
    return token ? CKR_OK : CKR_TOKEN_NOT_PRESENT;
}

CK_RV Library::liveToken(CK_SLOT_ID slot, TokenPtr& token) {
    CK_RV rv = viewedToken(slot, token);
    if (rv == CKR_OK && !slots_.isPresent(token)) {
        rv = CKR_DEVICE_REMOVED;
    }
    return rv;
}

CK_RV Library::liveSession(CK_SESSION_HANDLE handle, Session*& session) {
    sync();
    session = sessions_.find(handle);
    if (session == nullptr) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    return slots_.isPresent(session->token) ? CKR_OK : CKR_DEVICE_REMOVED;
}

std::optional<CK_RV> Library::injectedByAnyToken(const char* call) const {
    for (const TokenPtr& token : slots_.tokens()) {
        if (auto injected = token->injected(call)) {
            return injected;
        }
    }
    return std::nullopt;
}

}  // namespace kxsim
