#include "removal/LockAhead.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>

#include "daemon/SignalStack.h"
#include "log/KxLogger.h"

namespace {

// Below the slot loop's (0), so that on a busy machine removals come first; the lists are
// made well before they are needed.
constexpr int kPlanNice = 5;

}  // namespace

void LockAhead::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) {
        return;
    }
    stopping_ = false;
    thread_ = std::thread(&LockAhead::run, this);
}

void LockAhead::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void LockAhead::stored(CK_SLOT_ID slot, const Token::Info& token) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Entry& entry = entries_[slot];
        entry.token = std::make_shared<const Token::Info>(token);
        entry.prepared.reset();
        entry.due = true;
        entry.version = ++versions_;
    }
    changed_.notify_all();
}

void LockAhead::refresh() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [slot, entry] : entries_) {
            entry.due = true;
        }
    }
    changed_.notify_all();
}

LockAhead::Prepared LockAhead::take(CK_SLOT_ID slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto entry = entries_.find(slot);
    if (entry == entries_.end()) {
        return {};
    }
    Prepared prepared = std::move(entry->second.prepared).value_or(Prepared());
    entries_.erase(entry);
    return prepared;
}

std::optional<LockAhead::Prepared> LockAhead::peek(CK_SLOT_ID slot) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto entry = entries_.find(slot);
    return entry != entries_.end() ? entry->second.prepared : std::nullopt;
}

EarlyLocks LockAhead::send(const Prepared& prepared) {
    EarlyLocks early;
    if (prepared.everything) {
        early.all = UserSessions::lockAllLater();
    }
    for (const UserSessions::Session& session : prepared.sessions) {
        early.sessions.emplace(session.id, UserSessions::lockLater(session));
    }
    return early;
}

LockAhead::Prepared LockAhead::of(const RemovalPlan& plan) {
    Prepared prepared;
    switch (plan.action) {
        case RemovalPlan::Action::None:
            break;
        case RemovalPlan::Action::LockMatching:
            prepared.sessions = plan.sessionsToLock();
            break;
        case RemovalPlan::Action::PowerOff:
        case RemovalPlan::Action::LockEverything:
            prepared.everything = true;
            break;
    }
    return prepared;
}

void LockAhead::run() {
    pthread_setname_np(pthread_self(), "kx-lockahead");
    SignalStack signalStack;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kPlanNice);
    // Made ahead, the plans log nothing: the removal logs its own.
    const KxLogger::Capture quiet(KxLogger::discard());
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (planOne(lock)) {
            continue;
        }
        const bool woken = changed_.wait_for(lock, std::chrono::milliseconds(kRefreshMs), [this] {
            if (stopping_) {
                return true;
            }
            for (const auto& [slot, entry] : entries_) {
                if (entry.due) {
                    return true;
                }
            }
            return false;
        });
        if (!woken) {
            for (auto& [slot, entry] : entries_) {
                entry.due = true;
            }
        }
    }
}

bool LockAhead::planOne(std::unique_lock<std::mutex>& lock) {
    for (auto& [slot, entry] : entries_) {
        if (!entry.due) {
            continue;
        }
        entry.due = false;  // set again should anything change while it is planned
        const CK_SLOT_ID planned = slot;
        const uint64_t version = entry.version;
        const std::shared_ptr<const Token::Info> token = entry.token;
        lock.unlock();
        Prepared prepared;
        try {
            prepared = of(planner_(*token));
        } catch (...) {
            prepared.everything = true;  // whose the sessions are cannot be told now
        }
        lock.lock();
        auto now = entries_.find(planned);
        if (now != entries_.end() && now->second.version == version) {
            now->second.prepared = std::move(prepared);
        }
        return true;
    }
    return false;
}
