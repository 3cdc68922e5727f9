#include "removal/SystemActions.h"

#include <sys/reboot.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/Common.h"
#include "log/KxLogger.h"

namespace {

constexpr const char* kMatePanel = "mate-panel";
constexpr int64_t kLockWaitMs = 3000;
constexpr auto kLockCheckPause = std::chrono::milliseconds(100);
constexpr auto kScreenSaverPause = std::chrono::milliseconds(500);
// From the decision to the power-off, whatever the file systems' flush does.
constexpr auto kPowerOffDeadline = std::chrono::milliseconds(2000);
// The request to lock every session before a power-off waits no longer than this for its
// answer, so that the flush still has time before the deadline.
constexpr int kPowerOffLockTimeoutMs = 1000;

}  // namespace

// The file systems flushed on a thread of its own: a slow or hung file system must not hold up
// the power-off. While one flush runs, a later power-off waits for the same one instead of
// starting another that would hang as well.
class SystemActions::Flush {
public:
    // Null when no thread could be started.
    static std::shared_ptr<Flush> start() {
        static std::mutex mutex;
        static std::shared_ptr<Flush> running;
        std::lock_guard<std::mutex> lock(mutex);
        if (running && !running->finishedBy(std::chrono::steady_clock::now())) {
            return running;
        }
        auto flush = std::make_shared<Flush>();
        try {
            std::thread([flush] {
                sync();
                std::lock_guard<std::mutex> stateLock(flush->mutex_);
                flush->done_ = true;
                flush->ended_.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            return nullptr;
        }
        running = flush;
        return flush;
    }

    // True when the flush ended before the deadline.
    bool finishedBy(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return ended_.wait_until(lock, deadline, [this] { return done_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
};

SystemActions::SystemActions(EarlyLocks early, const std::atomic<bool>* stopping)
    : early_(std::move(early)), stopping_(stopping) {
    if (!early_.empty()) {
        sinceRequests_ = early_.since;
    }
}

void SystemActions::note(const RemovalPlan::Record& record) {
    KxLogger::log(record.level, "%s", record.text.c_str());
}

void SystemActions::lock(const Session& session) {
    if (!sinceRequests_) {
        sinceRequests_.emplace();
    }
    auto early = early_.sessions.find(session.id);
    bool accepted = false;
    if (early != early_.sessions.end()) {
        accepted = early->second.accepted();
        early_.sessions.erase(early);
    } else {
        accepted = UserSessions::lock(session);
    }
    KxLogger::log(LOG_DEBUG, "%s", accepted ? "Сессия заблокирована" : "Ошибка блокировки сессии");
}

bool SystemActions::lockAll(int timeoutMs) {
    if (early_.all.sent()) {
        const bool accepted = early_.all.accepted();
        early_.all = {};
        return accepted;
    }
    return UserSessions::lockAll(timeoutMs);
}

void SystemActions::requestsSent() {
    if (sent_) {
        std::function<void()> sent = std::move(sent_);
        sent_ = nullptr;
        sent();
    }
}

void SystemActions::lockEverything() {
    const bool accepted = lockAll(UserSessions::kLockTimeoutMs);
    requestsSent();
    KxLogger::log(LOG_INFO, "Попытка заблокировать все сессии. %d", accepted ? 1 : 0);
    if (!isMateRunning()) {
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

bool SystemActions::waitUntilLocked(const std::vector<Session>& sessions, int64_t limitMs,
                                    const std::atomic<bool>* stopping) {
    ElapsedTimer waiting;
    for (;;) {
        std::this_thread::sleep_for(kLockCheckPause);
        if (waiting.elapsed() > limitMs || (stopping != nullptr && *stopping)) {
            return false;
        }
        if (std::all_of(sessions.begin(), sessions.end(), UserSessions::isSessionLocked)) {
            return true;
        }
    }
}

bool SystemActions::confirmLocked(const std::vector<Session>& sessions,
                                  const ElapsedTimer& sinceRequests,
                                  const std::atomic<bool>* stopping) {
    if (waitUntilLocked(sessions, kLockWaitMs, stopping)) {
        KxLogger::log(LOG_INFO, "%u сессия пользователей были успешно заблокированы через %d msec",
                      static_cast<unsigned>(sessions.size()),
                      static_cast<int>(sinceRequests.elapsed()));
        return true;
    }
    KxLogger::log(LOG_WARNING,
                  "Не удалось заблокировать сессии за отведенное время через "
                  "org.freedesktop.login1.Manager");
    return false;
}

bool SystemActions::awaitLocked(const std::vector<Session>& sessions) {
    requestsSent();
    return confirmLocked(sessions, sinceRequests_.value_or(ElapsedTimer()), stopping_);
}

std::optional<UserSessions::Kind> SystemActions::kindOf(const Session& session) {
    return UserSessions::kindOf(session);
}

bool SystemActions::terminate(const Session& session) {
    const std::string user = Common::printable(session.user);
    const std::string id = Common::printable(session.id);
    if (!UserSessions::terminate(session)) {
        KxLogger::log(LOG_ERR,
                      "Не удалось завершить сессию пользователя %s (%s), которую нельзя "
                      "заблокировать",
                      user.c_str(), id.c_str());
        return false;
    }
    KxLogger::log(LOG_INFO, "Сессия пользователя %s (%s) завершена: её нельзя заблокировать",
                  user.c_str(), id.c_str());
    return true;
}

std::vector<ProcessTable::Process> SystemActions::remoteClients() {
    return ProcessTable::list(SessionMatch::kRemoteClient);
}

void SystemActions::interrupt(const RemovalPlan::Client& client) {
    const ProcessTable::Process& process = client.process;
    KxLogger::log(LOG_INFO,
                  "Завершение процесса удаленного подключения %s с pid %d и его родителя с pid %d",
                  Common::printable(process.name).c_str(), process.pid, process.ppid);
    ProcessTable::interrupt(process);
    switch (client.parent) {
        case SessionMatch::ClientParent::Launcher:
            ProcessTable::interruptParent(process);
            break;
        case SessionMatch::ClientParent::Other:
            KxLogger::log(LOG_INFO, "%s", SessionMatch::kParentNotLauncher);
            break;
        case SessionMatch::ClientParent::None:
            break;
    }
}

void SystemActions::prepareForPowerOff() {
    powerOffDeadline_ = std::chrono::steady_clock::now() + kPowerOffDeadline;
    const bool accepted = lockAll(kPowerOffLockTimeoutMs);
    requestsSent();
    KxLogger::log(LOG_INFO, "Попытка заблокировать все сессии. %d", accepted ? 1 : 0);
    flush_ = Flush::start();
}

void SystemActions::powerOff() {
    if (!flush_ || !flush_->finishedBy(powerOffDeadline_)) {
        KxLogger::log(LOG_WARNING,
                      "Сброс данных на диски не завершился, выключаем систему без него");
    }
    KxLogger::flush(powerOffDeadline_);  // the removal's records reach the log first
    reboot(RB_POWER_OFF);
    int error = errno;
    KxLogger::log(LOG_ERR, "Не удалось выключить компьютер, error code: %d, error: %s", error,
                  std::strerror(error));
    // A machine that could not be switched off must not stay open.
    lockEverything();
}

bool SystemActions::isMateRunning() {
    return !ProcessTable::list(kMatePanel).empty();
}
