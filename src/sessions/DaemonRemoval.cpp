// What the daemon does when a token leaves its reader, and the "lock" command.
#include <sys/reboot.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

#include "daemon/Daemon.h"
#include "daemon/ElapsedTimer.h"
#include "log/Common.h"
#include "log/KxLogger.h"

namespace {

using Session = UserSessions::Session;
using SystemAction = DaemonConfig::TokenEjectActionSystem;
using RemoteAction = DaemonConfig::TokenEjectActionRemote;

constexpr const char* kRemoteClient = "xfreerdp";
constexpr const char* kRemoteClientParent = "kxsentrix";
constexpr const char* kMatePanel = "mate-panel";
constexpr int64_t kLockWaitMs = 3000;
constexpr auto kLockCheckPause = std::chrono::milliseconds(100);
constexpr auto kScreenSaverPause = std::chrono::milliseconds(500);
// The lock command looks once more after the fallback: LockSessions only asks the screen
// lockers, which report a moment later.
constexpr int64_t kFallbackWaitMs = 1000;

// True when every session reported locked within the limit; the first look is after a pause.
bool waitUntilLocked(const std::vector<Session>& sessions, int64_t limitMs) {
    ElapsedTimer waiting;
    for (;;) {
        std::this_thread::sleep_for(kLockCheckPause);
        if (waiting.elapsed() > limitMs) {
            return false;
        }
        if (std::all_of(sessions.begin(), sessions.end(), UserSessions::isSessionLocked)) {
            return true;
        }
    }
}

// The last resort when the token's sessions could not be locked one by one: every session,
// and the MATE screensaver of the daemon's own session bus.
void lockEverything() {
    KxLogger::log(LOG_INFO, "Попытка заблокировать все сессии. %d",
                  UserSessions::lockAll() ? 1 : 0);
    if (!Daemon::isMateRunning()) {
        return;
    }
    KxLogger::log(LOG_DEBUG,
                  "Обнаружена запущенная среда Mate, пытаемся отобразить хранитель экрана "
                  "org.mate.ScreenSaver");
    if (UserSessions::mateScreenSaverLock()) {
        KxLogger::log(LOG_DEBUG, "Запуск хранителя экрана [Успех]");
        std::this_thread::sleep_for(kScreenSaverPause);
        KxLogger::log(LOG_INFO, "Статус хранителя экрана - %s",
                      UserSessions::mateIsScreenSaverActive() ? "активен" : "не активен");
    }
}

// Returns only when the power-off failed, after locking everything instead: a machine that
// could not be switched off must not stay open.
void powerOff() {
    sync();
    reboot(RB_POWER_OFF);
    int error = errno;
    KxLogger::log(LOG_ERR, "Не удалось выключить компьютер, error code: %d, error: %s", error,
                  std::strerror(error));
    lockEverything();
}

void closeRemoteClients(const Daemon& daemon, const Token::Info& info) {
    std::vector<Daemon::Process> clients = Daemon::procList(kRemoteClient);
    KxLogger::log(LOG_DEBUG, "Найдено %d активных удаленных подключений",
                  static_cast<int>(clients.size()));
    for (const Daemon::Process& client : clients) {
        if (!daemon.isRdpProcMatchTokenInfo(client, info)) {
            continue;
        }
        KxLogger::log(LOG_INFO,
                      "Завершение процесса удаленного подключения %s с pid %d и его родителя с "
                      "pid %d",
                      Common::printable(client.name).c_str(), client.pid, client.ppid);
        ProcessTable::interrupt(client);
        if (client.ppid <= 0) {
            continue;
        }
        if (ProcessTable::parentName(client) == kRemoteClientParent) {
            ProcessTable::interruptParent(client);
        } else {
            KxLogger::log(LOG_INFO,
                          "Родительский процесс не является процессом sentrix, пропускаем его "
                          "завершение");
        }
    }
}

}  // namespace

