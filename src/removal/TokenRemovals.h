#pragma once

#include <functional>
#include <string>
#include <vector>

#include "config/DaemonConfig.h"
#include "daemon/StateFile.h"
#include "removal/LockAhead.h"
#include "removal/Removal.h"
#include "removal/RemovalRunner.h"
#include "removal/SystemActions.h"
#include "token/Token.h"

// What the daemon does when a token leaves its reader: each removal on a thread of its own, with
// the lock requests decided ahead for every stored token; what a removal would do, explained;
// and the "lock" command.
class TokenRemovals {
public:
    // Told what each removal did (its time left to the caller), from the removal's thread.
    using Done = std::function<void(CK_SLOT_ID, RemovalOutcome)>;

    TokenRemovals(const DaemonConfig& config, StateFile& stateFile, Done done)
        : config_(config), stateFile_(stateFile), done_(std::move(done)) {}

    // The lock requests decided ahead: kept up to date from start() to stop().
    LockAhead& lockAhead() { return lockAhead_; }
    void start() { lockAhead_.start(); }
    // Cuts the waits of the removals under way short (they lock every session) and waits for
    // them.
    void stop();

    // A token the slot loop saw leave, with its lock requests already sent.
    void removed(CK_SLOT_ID slot, Token::Info info, EarlyLocks early);
    // A token that left while no daemon watched: never a power-off.
    void leftUnseen(CK_SLOT_ID slot, Token::Info info);
    // A slot whose token could not be found out: every session is locked, as configured.
    void lostTrack(CK_SLOT_ID slot, std::string why);

    // Locks (or powers off on) the token's sessions and closes its remote-desktop clients, as
    // configured, taking the answers of the lock requests that left ahead; returns what was
    // done. A token that left while the daemon was not running (not `seen`) never powers the
    // machine off; `requestsSent` runs once its lock requests have gone out.
    RemovalOutcome onTokenEject(const Token::Info& info, const EarlyLocks& early, bool seen = true,
                                std::function<void()> requestsSent = nullptr);
    // What the removal of each token would do now, as JSON (docs/dbus-api.md); never acts.
    std::string explain(const std::vector<Token::Info>& tokens) const;

    // The "lock" command; its exit status: 0 when every session was seen locked.
    static int lockAll();

private:
    // What a removal reads now: the live configuration, and the PAM file, the host, logind and
    // the users' certificates.
    RemovalPlan::Settings settings() const;
    static RemovalPlan::Sources sources();
    RemovalPlan plan(const Token::Info& info) const { return RemovalPlan::of(info, settings(), sources()); }
    void handle(CK_SLOT_ID slot, Token::Info info, EarlyLocks early, bool seen);

    const DaemonConfig& config_;
    StateFile& stateFile_;
    Done done_;
    RemovalRunner runner_;
    LockAhead lockAhead_{[this](const Token::Info& info) { return plan(info); }};
};
