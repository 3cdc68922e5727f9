#include "daemon/Daemon.h"

#include <malloc.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "base/Common.h"
#include "daemon/ElapsedTimer.h"
#include "dbus/BusContract.h"
#include "dbus/ControlService.h"
#include "dbus/DBusServer.h"
#include "log/KxLogger.h"
#include "sessions/LogonSetup.h"
#include "sessions/PidFd.h"
#include "sessions/UserSessions.h"
#include "token/Certificate.h"
#include "token/Token.h"

std::atomic<Daemon*> gDaemon{nullptr};

namespace {

constexpr auto kLoopPause = std::chrono::milliseconds(5);
constexpr int64_t kStatusIntervalMs = 1000;

// Signal handlers running right now; the daemon waits for them before it goes away.
std::atomic<int> gHandlersRunning{0};

}  // namespace

Daemon::Daemon()
    : stop_(false),
      startedAt_(static_cast<int64_t>(std::time(nullptr))),
      pid_(kPidPath),
      config_(DaemonConfig::default_config_path) {
    // One malloc arena for the few threads, before any starts: malloc_trim can give back the
    // free pages of the main arena only, and the ticket guard's memory must come back after a
    // user's flood of names in /tmp.
    mallopt(M_ARENA_MAX, 1);
    if (!initPid()) {
        return;
    }
    initSignalHandler();
    config_.load();
    umask(0);
    if (chdir("/") != 0) {
        int error = errno;
        KxLogger::log(LOG_ERR, "Ошибка при смене рабочего каталога, error code: %d, error: %s",
                      error, strerror(error));
        startFailure_ = 1;
        return;
    }
    Certificate::initialize();
    if (!fileWatcher_.initialize()) {
        KxLogger::log(LOG_ERR,
                      "Не удалось инициализировать FileWatcher. Отслеживание файлов будет "
                      "недоступно.");
    }
}

Daemon::~Daemon() {
    ticketsWatcher_.stop();
    fileWatcher_.stopMainLoop();
    pid_.unlock();
    Certificate::finalize();
    releaseSignalHandler();
}

bool Daemon::initPid() {
    switch (pid_.lock()) {
        case 0:
            return true;
        case 1:
            startFailure_ = 2;  // another instance runs
            return false;
        default:
            startFailure_ = 1;
            return false;
    }
}

void Daemon::initSignalHandler() {
    gDaemon = this;
    KxLogger::prepareSignalSafeLogging();
    struct sigaction action {};
    action.sa_handler = &Daemon::signalHandler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: blocking calls see EINTR. SA_ONSTACK: after a stack overflow the handler
    // has only the alternate stack to run on.
    action.sa_flags = SA_ONSTACK;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGILL, SIGABRT, SIGFPE, SIGSEGV}) {
        sigaction(signalNumber, &action, nullptr);
    }
    // A peer that closes its end of a pipe or socket must not end the daemon.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void Daemon::releaseSignalHandler() {
    gDaemon = nullptr;
    // A handler that read the pointer before it was cleared finishes with the object intact.
    while (gHandlersRunning.load() != 0) {
        std::this_thread::yield();
    }
}

void Daemon::signalHandler(int signalNumber) {
    // Runs on any thread at any moment: only async-signal-safe calls here.
    int savedErrno = errno;
    ++gHandlersRunning;
    Daemon* daemon = gDaemon.load();
    switch (signalNumber) {
        case SIGINT:
        case SIGTERM:
            KxLogger::logFromSignalHandler(LOG_DEBUG, "Получен сигнал остановки демона %d",
                                           signalNumber);
            if (daemon != nullptr) {
                daemon->stop_ = true;
            }
            break;
        case SIGHUP:
            KxLogger::logFromSignalHandler(
                LOG_DEBUG, "Получен сигнал перечитывания конфигурации %d", signalNumber);
            if (daemon != nullptr) {
                daemon->hangup_ = true;
            }
            break;
        default:
            KxLogger::logFromSignalHandler(LOG_ERR, "Критическая ошибка %d", signalNumber);
            if (daemon != nullptr) {
                daemon->pid_.unlock();
            }
            _exit(3);
    }
    --gHandlersRunning;
    errno = savedErrno;
}

