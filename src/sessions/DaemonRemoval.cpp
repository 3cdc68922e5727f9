// What the daemon does when a token leaves its reader, and the "lock" command.
#include <sys/reboot.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "daemon/Daemon.h"
#include "daemon/ElapsedTimer.h"
#include "log/Common.h"
#include "log/KxLogger.h"

namespace {

using Session = UserSessions::Session;

constexpr const char* kMatePanel = "mate-panel";
constexpr int64_t kLockWaitMs = 3000;
constexpr auto kLockCheckPause = std::chrono::milliseconds(100);
constexpr auto kScreenSaverPause = std::chrono::milliseconds(500);
// The lock command looks once more after the fallback: LockSessions only asks the screen
// lockers, which report a moment later.
constexpr int64_t kFallbackWaitMs = 1000;
// From the decision to the power-off, whatever the file systems' flush does.
constexpr auto kPowerOffDeadline = std::chrono::milliseconds(2000);
// The request to lock every session before a power-off waits no longer than this for its
// answer, so that the flush still has time before the deadline.
constexpr int kPowerOffLockTimeoutMs = 1000;

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

// The number of clients interrupted.
size_t closeRemoteClients(const Daemon& daemon, const Token::Info& info) {
    std::vector<Daemon::Process> clients = Daemon::procList(SessionMatch::kRemoteClient);
    KxLogger::log(LOG_DEBUG, "Найдено %d активных удаленных подключений",
                  static_cast<int>(clients.size()));
    size_t interrupted = 0;
    for (const Daemon::Process& client : clients) {
        if (!daemon.isRdpProcMatchTokenInfo(client, info)) {
            continue;
        }
        KxLogger::log(LOG_INFO,
                      "Завершение процесса удаленного подключения %s с pid %d и его родителя с "
                      "pid %d",
                      Common::printable(client.name).c_str(), client.pid, client.ppid);
        ProcessTable::interrupt(client);
        ++interrupted;
        // After the client's signal: reading the parent's name must not hold it up.
        switch (SessionMatch::clientParent(client, ProcessTable::parentName(client))) {
            case SessionMatch::ClientParent::Launcher:
                ProcessTable::interruptParent(client);
                break;
            case SessionMatch::ClientParent::Other:
                KxLogger::log(LOG_INFO, "%s", SessionMatch::kParentNotLauncher);
                break;
            case SessionMatch::ClientParent::None:
                break;
        }
    }
    return interrupted;
}

// The file systems flushed on a thread of its own: a slow or hung file system must hold up
// neither the power-off nor, with it, the store's lock. While one flush runs, a later power-off
// waits for the same one instead of starting another that would hang as well.
class Flush {
public:
    Flush() : state_(start()) {}

    // True when the flush ended before the deadline.
    bool finishedBy(std::chrono::steady_clock::time_point deadline) const {
        if (!state_) {
            return false;
        }
        std::unique_lock<std::mutex> lock(state_->mutex);
        return state_->ended.wait_until(lock, deadline, [this] { return state_->done; });
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
    };

