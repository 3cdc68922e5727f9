#include "sessions/RemovalPlan.h"

#include <syslog.h>

#include <algorithm>

#include "log/Common.h"

namespace {

using SystemAction = DaemonConfig::TokenEjectActionSystem;
using RemoteAction = DaemonConfig::TokenEjectActionRemote;

}  // namespace

RemovalPlan RemovalPlan::of(const Token::Info& token, const Settings& settings,
                            const Sources& sources, Observer* observer) {
    RemovalPlan plan;
    auto note = [&plan, observer](int level, std::string text) {
        plan.opening.push_back({level, std::move(text)});
        if (observer != nullptr) {
            observer->noted(plan.opening.back());
        }
    };
    plan.closeRemoteClients = settings.remote == RemoteAction::CloseConnection;
    note(LOG_INFO, Common::format("Настроенное действие для удаленного подключения - %s",
                                  DaemonConfig::remoteActionName(settings.remote).c_str()));
    if (!settings.configExists) {
        note(LOG_WARNING, "Конфигурационный файл не найден, выключаем систему");
        plan.action = Action::PowerOff;
        return plan;
    }
    note(LOG_INFO, Common::format("Настроенное действие для системы - %s",
                                  DaemonConfig::systemActionName(settings.system).c_str()));
    if (settings.system != SystemAction::LockSession && settings.system != SystemAction::PowerOff) {
        return plan;
    }
    const std::optional<SessionMatch::AuthType> read = sources.authType();
    if (!read) {
        note(LOG_ERR, "Не удалось определить тип аутентификации, блокируем все сессии");
        plan.action = Action::LockEverything;
        return plan;
    }
    const SessionMatch::AuthType type = *read;
    plan.authType = type;
    note(LOG_INFO, Common::format("Текущий тип аутентификации - %s",
                                  SessionMatch::authTypeName(type).c_str()));
    const SessionMatch::Logon* logon = SessionMatch::logonOf(type);
    if (logon == nullptr) {
        return plan;
    }
    std::optional<std::vector<Session>> sessions = sources.sessions();
    if (!sessions) {
        note(LOG_ERR, "Не удалось получить список сессий пользователей, блокируем все сессии");
        plan.action = Action::LockEverything;
        return plan;
    }
    note(LOG_DEBUG, Common::format("Найдено %d активных сессий пользователей",
                                   static_cast<int>(sessions->size())));
    // Sessions whose user the token names go first, so that the owner's lock request does not
    // wait for the other sessions' database lookups and files. Every session is still looked at.
    std::stable_partition(sessions->begin(), sessions->end(), [&token](const Session& session) {
        return SessionMatch::namesUser(token, session.user);
    });
    const bool powerOff = settings.system == SystemAction::PowerOff;
    for (auto next = sessions->begin(); next != sessions->end(); ++next) {
        Session& session = *next;
        if (sources.complete) {
            sources.complete(session);
        }
        const SessionMatch::Verdict verdict =
            logon->rule(session, token, settings.match, sources.machine);
        const bool positive = verdict.matches && !verdict.unknown;
        Examined examined{session, verdict.matches, positive && !powerOff, {}, verdict.unknown};
        if (!verdict.text.empty()) {
            examined.records.push_back({verdict.level, verdict.text});
        }
        if (verdict.unknown) {
            examined.records.push_back(
                {LOG_WARNING, Common::format("Сессия пользователя %s считается принадлежащей "
                                             "токену, блокируем все сессии",
                                             Common::printable(session.user).c_str())});
            plan.action = Action::LockEverything;
        } else if (positive) {
            examined.records.push_back(
                {LOG_INFO, Common::format("Сессия пользователя %s соответствует токену",
                                          Common::printable(session.user).c_str())});
            if (powerOff) {
                plan.action = Action::PowerOff;
                examined.records.push_back({LOG_INFO, "Выключаем систему"});
            } else if (plan.action != Action::LockEverything) {
                plan.action = Action::LockMatching;
            }
        }
        plan.sessions.push_back(std::move(examined));
        if (observer != nullptr) {
            observer->examined(plan.sessions.back());
        }
        if (plan.action == Action::PowerOff) {
            // The first match decides; later sessions are not looked at.
            plan.unexamined.assign(next + 1, sessions->end());
            break;
        }
    }
    return plan;
}