void Daemon::onTokenEject(const Token::Info& info) {
    try {
        const RemoteAction remote = config_.tokenEjectActionRemote();
        KxLogger::log(LOG_INFO, "Настроенное действие для удаленного подключения - %s",
                      DaemonConfig::remoteActionName(remote).c_str());
        if (remote == RemoteAction::CloseConnection) {
            closeRemoteClients(*this, info);
        }

        if (!config_.exists()) {
            KxLogger::log(LOG_WARNING, "Конфигурационный файл не найден, выключаем систему");
            powerOff();
            return;
        }
        const SystemAction action = config_.tokenEjectActionSystem();
        KxLogger::log(LOG_INFO, "Настроенное действие для системы - %s",
                      DaemonConfig::systemActionName(action).c_str());
        if (action != SystemAction::LockSession && action != SystemAction::PowerOff) {
            return;
        }
        const AuthType type = authType();
        KxLogger::log(LOG_INFO, "Текущий тип аутентификации - %s", authTypeName(type).c_str());
        if (type == AuthType::NotConfigured) {
            return;
        }

        bool listed = false;
        const std::vector<Session> sessions = UserSessions::sessions(&listed);
        if (!listed) {
            // Which sessions are the token's cannot be known; all of them are locked instead.
            KxLogger::log(LOG_ERR,
                          "Не удалось получить список сессий пользователей, блокируем все сессии");
            lockEverything();
            return;
        }
        KxLogger::log(LOG_DEBUG, "Найдено %d активных сессий пользователей",
                      static_cast<int>(sessions.size()));
        std::vector<Session> locked;
        locked.reserve(sessions.size());
        for (const Session& session : sessions) {
            bool matches = false;
            switch (type) {
                case AuthType::LocalPki:
                    matches = isSessionMatchLocalPki(session, info);
                    break;
                case AuthType::LocalNoPki:
                    matches = isSessionMatchLocalNoPki(session, info);
                    break;
                case AuthType::NetworkPki:
                    matches = isSessionMatchNetworkPki(session, info);
                    break;
                case AuthType::NetworkNoPki:
                    matches = isSessionMatchNetworkNoPki(session, info);
                    break;
                case AuthType::NotConfigured:
                    break;
            }
            if (!matches) {
                continue;
            }
            KxLogger::log(LOG_INFO, "Сессия пользователя %s соответствует токену",
                          Common::printable(session.user).c_str());
            if (action == SystemAction::PowerOff) {
                KxLogger::log(LOG_INFO, "Выключаем систему");
                powerOff();
                return;
            }
            bool requested = UserSessions::lock(session);
            KxLogger::log(LOG_DEBUG, "%s",
                          requested ? "Сессия заблокирована" : "Ошибка блокировки сессии");
            locked.push_back(session);
        }
        if (!locked.empty()) {
            checkSessionsLock(locked);
        }
    } catch (const std::exception& error) {
        // The loop must go on serving removals, and this token's sessions must not stay open.
        KxLogger::log(LOG_ERR, "Ошибка обработки отключения токена. %s",
                      Common::printable(error.what()).c_str());
        lockEverything();
    } catch (...) {
        KxLogger::log(LOG_ERR, "Ошибка обработки отключения токена");
        lockEverything();
    }
}

void Daemon::onUnknownTokenEject(CK_SLOT_ID slot) {
    const SystemAction action = config_.tokenEjectActionSystem();
    if (config_.exists() && action != SystemAction::LockSession &&
        action != SystemAction::PowerOff) {
        return;
    }
    KxLogger::log(LOG_ERR,
                  "Отключено устройство в слоте %lu, неизвестное демону: список слотов получить "
                  "не удалось, поэтому блокируем все сессии",
                  slot);
    lockEverything();
}

bool Daemon::checkSessionsLock(const std::vector<UserSessions::Session>& sessions) {
    ElapsedTimer whole;
    if (waitUntilLocked(sessions, kLockWaitMs)) {
        KxLogger::log(LOG_INFO, "%u сессия пользователей были успешно заблокированы через %d msec",
                      static_cast<unsigned>(sessions.size()), static_cast<int>(whole.elapsed()));
        return true;
    }
    KxLogger::log(LOG_WARNING,
                  "Не удалось заблокировать сессии за отведенное время через "
                  "org.freedesktop.login1.Manager");
    lockEverything();
    return false;
}

bool Daemon::isMateRunning() {
    return !procList(kMatePanel).empty();
}

int Daemon::lockAll() {
    bool listed = false;
    const std::vector<Session> sessions = UserSessions::sessions(&listed);
    for (const Session& session : sessions) {
        UserSessions::lock(session);
    }
    if (!listed) {
        lockEverything();
    } else if (checkSessionsLock(sessions) || waitUntilLocked(sessions, kFallbackWaitMs)) {
        return 0;
    }
    // Reporting success while sessions stay open would let a caller walk away from them.
    const char* failure = listed ? "Не удалось подтвердить блокировку сессий пользователей"
                                 : "Не удалось получить список сессий пользователей";
    KxLogger::log(LOG_ERR, "%s", failure);
    std::fprintf(stderr, "kxsentrixd lock: %s\n", failure);
    return 1;
}
