#include "removal/Removal.h"

#include <syslog.h>

#include <algorithm>

#include "base/Common.h"
#include "log/KxLogger.h"

namespace {

using SystemAction = DaemonConfig::TokenEjectActionSystem;
using RemoteAction = DaemonConfig::TokenEjectActionRemote;
using Session = UserSessions::Session;
using Record = RemovalPlan::Record;

// What the sources log while the plan is made, kept for the plan's records in its place.
class Recorder : public KxLogger::Sink {
public:
    void record(int level, std::string text) override { held_.push_back({level, std::move(text)}); }
    // Appends what was logged since the last call.
    void moveTo(std::vector<Record>& records) {
        records.insert(records.end(), std::make_move_iterator(held_.begin()),
                       std::make_move_iterator(held_.end()));
        held_.clear();
    }

private:
    std::vector<Record> held_;
};

bool locksOrPowersOff(SystemAction action) {
    return action == SystemAction::LockSession || action == SystemAction::PowerOff;
}

// The opening of every plan; false when the configured action ends it there.
bool openPlan(RemovalPlan& plan, const RemovalPlan::Settings& settings) {
    plan.closeRemoteClients = settings.remote == RemoteAction::CloseConnection;
    plan.opening.push_back(
        {LOG_INFO, Common::format("Настроенное действие для удаленного подключения - %s",
                                  DaemonConfig::remoteActionName(settings.remote).c_str())});
    if (!settings.configExists) {
        plan.opening.push_back({LOG_WARNING, "Конфигурационный файл не найден, выключаем систему"});
        plan.action = RemovalPlan::Action::PowerOff;
        return false;
    }
    plan.opening.push_back(
        {LOG_INFO, Common::format("Настроенное действие для системы - %s",
                                  DaemonConfig::systemActionName(settings.system).c_str())});
    return locksOrPowersOff(settings.system);
}

// The rule of the machine's logon; null when it ends the plan (none, or unknown: every
// session is then locked).
const SessionMatch::Logon* logonOf(RemovalPlan& plan, const RemovalPlan::Sources& sources,
                                   Recorder& recorder) {
    const std::optional<SessionMatch::AuthType> read = sources.authType();
    recorder.moveTo(plan.opening);
    if (!read) {
        plan.opening.push_back(
            {LOG_ERR, "Не удалось определить тип аутентификации, блокируем все сессии"});
        plan.action = RemovalPlan::Action::LockEverything;
        return nullptr;
    }
    plan.authType = *read;
    plan.opening.push_back({LOG_INFO, Common::format("Текущий тип аутентификации - %s",
                                                     SessionMatch::authTypeName(*read).c_str())});
    return SessionMatch::logonOf(*read);
}

// Logind's sessions, the token's users first; none when they cannot be had.
std::optional<std::vector<Session>> sessionsOf(RemovalPlan& plan, const Token::Info& token,
                                               const RemovalPlan::Sources& sources,
                                               Recorder& recorder) {
    std::optional<std::vector<Session>> sessions = sources.sessions();
    recorder.moveTo(plan.opening);
    if (!sessions) {
        plan.opening.push_back(
            {LOG_ERR, "Не удалось получить список сессий пользователей, блокируем все сессии"});
        plan.action = RemovalPlan::Action::LockEverything;
        return std::nullopt;
    }
    plan.opening.push_back({LOG_DEBUG, Common::format("Найдено %d активных сессий пользователей",
                                                      static_cast<int>(sessions->size()))});
    // Sessions whose user the token names go first, so that the owner's lock request does not
    // wait for the other sessions' database lookups and files. Every session is still looked at.
    std::stable_partition(sessions->begin(), sessions->end(), [&token](const Session& session) {
        return SessionMatch::namesUser(token, session.user);
    });
    return sessions;
}

RemovalPlan::Examined examine(Session session, const SessionMatch::Logon& logon,
                              const Token::Info& token, const RemovalPlan::Settings& settings,
                              const RemovalPlan::Sources& sources, Recorder& recorder) {
    RemovalPlan::Examined examined;
    if (sources.complete) {
        sources.complete(session);
    }
    const SessionMatch::Verdict verdict =
        logon.rule(session, token, settings.match, sources.machine);
    recorder.moveTo(examined.records);
    const bool powerOff = settings.system == SystemAction::PowerOff;
    examined.matches = verdict.matches;
    examined.unknown = verdict.matches && verdict.unknown;
    examined.lock = verdict.matches && !powerOff && !examined.unknown;
    examined.endIfUnlockable = examined.lock && !verdict.forced && settings.terminateUnlockable;
    examined.reason = verdict.text;
    if (!verdict.text.empty()) {
        examined.records.push_back({verdict.level, verdict.text});
    }
    const std::string user = Common::printable(session.user);
    if (examined.unknown) {
        examined.records.push_back(
            {LOG_WARNING, Common::format("Сессия пользователя %s считается принадлежащей токену, "
                                         "блокируем все сессии",
                                         user.c_str())});
    } else if (verdict.matches) {
        examined.records.push_back(
            {LOG_INFO,
             Common::format("Сессия пользователя %s соответствует токену", user.c_str())});
        if (powerOff) {
            examined.records.push_back({LOG_INFO, "Выключаем систему"});
        }
    }
    examined.session = std::move(session);
    return examined;
}

// What follows from one session's verdict; true when it decides the plan (a power-off).
bool decides(RemovalPlan& plan, const RemovalPlan::Examined& examined) {
    if (!examined.matches) {
        return false;
    }
    if (examined.unknown) {
        // Whose the session is, nobody knows: all sessions are locked, never more.
        if (plan.action != RemovalPlan::Action::PowerOff) {
            plan.action = RemovalPlan::Action::LockEverything;
        }
        return false;
    }
    if (!examined.lock) {
        plan.action = RemovalPlan::Action::PowerOff;
        return true;  // the first match decides; later sessions are not looked at
    }
    if (plan.action == RemovalPlan::Action::None) {
        plan.action = RemovalPlan::Action::LockMatching;
    }
    return false;
}

}  // namespace

