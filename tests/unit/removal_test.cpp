// A removal's decision and the steps it takes, from settings and sources alone: what a removal
// does when every source answers, and when one fails (it must fail closed: lock every session,
// never power off on what could not be found out).
#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "removal/Removal.h"

namespace {

using System = DaemonConfig::TokenEjectActionSystem;
using Action = RemovalPlan::Action;
using Session = UserSessions::Session;

Session session(const std::string& id, const std::string& user) {
    Session made;
    made.id = id;
    made.user = user;
    made.uid = 1001;
    made.home = "/home/" + user;
    made.isLocal = true;
    return made;
}

// The token holds ivanov's certificate; what each user keeps in ~/.eid is below.
Token::Info ivanovsToken() {
    Token::Info token;
    token.certs = {
        {"\x01", "logon", Certificate("ivanov", "", "", "CA", "", "", "", "AB01", false)}};
    return token;
}

std::optional<Certificate> usersCertificate(const Session& s) {
    if (s.user == "unread") {
        return std::nullopt;  // the daemon could not read it
    }
    return Certificate("", "", "", "", "", "", "", s.user == "ivanov" ? "AB01" : "CD02", false);
}

// A session's kind by its id: "tty..." a text login, "ssh..." a remote one without a display
// type, any other a graphical one.
UserSessions::Kind kindOfId(const std::string& id) {
    if (id.rfind("tty", 0) == 0) {
        return {"tty", false};
    }
    return id.rfind("ssh", 0) == 0 ? UserSessions::Kind{"unspecified", true}
                                   : UserSessions::Kind{"x11", false};
}

// Writes each step down instead of taking it.
class Steps : public RemovalActions {
public:
    void note(const RemovalPlan::Record& record) override {
        if (record.level <= LOG_WARNING) {
            taken.push_back("record " + record.text);
        }
    }
    void lock(const Session& s) override { taken.push_back("lock " + s.id); }
    void lockEverything() override { taken.push_back("lockEverything"); }
    bool awaitLocked(const std::vector<Session>& sessions) override {
        std::string ids;
        for (const Session& s : sessions) {
            ids += " " + s.id;
        }
        taken.push_back("await" + ids);
        return locks;
    }
    std::optional<UserSessions::Kind> kindOf(const Session& s) override {
        taken.push_back("kindOf " + s.id);
        return kindOfId(s.id);
    }
    bool terminate(const Session& s) override {
        taken.push_back("terminate " + s.id);
        return terminates;
    }
    std::vector<ProcessTable::Process> remoteClients() override { return {}; }
    void interrupt(const RemovalPlan::Client& client) override {
        taken.push_back("interrupt " + std::to_string(client.process.pid));
    }
    void prepareForPowerOff() override { taken.push_back("prepareForPowerOff"); }
    void powerOff() override { taken.push_back("powerOff"); }

