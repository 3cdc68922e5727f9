#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/UntrustedFile.h"

// The daemon's view of who is logged in: systemd-logind's sessions completed from the user and
// group database, logind's lock calls, and the MATE screensaver. The logind calls share one
// system bus connection, kept from the first call (or connect()) on and made anew when the bus
// has closed it; each screensaver call asks GIO for the session bus at that moment.
class UserSessions {
public:
    struct Session {
        std::string id;
        std::string path;   // logind's object path of the session
        std::string user;   // logind's user name up to its first "@"
        std::string gecos;  // from the user database; empty without an entry
        uint32_t uid = 0;
        std::string home;  // from the user database; empty without an entry
        bool isLocal = false;
        std::vector<std::string> groups;
        // What the account's own files are read with, from the same lookups as `groups`; none
        // before the session is completed or when the database could not tell them.
        std::optional<UntrustedFile::Rights> rights;
        std::string loginName;  // the user name as logind gave it, "@" and all
        // The database failed to tell the account's entry or some of its groups (a service
        // that is down answers so): who the user is and what exempts them cannot be known.
        bool membershipUnknown = false;
    };

    // The user and group database as one removal sees it: each account and group is looked up
    // once, however many sessions share it. Kept for one removal only, since the database may
    // change between two.
    class Accounts {
    public:
        struct Account {
            uint32_t uid = 0;
            std::optional<std::string> name;
            std::string home, gecos;
            uint32_t gid = 0;
            bool groupsListed = false;  // groupIds holds the account's groups
            std::vector<uint32_t> groupIds;
        };

        struct Group {
            uint32_t gid = 0;
            std::vector<std::string> members;
        };

        // Null when the database has no entry for the uid, or could not answer: `failure` then
        // holds its error (0 for "no such entry").
        const Account* account(uint32_t uid, int& failure);
        // Null when the database has no name for the group, or could not answer (as above).
        const std::string* groupName(uint32_t gid, int& failure);
        // The group of this name; null as above.
        const Group* group(const std::string& name, int& failure);

    private:
        // What one lookup found, or why it found nothing.
        template <typename Value>
        struct Found {
            std::optional<Value> value;
            int failure = 0;
        };

        std::map<uint32_t, Found<Account>> accounts_;
        std::map<uint32_t, Found<std::string>> groupNames_;
        std::map<std::string, Found<Group>> groups_;
        std::vector<char> buffer_;
    };

    // Connects to the system bus now, so that the first removal does not wait for it; false
    // when there is no bus yet, and the next call tries again. Reads login.defs' limit of local
    // uids too (once for the process), so that what is wrong with it is logged at the start.
    static bool connect();
    // Sessions of ordinary users, in logind's order; none when logind could not be asked (or
    // the user database failed while they were completed).
    static std::optional<std::vector<Session>> sessions();
    // The same as logind gave them: id, path, user, uid, and isLocal by that uid; complete()
    // adds what the user and group database say, when a session is about to be looked at.
    static std::optional<std::vector<Session>> listed();
    // Completes a listed session from the database, logging what it lacks.
    static void complete(Session& session, Accounts& accounts);
    // Whether the session's user is a member of the named group, asked of the group database by
    // that name: the group list of a completed session may lack a group whose service failed,
    // since getgrouplist() passes over a failing service without a word. False when there is no
    // such group; none (after a warning) when the database could not tell.
    static std::optional<bool> isMember(const Session& session, const std::string& group,
                                        Accounts& accounts);
    // True when logind accepted the request, not that the screen is locked yet.
    static bool lock(const Session& session);
    // How long a lock request or a lock-state read waits for logind's answer: it answers at
    // once when it is well, and GDBus's own 25 s would hold a removal for as long when it is not.
    static constexpr int kLockTimeoutMs = 1000;
    // The same for the session listing.
    static constexpr int kListTimeoutMs = 2000;

    // True when logind accepted the request within the timeout, in milliseconds.
    static bool lockAll(int timeoutMs = kLockTimeoutMs);
    // A lock request sent without waiting for logind's answer, so that the next request leaves
    // at once; the answer is asked for when it is needed. Answers arrive on the thread that
    // startEvents() runs; without it, the request is made when its answer is asked for.
    class Request {
    public:
        struct State;
        Request() = default;
        explicit Request(std::shared_ptr<State> state) : state_(std::move(state)) {}
        // As lock() and lockAll() answer: true when logind accepted the request. Waits for the
        // answer at most as long as the request may take; logs a failure as they do.
        bool accepted() const;
        bool sent() const { return state_ != nullptr; }

    private:
        std::shared_ptr<State> state_;
    };
    static Request lockLater(const Session& session);
    static Request lockAllLater();
    // Runs the thread that takes the answers to requests and logind's signals: `changed` runs
    // there whenever logind reports a session new or removed, and after the bus connection was
    // made anew (sessions may have changed meanwhile). Until stopEvents().
    static void startEvents(std::function<void()> changed);
    static void stopEvents();

    // Only logind's LockedHint confirms a lock: an idle session or one in the background is
    // still open.
    static bool isSessionLocked(const Session& session);

    // What logind tells of a session's kind.
    struct Kind {
        std::string type;  // logind's Type: "x11", "wayland", "tty", "unspecified", ...
        bool remote = false;
    };
    // Whether a screen locker can lock a session of this kind. A text session has none: a tty
    // login, or a remote one of no display type (ssh), never reports locked. Any other type,
    // known or not, counts as one that can.
    static bool canBeLocked(const Kind& kind);
    // The session's kind as logind has it now; none when logind did not tell both.
    static std::optional<Kind> kindOf(const Session& session);
    // Asks logind to end the session; true when it accepted the request.
    static bool terminate(const Session& session);
    static bool mateScreenSaverLock();
    static bool mateIsScreenSaverActive();

    // The digits of the first login.defs line that holds UID_MAX, blanks and a number (a
    // commented-out line and SYS_UID_MAX count too); empty when no line does.
    static std::string uidMaxText(const std::string& loginDefs);

private:
    static uint32_t maxLocalUid();
};