RemovalPlan RemovalPlan::of(const Token::Info& token, const Settings& settings,
                            const Sources& sources) {
    RemovalPlan plan;
    if (!openPlan(plan, settings)) {
        return plan;
    }
    if (token.incomplete) {
        // What the record lacks may be what ties the token to a session.
        plan.opening.push_back(
            {LOG_ERR, Common::format("Данные токена в слоте %lu прочитаны не полностью, поэтому "
                                     "блокируем все сессии",
                                     static_cast<unsigned long>(token.slotId))});
        plan.action = Action::LockEverything;
        return plan;
    }
    Recorder recorder;
    const KxLogger::Capture capture(recorder);
    const SessionMatch::Logon* logon = logonOf(plan, sources, recorder);
    if (logon == nullptr) {
        return plan;
    }
    std::optional<std::vector<Session>> sessions = sessionsOf(plan, token, sources, recorder);
    if (!sessions) {
        return plan;
    }
    for (auto next = sessions->begin(); next != sessions->end(); ++next) {
        plan.sessions.push_back(
            examine(std::move(*next), *logon, token, settings, sources, recorder));
        if (decides(plan, plan.sessions.back())) {
            plan.unexamined.assign(std::make_move_iterator(next + 1),
                                   std::make_move_iterator(sessions->end()));
            break;
        }
    }
    return plan;
}

RemovalPlan RemovalPlan::whenUnknown(const Settings& settings, std::string why) {
    RemovalPlan plan;
    if (settings.configExists && !locksOrPowersOff(settings.system)) {
        return plan;
    }
    plan.opening.push_back({LOG_ERR, std::move(why)});
    plan.action = Action::LockEverything;
    return plan;
}

RemovalPlan RemovalPlan::withoutPowerOff(RemovalPlan plan) {
    if (plan.action != Action::PowerOff) {
        return plan;
    }
    // The power-off is announced last: by the opening without a configuration file, else by
    // the session that decided.
    std::vector<Record>& records =
        plan.sessions.empty() ? plan.opening : plan.sessions.back().records;
    if (!records.empty()) {
        records.pop_back();
    }
    records.push_back({LOG_WARNING,
                       "Токен отключен, пока демон не работал: систему не выключаем, "
                       "блокируем все сессии"});
    plan.action = Action::LockEverything;
    plan.unexamined.clear();
    return plan;
}

std::vector<RemovalPlan::Client> RemovalPlan::clientsOf(
    const std::vector<ProcessTable::Process>& running, const Token::Info& token,
    const SessionMatch::Settings& settings) {
    std::vector<Client> clients;
    for (const ProcessTable::Process& process : running) {
        Client client;
        client.process = process;
        client.verdict = SessionMatch::remoteClient(process, token, settings);
        if (client.verdict.matches) {
            client.parentName = ProcessTable::parentName(process);
            client.parent = SessionMatch::clientParent(process, client.parentName);
        }
        clients.push_back(std::move(client));
    }
    return clients;
}

