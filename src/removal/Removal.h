#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config/DaemonConfig.h"
#include "sessions/ProcessTable.h"
#include "sessions/SessionMatch.h"
#include "sessions/UserSessions.h"
#include "token/Token.h"

// What a token's removal does, as one path: first the decision, made from the settings, the
// machine's logon, logind's sessions and the token's record (RemovalPlan::of, which acts on
// nothing), then the actions it asks for, carried out in their order through RemovalActions
// (Removal::carryOut). The daemon's actions lock, signal and power off; the explanation's only
// write down what would be done, so an explanation follows the very path a removal takes.

// The decision.
struct RemovalPlan {
    using Session = UserSessions::Session;

    enum class Action {
        None,            // no session is touched
        LockMatching,    // each matching session is asked to lock, then awaited
        PowerOff,        // all sessions are asked to lock, then the machine goes off
        LockEverything,  // the token's sessions cannot be known: all of them are locked
    };

    struct Record {
        int level;
        std::string text;
    };

    // One session as the rule of the machine's logon saw it.
    struct Examined {
        Session session;
        bool matches = false;
        bool lock = false;     // a match under the lock setting: asked to lock
        bool unknown = false;  // it matched only because something could not be found out
        // Locked on what the token holds (not forced), under the setting that ends a session no
        // screen locker can lock: ended instead of awaited when it turns out to be one.
        bool endIfUnlockable = false;
        std::string reason;  // the rule's record, when it has one
        // What was logged while it was looked at (its account, its file), then its verdict's
        // records and what follows from a match.
        std::vector<Record> records;
    };

    // One running remote-desktop client as the removal sees it.
    struct Client {
        ProcessTable::Process process;
        SessionMatch::Verdict verdict;
        // For a client to interrupt: whether its parent goes too.
        SessionMatch::ClientParent parent = SessionMatch::ClientParent::None;
        std::string parentName;
    };

    // The configuration a removal reads.
    struct Settings {
        DaemonConfig::TokenEjectActionSystem system =
            DaemonConfig::TokenEjectActionSystem::Undefined;
        DaemonConfig::TokenEjectActionRemote remote =
            DaemonConfig::TokenEjectActionRemote::Inaction;
        bool configExists = true;
        bool terminateUnlockable = false;
        SessionMatch::Settings match;
    };

    // What the decision asks of the machine, each only when the answer can change it. What the
    // sources log while they answer becomes part of the plan's records, in its place.
    struct Sources {
        // The machine's logon; none when it could not be read.
        std::function<std::optional<SessionMatch::AuthType>()> authType;
        // Logind's sessions, as listed; none when logind could not be asked.
        std::function<std::optional<std::vector<Session>>()> sessions;
        // Completes a listed session from the user and group database before its rule runs.
        std::function<void(Session&)> complete;
        SessionMatch::Machine machine;
    };

    static RemovalPlan of(const Token::Info& token, const Settings& settings,
                          const Sources& sources);
    // What the daemon could not find out may hide a removal (a token that left before it was
    // read, a slot whose state is unknown): every session is locked, with `why` as the error
    // record, when a removal would lock or power off.
    static RemovalPlan whenUnknown(const Settings& settings, std::string why);
    // The plan for a token that left while the daemon was not running: at most a lock, since
    // a power-off at every start after a pull would keep the machine from ever staying up. One
    // that would power off locks every session instead, in place of the power-off's record.
    static RemovalPlan withoutPowerOff(RemovalPlan plan);
    // The clients among `running` that belong to the token, with the records of the decision.
    static std::vector<Client> clientsOf(const std::vector<ProcessTable::Process>& running,
                                         const Token::Info& token,
                                         const SessionMatch::Settings& settings);
    // The sessions the removal asks to lock one by one.
    std::vector<Session> sessionsToLock() const;

    Action action = Action::None;
    bool closeRemoteClients = false;
    // The machine's logon, when the plan had to know it.
    std::optional<SessionMatch::AuthType> authType;
    std::vector<Record> opening;  // what comes before the sessions
    // In the order looked at: those whose user the token names first, each group in logind's
    // order; with PowerOff only up to the first match, which decides.
    std::vector<Examined> sessions;
    // With PowerOff, the sessions after the one that decided, which no rule looks at.
    std::vector<Session> unexamined;
};

// What a removal did, for the daemon's status.
struct RemovalOutcome {
    enum class Outcome {
        Nothing,         // no session was to be locked
        Locked,          // the token's sessions were locked (`sessions` of them)
        LockedAll,       // they could not be confirmed locked, or known: all were locked
        PowerOffFailed,  // the power-off was refused; all sessions were locked
    };
    int64_t at = 0;
    CK_SLOT_ID slot = 0;
    bool known = true;  // the store held the token (else its slot list could not be had)
    Outcome outcome = Outcome::Nothing;
    uint64_t sessions = 0;
    uint64_t remoteClients = 0;  // interrupted
};

// The actions a plan asks for, each of which logs what it did.
class RemovalActions {
public:
    using Session = UserSessions::Session;

    virtual ~RemovalActions() = default;
    // One of the removal's records.
    virtual void note(const RemovalPlan::Record& record) = 0;
    // Asks logind to lock the session.
    virtual void lock(const Session& session) = 0;
    // Every session, and the MATE screen saver of the daemon's own session.
    virtual void lockEverything() = 0;
    // Whether the sessions reported locked within the wait.
    virtual bool awaitLocked(const std::vector<Session>& sessions) = 0;
    // logind's word on what kind of session it is; none when it did not tell.
    virtual std::optional<UserSessions::Kind> kindOf(const Session& session) = 0;
    // Asks logind to end a session that cannot be locked; false when it did not.
    virtual bool terminate(const Session& session) = 0;
    // The remote-desktop clients running now.
    virtual std::vector<ProcessTable::Process> remoteClients() = 0;
    // Interrupts a client of the token, and its parent when that is the launcher.
    virtual void interrupt(const RemovalPlan::Client& client) = 0;
    // Asks every session to lock and starts the file systems' flush, for the power-off next.
    virtual void prepareForPowerOff() = 0;
    // Powers the machine off; returns only when that failed.
    virtual void powerOff() = 0;
};

namespace Removal {

// Carries the plan out: the records in order, each matching session asked to lock, or every
// session, or the power-off; the remote-desktop clients of the token; then the wait for the
// sessions to report locked, with its fallback; last, under the setting, the token's sessions
// that no screen locker can lock are ended (they are not awaited: they never report locked).
RemovalOutcome carryOut(const Token::Info& token, const RemovalPlan& plan,
                        const RemovalPlan::Settings& settings, RemovalActions& actions);

}  // namespace Removal
