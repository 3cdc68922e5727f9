#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "daemon/WorkerThread.h"
#include "removal/Removal.h"
#include "removal/SystemActions.h"

// For every stored token, the sessions its removal would lock, decided ahead by the very plan a
// removal makes (quietly), so that at the removal the lock requests leave before anything is
// read, looked up or logged. Kept up to date on a thread of its own: when a token is stored,
// when logind reports a session new or removed, when the configuration is loaded, and every
// kRefreshMs besides (a user may change the certificate file in her home at any moment).
//
// A list that went stale can only make a removal lock more, never less: the removal then makes
// its full decision and asks every further session that matches.
class LockAhead {
public:
    static constexpr int64_t kRefreshMs = 5000;

    // What a removal of the token would ask to lock now.
    struct Prepared {
        std::vector<UserSessions::Session> sessions;
        bool everything = false;  // LockSessions: the sessions cannot be known, or a power-off
    };
    // The plan a removal of the token would make now; run on this class's thread.
    using Planner = std::function<RemovalPlan(const Token::Info&)>;

    explicit LockAhead(Planner planner) : planner_(std::move(planner)) {}
    ~LockAhead() { stop(); }
    LockAhead(const LockAhead&) = delete;
    LockAhead& operator=(const LockAhead&) = delete;

    void start();
    void stop();

    void stored(CK_SLOT_ID slot, const Token::Info& token);
    // What changes every token's list: the sessions, the configuration.
    void refresh();
    // The slot's list, which it no longer holds; empty when none was made yet.
    Prepared take(CK_SLOT_ID slot);
    // The slot's list as it stands; none before it was first made.
    std::optional<Prepared> peek(CK_SLOT_ID slot) const;

    // The requests for a list, sent without waiting for their answers.
    static EarlyLocks send(const Prepared& prepared);
    // The list a plan makes.
    static Prepared of(const RemovalPlan& plan);

private:
    struct Entry {
        std::shared_ptr<const Token::Info> token;
        std::optional<Prepared> prepared;  // none until first made
        bool due = true;
        uint64_t version = 0;  // of the token stored in the slot
    };

    void run();
    // One due entry planned, outside the mutex; false when none is due.
    bool planOne(std::unique_lock<std::mutex>& lock);
    bool anyDue() const;

    Planner planner_;
    // Below the slot loop's nice value (0), so that on a busy machine removals come first; the
    // lists are made well before they are needed. Its mutex guards the entries.
    WorkerThread worker_{"kx-lockahead", 5};
    std::map<CK_SLOT_ID, Entry> entries_;
    uint64_t versions_ = 0;
};