std::vector<UserSessions::Session> RemovalPlan::sessionsToLock() const {
    std::vector<Session> locking;
    for (const Examined& examined : sessions) {
        if (examined.lock) {
            locking.push_back(examined.session);
        }
    }
    return locking;
}

namespace {

// The clients of the token interrupted, each after its records; their number.
uint64_t closeRemoteClients(const Token::Info& token, const RemovalPlan::Settings& settings,
                            RemovalActions& actions) {
    const std::vector<ProcessTable::Process> running = actions.remoteClients();
    actions.note({LOG_DEBUG, Common::format("Найдено %d активных удаленных подключений",
                                            static_cast<int>(running.size()))});
    uint64_t interrupted = 0;
    for (const RemovalPlan::Client& client :
         RemovalPlan::clientsOf(running, token, settings.match)) {
        if (!client.verdict.text.empty()) {
            actions.note({client.verdict.level, client.verdict.text});
        }
        if (client.verdict.matches) {
            actions.interrupt(client);
            ++interrupted;
        }
    }
    return interrupted;
}

// The sessions asked to lock: those to await, and those to end instead.
struct Locking {
    std::vector<Session> awaited, ended;
};

// What logind cannot tell of a session's kind leaves it awaited, as every session without
// the setting is.
Locking lockingOf(const RemovalPlan& plan, RemovalActions& actions) {
    Locking locking;
    for (const RemovalPlan::Examined& examined : plan.sessions) {
        if (!examined.lock) {
            continue;
        }
        std::optional<UserSessions::Kind> kind;
        if (examined.endIfUnlockable) {
            kind = actions.kindOf(examined.session);
        }
        if (kind && !UserSessions::canBeLocked(*kind)) {
            locking.ended.push_back(examined.session);
        } else {
            locking.awaited.push_back(examined.session);
        }
    }
    return locking;
}

// The wait for the sessions to lock and its fallback, then the sessions to end; true when
// every one of them reported locked or was ended.
bool settle(const Locking& locking, RemovalActions& actions) {
    const bool locked = locking.awaited.empty() || actions.awaitLocked(locking.awaited);
    if (!locked) {
        actions.lockEverything();
    }
    bool ended = true;
    for (const Session& session : locking.ended) {
        ended = actions.terminate(session) && ended;
    }
    // A session that could not be ended is open: every session is locked, as far as that goes.
    if (locked && !ended) {
        actions.lockEverything();
    }
    return locked && ended;
}

}  // namespace

RemovalOutcome Removal::carryOut(const Token::Info& token, const RemovalPlan& plan,
                                 const RemovalPlan::Settings& settings, RemovalActions& actions) {
    using Outcome = RemovalOutcome::Outcome;
    RemovalOutcome done;
    for (const RemovalPlan::Record& record : plan.opening) {
        actions.note(record);
    }
    for (const RemovalPlan::Examined& examined : plan.sessions) {
        for (const RemovalPlan::Record& record : examined.records) {
            actions.note(record);
        }
        if (examined.lock) {
            actions.lock(examined.session);
        }
    }
    if (plan.action == RemovalPlan::Action::PowerOff) {
        actions.prepareForPowerOff();
        done.remoteClients =
            plan.closeRemoteClients ? closeRemoteClients(token, settings, actions) : 0;
        actions.powerOff();
        done.outcome = Outcome::PowerOffFailed;  // the machine would be off otherwise
        return done;
    }
    if (plan.action == RemovalPlan::Action::LockEverything) {
        actions.lockEverything();
        done.outcome = Outcome::LockedAll;
    }
    // Only now the per-process work: the sessions have been asked to lock.
    if (plan.closeRemoteClients) {
        done.remoteClients = closeRemoteClients(token, settings, actions);
    }
    const Locking locking = lockingOf(plan, actions);
    if (!locking.awaited.empty() || !locking.ended.empty()) {
        const bool settled = settle(locking, actions);
        done.outcome =
            settled && done.outcome != Outcome::LockedAll ? Outcome::Locked : Outcome::LockedAll;
        done.sessions = locking.awaited.size() + locking.ended.size();
    }
    return done;
}