int Daemon::exec() {
    startServices();
    DBusServer dbusServer(BusContract::kName);
    ControlService service(
        slotLoop_.store(),
        {[this, &dbusServer] { return statusJson(dbusServer.nameHeld()); },
         [this](std::optional<CK_SLOT_ID> slot) { return explain(slot); }});
    service.registerWith(dbusServer);
    dbusServer.start();

    slotLoop_.start();
    // A service manager waiting for us (Type=notify) may go on now: the store is filled and the
    // loop acts on the next event; or the library is asked again every second meanwhile.
    notifyStatus("READY=1\n");
    runLoop();

    const bool finalised = slotLoop_.finish();
    removals_.stop();   // a removal in its wait cuts it short and locks every session
    stateFile_.stop();  // after the removals: each releases its token from the file
    UserSessions::stopEvents();
    dbusServer.stop();
    if (!finalised) {
        return 1;
    }
    stopServices();
    return 0;
}

void Daemon::startServices() {
    KxLogger::log(LOG_DEBUG, "Текущий тип аутентификации - %s",
                  SessionMatch::authTypeName(LogonSetup::authType()).c_str());
    KxLogger::log(LOG_DEBUG, "hostName - %s", Common::printable(LogonSetup::hostName()).c_str());
    KxLogger::log(LOG_DEBUG, "domainName - %s",
                  Common::printable(LogonSetup::domainName()).c_str());
    noteLogonSetup(true);
    UserSessions::connect();  // the first removal must not wait for the system bus connection
    PidFd::available();       // asked once, so that its warning (if any) comes now
    UserSessions::startEvents([this] { removals_.lockAhead().refresh(); });
    removals_.start();
    if (!fileWatcher_.startMainLoop()) {
        KxLogger::log(LOG_ERR,
                      "Не удалось запустить FileWatcher. Отслеживание файлов будет недоступно.");
    }
    ticketsWatcher_.start();
}

void Daemon::stopServices() {
    ticketsWatcher_.stop();
    fileWatcher_.stopMainLoop();
}

void Daemon::runLoop() {
    ElapsedTimer sinceStatus;
    while (!stop_) {
        std::this_thread::sleep_for(kLoopPause);
        if (hangup_.exchange(false)) {
            config_.setReloadCfgFlag(true);
            reloadConfig();
        }
        // At most once a second: a device that comes and goes must not flood the manager.
        if (statusChanged_ && sinceStatus.elapsed() >= kStatusIntervalMs &&
            statusChanged_.exchange(false) && notifyStatus()) {
            sinceStatus.start();
        }
        slotLoop_.pass(stop_);
    }
}

std::string Daemon::explain(std::optional<CK_SLOT_ID> slot) const {
    std::vector<Token::Info> tokens;
    {
        // Copied under the lock and explained outside it: the slot loop waits for this no
        // longer than for a token list.
        const DataBase::View view(slotLoop_.store());
        const DataBase::Storage& storage = view.storage();
        for (auto stored = slot ? storage.find(*slot) : storage.begin(); stored != storage.end();
             ++stored) {
            tokens.push_back(stored->second);
            if (slot) {
                break;
            }
        }
    }
    return removals_.explain(tokens);
}

void Daemon::reloadConfig() {
    if (!config_.getReloadCfgFlag()) {
        return;
    }
    statusChanged_ = true;  // also when the file has gone: a removal would power off
    if (config_.load()) {
        noteLogonSetup(false);
    }
    ticketsWatcher_.wake();  // the check interval may have changed
    removals_.lockAhead().refresh();
}