    // Null when no thread could be started.
    static std::shared_ptr<State> start() {
        static std::mutex mutex;
        static std::shared_ptr<State> running;
        std::lock_guard<std::mutex> lock(mutex);
        if (running) {
            std::lock_guard<std::mutex> stateLock(running->mutex);
            if (!running->done) {
                return running;
            }
        }
        auto state = std::make_shared<State>();
        try {
            std::thread([state] {
                sync();
                std::lock_guard<std::mutex> stateLock(state->mutex);
                state->done = true;
                state->ended.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            return nullptr;
        }
        running = state;
        return state;
    }

    std::shared_ptr<State> state_;
};

// Locks every session, then powers the machine off by the deadline, flushed or not. Returns only
// when the power-off failed, after locking everything: a machine that could not be switched off
// must not stay open.
// The remote clients interrupted.
size_t powerOff(const Daemon& daemon, const Token::Info& info, const RemovalPlan& plan,
                std::chrono::steady_clock::time_point deadline) {
    KxLogger::log(LOG_INFO, "Попытка заблокировать все сессии. %d",
                  UserSessions::lockAll(kPowerOffLockTimeoutMs) ? 1 : 0);
    const Flush flush;
    const size_t interrupted = plan.closeRemoteClients ? closeRemoteClients(daemon, info) : 0;
    if (!flush.finishedBy(deadline)) {
        KxLogger::log(LOG_WARNING,
                      "Сброс данных на диски не завершился, выключаем систему без него");
    }
    KxLogger::flush(deadline);
    reboot(RB_POWER_OFF);
    int error = errno;
    KxLogger::log(LOG_ERR, "Не удалось выключить компьютер, error code: %d, error: %s", error,
                  std::strerror(error));
    lockEverything();
    return interrupted;
}

// A removal's plan carried out as it is decided: each part logged, each matching session asked
// to lock at once, so its request does not wait for the sessions after it.
class Removal : public RemovalPlan::Observer {
public:
    void noted(const RemovalPlan::Record& record) override {
        KxLogger::log(record.level, "%s", record.text.c_str());
    }

    void examined(const RemovalPlan::Examined& examined) override {
        for (const RemovalPlan::Record& record : examined.records) {
            noted(record);
        }
        if (!examined.lock) {
            return;
        }
        if (!requested_) {
            requested_.emplace();
        }
        bool accepted = UserSessions::lock(examined.session);
        KxLogger::log(LOG_DEBUG, "%s",
                      accepted ? "Сессия заблокирована" : "Ошибка блокировки сессии");
        // A refused request is awaited too: the wait runs out and everything is locked.
        locking_.push_back(examined.session);
    }

    // Whether every session asked to lock reported locked in time (else all were locked).
    bool awaitLocks() const {
        return !requested_ || Daemon::checkSessionsLock(locking_, *requested_);
    }
    size_t asked() const { return locking_.size(); }

private:
    std::optional<ElapsedTimer> requested_;  // from the first lock request
    std::vector<Session> locking_;
};

}  // namespace

StatusReport::Removal Daemon::onTokenEject(const Token::Info& info) {
    using Outcome = StatusReport::Removal::Outcome;
    StatusReport::Removal done;
    try {
        Removal removal;
        const RemovalPlan plan = planRemoval(info, &removal);
        const auto decided = std::chrono::steady_clock::now();
        switch (plan.action) {
            case RemovalPlan::Action::PowerOff:
                done.remoteClients = powerOff(*this, info, plan, decided + kPowerOffDeadline);
                done.outcome = Outcome::PowerOffFailed;
                return done;
            case RemovalPlan::Action::LockEverything:
                lockEverything();
                done.outcome = Outcome::LockedAll;
                break;
            case RemovalPlan::Action::LockMatching:
            case RemovalPlan::Action::None:
                break;
        }
        // Only now the per-process work: the sessions have been asked to lock.
        if (plan.closeRemoteClients) {
            done.remoteClients = closeRemoteClients(*this, info);
        }
        if (removal.asked() != 0) {
            done.outcome = removal.awaitLocks() ? Outcome::Locked : Outcome::LockedAll;
            done.sessions = removal.asked();
        }
    } catch (const std::exception& error) {
        // The loop must go on serving removals, and this token's sessions must not stay open.
        KxLogger::log(LOG_ERR, "Ошибка обработки отключения токена. %s",
                      Common::printable(error.what()).c_str());
        lockEverything();
        done.outcome = Outcome::LockedAll;
    } catch (...) {
        KxLogger::log(LOG_ERR, "Ошибка обработки отключения токена");
        lockEverything();
        done.outcome = Outcome::LockedAll;
    }
    return done;
}

StatusReport::Removal Daemon::onUnknownTokenEject(CK_SLOT_ID slot) {
    StatusReport::Removal done;
    done.known = false;
    const DaemonConfig::TokenEjectActionSystem action = config_.tokenEjectActionSystem();
    if (config_.exists() && action != DaemonConfig::TokenEjectActionSystem::LockSession &&
        action != DaemonConfig::TokenEjectActionSystem::PowerOff) {
        return done;
    }
    KxLogger::log(LOG_ERR,
                  "Отключено устройство в слоте %lu, неизвестное демону: список слотов получить "
                  "не удалось, поэтому блокируем все сессии",
                  slot);
    lockEverything();
    done.outcome = StatusReport::Removal::Outcome::LockedAll;
    return done;
}

bool Daemon::checkSessionsLock(const std::vector<UserSessions::Session>& sessions,
                               const ElapsedTimer& sinceRequests) {
    if (waitUntilLocked(sessions, kLockWaitMs)) {
        KxLogger::log(LOG_INFO, "%u сессия пользователей были успешно заблокированы через %d msec",
                      static_cast<unsigned>(sessions.size()),
                      static_cast<int>(sinceRequests.elapsed()));
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
    const ElapsedTimer requested;
    for (const Session& session : sessions) {
        UserSessions::lock(session);
    }
    if (!listed) {
        lockEverything();
    } else if (checkSessionsLock(sessions, requested) ||
               waitUntilLocked(sessions, kFallbackWaitMs)) {
        return 0;
    }
    // Reporting success while sessions stay open would let a caller walk away from them.
    const char* failure = listed ? "Не удалось подтвердить блокировку сессий пользователей"
                                 : "Не удалось получить список сессий пользователей";
    KxLogger::log(LOG_ERR, "%s", failure);
    std::fprintf(stderr, "kxsentrixd lock: %s\n", failure);
    return 1;
}
