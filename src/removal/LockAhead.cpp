#include "removal/LockAhead.h"

#include <chrono>

#include "log/KxLogger.h"

void LockAhead::start() {
    worker_.start([this] { run(); });
}

void LockAhead::stop() {
    worker_.stop();
}

void LockAhead::stored(CK_SLOT_ID slot, const Token::Info& token) {
    {
        std::lock_guard<std::mutex> lock(worker_.mutex());
        Entry& entry = entries_[slot];
        entry.token = std::make_shared<const Token::Info>(token);
        entry.prepared.reset();
        entry.due = true;
        entry.version = ++versions_;
    }
    worker_.wake();
}

void LockAhead::refresh() {
    {
        std::lock_guard<std::mutex> lock(worker_.mutex());
        for (auto& [slot, entry] : entries_) {
            entry.due = true;
        }
    }
    worker_.wake();
}

LockAhead::Prepared LockAhead::take(CK_SLOT_ID slot) {
    std::lock_guard<std::mutex> lock(worker_.mutex());
    auto entry = entries_.find(slot);
    if (entry == entries_.end()) {
        return {};
    }
    Prepared prepared = std::move(entry->second.prepared).value_or(Prepared());
    entries_.erase(entry);
    return prepared;
}

std::optional<LockAhead::Prepared> LockAhead::peek(CK_SLOT_ID slot) const {
    std::lock_guard<std::mutex> lock(worker_.mutex());
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
    // Made ahead, the plans log nothing: the removal logs its own.
    const KxLogger::Capture quiet(KxLogger::discard());
    std::unique_lock<std::mutex> lock(worker_.mutex());
    while (!worker_.stopping()) {
        if (planOne(lock)) {
            continue;
        }
        const bool woken = worker_.waitFor(lock, std::chrono::milliseconds(kRefreshMs),
                                           [this] { return anyDue(); });
        if (!woken) {
            for (auto& [slot, entry] : entries_) {
                entry.due = true;
            }
        }
    }
}

bool LockAhead::anyDue() const {
    for (const auto& [slot, entry] : entries_) {
        if (entry.due) {
            return true;
        }
    }
    return false;
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
