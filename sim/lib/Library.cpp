#include "Library.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace kxsim {

namespace {

constexpr char kEventPoll[] = "C_WaitForSlotEvent";

bool asksForOsLocking(CK_VOID_PTR args) {
    return args != nullptr &&
           (static_cast<const CK_C_INITIALIZE_ARGS*>(args)->flags & CKF_OS_LOCKING_OK) != 0;
}

// Milliseconds to the deadline, rounded up so that a sleep never ends before it.
int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

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
        } else if (asksForOsLocking(args)) {
            rv = injectedByAnyToken(kInitializeLockingCall).value_or(rv);
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
    if (!initialized()) {  // also while another thread's C_Finalize waits
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (auto injected = injectedByAnyToken("C_Finalize")) {
        return *injected;
    }
    finalizing_ = true;
    wakeSleepers();
    sleepersGone_.wait(lock, [this] { return sleeping_ == 0; });
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
    grownSlotCount_ = 0;
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
    if (!changes.empty()) {
        wakeSleepers();
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
            if (CK_RV fault = pauseOrFailEventPoll(lock); fault != CKR_OK) {
                return fault;
            }
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
        if (!sleep(lock, std::nullopt)) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
    }
}

CK_RV Library::pauseOrFailEventPoll(std::unique_lock<std::mutex>& lock) {
    // Asked by tokens in the directory, not only in view: the poll must report their removal.
    for (const auto& [slot, present] : slots_.presentTokens()) {
        if (auto delay = present->delay(kEventPoll)) {
            // Once the token has left, the poll goes on and reports it.
            TokenPtr token = present;  // the table may change while the call sleeps
            if (pause(lock, token, *delay) == CKR_CRYPTOKI_NOT_INITIALIZED) {
                return CKR_CRYPTOKI_NOT_INITIALIZED;
            }
            sync();
            break;
        }
    }
    for (const auto& [slot, token] : slots_.presentTokens()) {
        if (auto injected = token->injected(kEventPoll)) {
            // An application that cannot take events sees the slots as they are, as a real
            // library's slot information does not wait for an event nobody can take.
            eventMode_ = false;
            return *injected;
        }
    }
    return CKR_OK;
}

CK_RV Library::pause(std::unique_lock<std::mutex>& lock, const TokenPtr& token,
                     const CallDelay& delay) {
    std::optional<Clock::time_point> deadline;
    if (!delay.forever) {
        deadline = Clock::now() + std::chrono::milliseconds(delay.milliseconds);
    }
    for (;;) {
        if (!stillPresent(token)) {
            return CKR_DEVICE_REMOVED;
        }
        if (deadline && Clock::now() >= *deadline) {
            return CKR_OK;
        }
        if (!sleep(lock, deadline)) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
    }
}

bool Library::stillPresent(const TokenPtr& token) {
    sync();
    if (directory_ && directory_->unread(token->slot())) {
        std::vector<DirectoryChange> changes;
        directory_->read(changes, token->slot());
        record(changes);
    }
    return slots_.isPresent(token);
}

bool Library::sleep(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> deadline) {
    if (finalizing_) {
        return false;
    }
    struct pollfd fds[2] = {{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC), POLLIN, 0}, {-1, POLLIN, 0}};
    const int wake = fds[0].fd;
    bool watching = directory_ && directory_->watching();
    if (watching) {
        fds[1].fd = directory_->descriptor();
    }
    // Bridge mode, a missing directory and a sleeper without an eventfd look again after a
    // while.
    int timeout = watching && wake >= 0 ? -1 : static_cast<int>(Bridge::kPollInterval.count());
    if (deadline) {
        int left = millisecondsUntil(*deadline);
        timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    if (wake >= 0) {
        sleepers_.push_back(wake);
    }
    ++sleeping_;
    lock.unlock();
    ::poll(fds, 2, timeout);
    lock.lock();
    --sleeping_;
    if (wake >= 0) {
        sleepers_.erase(std::find(sleepers_.begin(), sleepers_.end(), wake));
        ::close(wake);
    }
    if (finalizing_) {
        sleepersGone_.notify_all();
        return false;
    }
    return true;
}

void Library::wakeSleepers() {
    const uint64_t one = 1;
    for (int fd : sleepers_) {
        (void)!::write(fd, &one, sizeof one);
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

CK_ULONG Library::reportedSlotCount(CK_ULONG real) {
    for (const TokenPtr& token : slots_.tokens()) {
        if (const auto& count = token->entry().slotCount) {
            if (!count->growing) {
                return count->count;
            }
            grownSlotCount_ = std::max(grownSlotCount_, real) + 1;
            return grownSlotCount_;
        }
    }
    return real;
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