    bool locks = true;
    bool terminates = true;
    std::vector<std::string> taken;
};

const std::string kUnread =
    "record Сессия пользователя unread, uid 1001, home '/home/unread' соответствует токену т. к. "
    "его сертификат не удалось проверить";
const std::string kUnreadCounts =
    "record Сессия пользователя unread считается принадлежащей токену, блокируем все сессии";

// Settings and answers beside the action.
enum Extra : unsigned {
    kNone = 0,
    kTerminate = 1,         // terminateUnlockableSessions
    kForced = 2,            // forceSessionMatch
    kTerminateRefused = 4,  // logind refuses TerminateSession
};

struct DecisionCase {
    const char* name;
    unsigned extra;
    System system;
    bool configExists;
    bool logonReadable;
    bool sessionsListed;
    std::vector<Session> sessions;  // in logind's order
    bool locksInTime;
    Action action;
    std::vector<std::string> steps;
};

const DecisionCase kDecisions[] = {
    {"LockAsksTheOwnersSessionFirstThenWaits",
     kNone,
     System::LockSession,
     true,
     true,
     true,
     {session("c2", "petrov"), session("c1", "ivanov")},
     true,
     Action::LockMatching,
     {"lock c1", "await c1"}},
    {"LockNotConfirmedLocksEverything",
     kNone,
     System::LockSession,
     true,
     true,
     true,
     {session("c1", "ivanov")},
     false,
     Action::LockMatching,
     {"lock c1", "await c1", "lockEverything"}},
    {"NoMatchTouchesNothing",
     kNone,
     System::LockSession,
     true,
     true,
     true,
     {session("c2", "petrov")},
     true,
     Action::None,
     {}},
    {"NothingConfiguredTouchesNothing",
     kNone,
     System::Inaction,
     true,
     false,
     false,
     {session("c1", "ivanov")},
     true,
     Action::None,
     {}},
    {"PowerOffAtTheFirstMatch",
     kTerminate,
     System::PowerOff,
     true,
     true,
     true,
     {session("tty1", "ivanov"), session("tty3", "ivanov")},
     true,
     Action::PowerOff,
     {"prepareForPowerOff", "powerOff"}},
    {"NoConfigurationPowersOff",
     kNone,
     System::LockSession,
     false,
     false,
     false,
     {},
     true,
     Action::PowerOff,
     {"record Конфигурационный файл не найден, выключаем систему", "prepareForPowerOff",
      "powerOff"}},
    // What could not be found out counts as the token's: every session is locked.
    {"LogonUnreadableLocksEverything",
     kNone,
     System::PowerOff,
     true,
     false,
     true,
     {session("c1", "ivanov")},
     true,
     Action::LockEverything,
     {"record Не удалось определить тип аутентификации, блокируем все сессии", "lockEverything"}},
    {"SessionsUnlistedLockEverything",
     kNone,
     System::LockSession,
     true,
     true,
     false,
     {},
     true,
     Action::LockEverything,
     {"record Не удалось получить список сессий пользователей, блокируем все сессии",
      "lockEverything"}},
    {"UnreadCertificateLocksEverythingBesideTheOwner",
     kNone,
     System::LockSession,
     true,
     true,
     true,
     {session("c4", "unread"), session("c1", "ivanov")},
     true,
     Action::LockEverything,
     {"lock c1", kUnread, kUnreadCounts, "lockEverything", "await c1"}},
    {"UnreadCertificateNeverPowersOff",
     kNone,
     System::PowerOff,
     true,
     true,
     true,
     {session("c4", "unread"), session("c2", "petrov")},
     true,
     Action::LockEverything,
     {kUnread, kUnreadCounts, "lockEverything"}},
    {"PowerOffStaysForWhatMatches",
     kNone,
     System::PowerOff,
     true,
     true,
     true,
     {session("c4", "unread"), session("c1", "ivanov")},
     true,
     Action::PowerOff,
     {"prepareForPowerOff", "powerOff"}},
    // Under terminateUnlockableSessions, the owner's text sessions (a tty, ssh) are ended
    // instead of awaited; a graphical one that does not report locked is not, nor is another
    // user's.
    {"TheOwnersTextSessionsAreEndedAfterTheWait",
     kTerminate,
     System::LockSession,
     true,
     true,
     true,
     {session("tty2", "petrov"), session("tty1", "ivanov"), session("c1", "ivanov"),
      session("ssh1", "ivanov")},
     false,
     Action::LockMatching,
     {"lock tty1", "lock c1", "lock ssh1", "kindOf tty1", "kindOf c1", "kindOf ssh1", "await c1",
      "lockEverything", "terminate tty1", "terminate ssh1"}},
    {"WithoutTheSettingATextSessionIsAwaited",
     kNone,
     System::LockSession,
     true,
     true,
     true,
     {session("tty1", "ivanov")},
     false,
     Action::LockMatching,
     {"lock tty1", "await tty1", "lockEverything"}},
    {"ForcedMatchesAreNeverEnded",
     kTerminate | kForced,
     System::LockSession,
     true,
     true,
     true,
     {session("tty1", "ivanov"), session("tty2", "petrov")},
     false,
     Action::LockMatching,
     {"lock tty1", "lock tty2", "await tty1 tty2", "lockEverything"}},
    {"WhatCouldNotBeFoundOutIsNeverEnded",
     kTerminate,
     System::LockSession,
     true,
     true,
     true,
     {session("tty4", "unread"), session("tty1", "ivanov")},
     true,
     Action::LockEverything,
     {"lock tty1", kUnread, kUnreadCounts, "lockEverything", "kindOf tty1", "terminate tty1"}},
    {"AnEndRefusedLocksEverything",
     kTerminate | kTerminateRefused,
     System::LockSession,
     true,
     true,
     true,
     {session("tty1", "ivanov")},
     true,
     Action::LockMatching,
     {"lock tty1", "kindOf tty1", "terminate tty1", "lockEverything"}},
};

RemovalPlan planFor(System system, bool configExists, bool logonReadable, bool sessionsListed,
                    const std::vector<Session>& sessions, RemovalPlan::Settings& settings) {
    settings.system = system;
    settings.configExists = configExists;
    settings.match.debug = false;
    RemovalPlan::Sources sources;
    sources.authType = [logonReadable]() -> std::optional<SessionMatch::AuthType> {
        if (!logonReadable) {
            return std::nullopt;
        }
        return SessionMatch::AuthType::LocalPki;
    };
    sources.sessions = [sessionsListed, sessions]() -> std::optional<std::vector<Session>> {
        if (!sessionsListed) {
            return std::nullopt;
        }
        return sessions;
    };
    sources.machine.userCertificate = usersCertificate;
    return RemovalPlan::of(ivanovsToken(), settings, sources);
}

TEST(RemovalTest, DecidesAndActsAsConfiguredAndFailsClosed) {
    for (const DecisionCase& c : kDecisions) {
        SCOPED_TRACE(c.name);
        RemovalPlan::Settings settings;
        settings.match.forceSessionMatch = (c.extra & kForced) != 0;
        settings.terminateUnlockable = (c.extra & kTerminate) != 0;
        const RemovalPlan plan = planFor(c.system, c.configExists, c.logonReadable,
                                         c.sessionsListed, c.sessions, settings);
        Steps steps;
        steps.locks = c.locksInTime;
        steps.terminates = (c.extra & kTerminateRefused) == 0;
        Removal::carryOut(ivanovsToken(), plan, settings, steps);
        EXPECT_EQ(plan.action, c.action);
        EXPECT_EQ(steps.taken, c.steps);
    }
}

// A token that left while the daemon was not running never powers the machine off: a power-off
// becomes a lock of every session, in place of its record; any other plan stays as it was.
TEST(RemovalTest, ATokenThatLeftUnseenIsLockedNeverPoweredOff) {
    const std::string unseen =
        "record Токен отключен, пока демон не работал: систему не выключаем, блокируем все сессии";
    const struct {
        const char* name;
        System system;
        bool configExists;
        Session session;
        std::vector<std::string> steps;
    } cases[] = {
        {"PowerOffAtAMatch",
         System::PowerOff,
         true,
         session("c1", "ivanov"),
         {unseen, "lockEverything"}},
        {"NoConfiguration",
         System::LockSession,
         false,
         session("c1", "ivanov"),
         {unseen, "lockEverything"}},
        {"PowerOffWithoutAMatch", System::PowerOff, true, session("c2", "petrov"), {}},
        {"LockStaysALock",
         System::LockSession,
         true,
         session("c1", "ivanov"),
         {"lock c1", "await c1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemovalPlan::Settings settings;
        const RemovalPlan plan = RemovalPlan::withoutPowerOff(
            planFor(c.system, c.configExists, true, true, {c.session}, settings));
        Steps steps;
        Removal::carryOut(ivanovsToken(), plan, settings, steps);
        EXPECT_EQ(steps.taken, c.steps);
        for (const RemovalPlan::Examined& examined : plan.sessions) {
            for (const RemovalPlan::Record& record : examined.records) {
                EXPECT_NE(record.text, "Выключаем систему");
            }
        }
    }
}

// By logind's Type alone: a text login, or a remote session without a display type (ssh).
TEST(RemovalTest, OnlyTextSessionsCannotBeLocked) {
    const struct {
        const char* type;
        bool remote;
        bool lockable;
    } kinds[] = {{"tty", false, false},        {"tty", true, false}, {"unspecified", true, false},
                 {"unspecified", false, true}, {"x11", true, true},  {"wayland", false, true},
                 {"mir", false, true},         {"web", true, true},  {"", true, true}};
    for (const auto& k : kinds) {
        SCOPED_TRACE(std::string(k.type) + (k.remote ? " remote" : ""));
        EXPECT_EQ(UserSessions::canBeLocked({k.type, k.remote}), k.lockable);
    }
}

// The token owner's session is looked at first, whatever logind's order: the others' lookups
// and files cannot hold its lock up. Every session is still looked at, each completed from the
// user database only when its turn comes; with power-off, the first match ends the look.
TEST(RemovalTest, TheTokensOwnSessionsComeFirstAndAreCompletedInTurn) {
    for (auto system : {System::LockSession, System::PowerOff}) {
        const bool powerOff = system == System::PowerOff;
        SCOPED_TRACE(powerOff ? "PowerOff" : "LockSession");
        RemovalPlan::Settings settings;
        settings.system = system;
        std::vector<std::string> completed;
        RemovalPlan::Sources sources;
        sources.authType = [] { return SessionMatch::AuthType::LocalPki; };
        sources.sessions = [] {
            return std::optional(std::vector<Session>{
                session("c2", "petrov"), session("c1", "ivanov"), session("c3", "sidorov")});
        };
        sources.complete = [&completed](Session& s) { completed.push_back(s.user); };
        sources.machine.userCertificate = usersCertificate;
        const RemovalPlan plan = RemovalPlan::of(ivanovsToken(), settings, sources);

        std::vector<std::string> examined;
        for (const RemovalPlan::Examined& e : plan.sessions) {
            examined.push_back(e.session.user + (e.lock ? " locked" : ""));
        }
        if (powerOff) {
            EXPECT_EQ(examined, std::vector<std::string>({"ivanov"}));
            EXPECT_EQ(completed, std::vector<std::string>({"ivanov"}));
            EXPECT_EQ(plan.unexamined.size(), 2u);
        } else {
            EXPECT_EQ(examined, std::vector<std::string>({"ivanov locked", "petrov", "sidorov"}));
            EXPECT_EQ(completed, std::vector<std::string>({"ivanov", "petrov", "sidorov"}));
        }
    }
}

}  // namespace
