#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config/DaemonConfig.h"
#include "sessions/SessionMatch.h"
#include "sessions/UserSessions.h"
#include "token/Token.h"

// What a token's removal does to the login sessions, decided from records and settings alone.
// Nothing here acts. A removal carries the plan out through an observer told of each part as it
// is decided; without one, the same plan shows what a removal would do.
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
        bool lock = false;            // a match under the lock setting: asked to lock
        std::vector<Record> records;  // the verdict's, and what follows from a match
        // Matches only because something could not be found out: not asked to lock on its
        // own; every session is locked instead, and never is the machine powered off for it.
        bool unknown = false;
    };

    // Told of each part of the plan the moment it is decided, so that a removal logs it in
    // order with what the sources log, and asks a matching session to lock before the next
    // session is examined.
    class Observer {
    public:
        virtual ~Observer() = default;
        virtual void noted(const Record& record) = 0;
        virtual void examined(const Examined& session) = 0;
    };

    // The configuration a removal reads.
    struct Settings {
        DaemonConfig::TokenEjectActionSystem system =
            DaemonConfig::TokenEjectActionSystem::Undefined;
        DaemonConfig::TokenEjectActionRemote remote =
            DaemonConfig::TokenEjectActionRemote::Inaction;
        bool configExists = true;
        SessionMatch::Settings match;
    };

    // What the plan asks of the machine, each only when the answer can change the plan.
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
                          const Sources& sources, Observer* observer = nullptr);

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
