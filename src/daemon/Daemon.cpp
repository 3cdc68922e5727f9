#include "daemon/Daemon.h"

#include <malloc.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "daemon/DataBase.h"
#include "dbus/BusContract.h"
#include "dbus/MethodArguments.h"
#include "log/Common.h"
#include "log/KxLogger.h"
#include "token/Certificate.h"
#include "token/Token.h"

std::atomic<Daemon*> gDaemon{nullptr};

namespace {

constexpr auto kLoopPause = std::chrono::milliseconds(5);
// Storage-only devices have no logon data: the store never lists them.
constexpr char kStorageOnlyModel[] = "Korvex Disk2";

// Signal handlers running right now; the daemon waits for them before it goes away.
std::atomic<int> gHandlersRunning{0};

bool isStorageOnly(const CK_TOKEN_INFO& info) {
    return std::memcmp(info.model, kStorageOnlyModel, sizeof(kStorageOnlyModel) - 1) == 0;
}

}  // namespace

Daemon::Daemon() : stop_(false), pid_(kPidPath), config_(DaemonConfig::default_config_path) {
    // One malloc arena for the few threads, before any starts: malloc_trim can give back the
    // free pages of the main arena only, and the ticket guard's memory must come back after a
    // user's flood of names in /tmp.
    mallopt(M_ARENA_MAX, 1);
    initPid();
    initSignalHandler();
    config_.load();
    umask(0);
    if (chdir("/") != 0) {
        int error = errno;
        KxLogger::log(LOG_ERR, "Ошибка при смене рабочего каталога, error code: %d, error: %s",
                      error, strerror(error));
        pid_.unlock();
        exit(1);
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

void Daemon::initPid() {
    switch (pid_.lock()) {
        case 0:
            return;
        case 1:
            exit(2);
        default:
            exit(1);
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
    KxLogger::log(LOG_DEBUG, "Текущий тип аутентификации - %s", authTypeName(authType()).c_str());
    KxLogger::log(LOG_DEBUG, "hostName - %s", Common::printable(hostName()).c_str());
    KxLogger::log(LOG_DEBUG, "domainName - %s", Common::printable(domainName()).c_str());
    if (!fileWatcher_.startMainLoop()) {
        KxLogger::log(LOG_ERR,
                      "Не удалось запустить FileWatcher. Отслеживание файлов будет недоступно.");
    }
    ticketsWatcher_.start();
    DBusServer dbusServer(kDBusName);
    using namespace BusContract;
    dbusServer.registerHandler(kSetOrderApplets, &Daemon::setOrderApplets);
    dbusServer.registerHandler(kSetAppletInPamConf, &Daemon::setAppletInPamConf);
    dbusServer.registerHandler(kFingerprint, &Daemon::getFingerPrintByUserCert);
    dbusServer.registerHandler(kSetTokenFilter, &Daemon::setTokenFilteringOptionsInSssdConf);
    dbusServer.registerHandler(kResetTokenFilter, &Daemon::resetTokenFilteringOptionsInSssdConf);
    dbusServer.registerHandler(kDomainCheck, &Daemon::domainAccesssCheck);
    dbusServer.registerHandler(kSaveAuthResult, &Daemon::saveAuthResultFromPamSssLog);
    dbusServer.registerHandler(kAllTokens, &Daemon::allTokens);
    dbusServer.registerHandler(kLastDateUpdate, &Daemon::lastDateUpdate);
    dbusServer.registerHandler(kTest, [](DBusServer::Arguments& args) {
        KxLogger::log(LOG_DEBUG, "DBUS method test is called");
        return common::any(MethodArguments::describe(args));
    });
    dbusServer.start();

    if (!Token::initialize()) {
        KxLogger::log(LOG_ERR, "Не удалось инициализировать единую библиотеку!");
        return 1;  // the D-Bus server stops as it goes out of scope, the watcher thread in the
                   // destructor
    }
    {
        std::lock_guard<std::shared_timed_mutex> lock(DataBase::mutex());
        refreshTokensInfo();
        DataBase::updateTime();
    }
    // A service manager waiting for us (Type=notify) may go on now: the store is filled and
    // the loop acts on the next event. Without NOTIFY_SOCKET this does nothing.
    sd_notify(0, "READY=1");

    CK_SLOT_ID slot = 0;
    while (!stop_) {
        std::this_thread::sleep_for(kLoopPause);
        if (hangup_.exchange(false)) {
            config_.setReloadCfgFlag(true);
            reloadConfig();
        }
        pollSlotEvents(slot);
    }

    dbusServer.stop();
    if (!Token::finalize()) {
        return 1;
    }
    ticketsWatcher_.stop();
    fileWatcher_.stopMainLoop();
    return 0;
}

void Daemon::reloadConfig() {
    if (config_.getReloadCfgFlag() && config_.exists()) {
        config_.load();
        ticketsWatcher_.wake();  // the check interval may have changed
    }
}

void Daemon::pollSlotEvents(CK_SLOT_ID& slot) {
    // A burst (a flapping or hostile device) is drained without sleeping between its events,
    // so a real removal waits behind it for passes, not for one pass per event. The bound keeps
    // the stop flag in reach.
    for (int taken = 0; taken < kMaxEventsPerPass && !stop_; ++taken) {
        CK_RV result = C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
        if (result == CKR_NO_EVENT) {
            return;
        }
        onSlotEvent(result, slot);
        if (result != CKR_OK) {
            return;  // a library that fails is asked again at the next pass, not at once
        }
    }
}

void Daemon::onSlotEvent(CK_RV eventResult, CK_SLOT_ID slot) {
    reloadConfig();

    CK_SLOT_INFO slotInfo{};
    CK_RV result = C_GetSlotInfo(slot, &slotInfo);
    if (result != CKR_OK) {
        KxLogger::log(LOG_WARNING, "Ошибка получение информации о слоте %lu", slot);
        slotInfo = CK_SLOT_INFO{};  // a failed call may have written part of it
    }
    KxLogger::log(LOG_INFO,
                  "Token event: event %d, slot %lu, flags %d hardware version %d.%d, firmware "
                  "version %d.%d",
                  static_cast<int>(eventResult), slot, static_cast<int>(slotInfo.flags),
                  slotInfo.hardwareVersion.major, slotInfo.hardwareVersion.minor,
                  slotInfo.firmwareVersion.major, slotInfo.firmwareVersion.minor);

    std::lock_guard<std::shared_timed_mutex> lock(DataBase::mutex());
    DataBase::Storage& storage = DataBase::storage();
    auto record = storage.find(slot);
    if (record == storage.end()) {
        refreshTokensInfo();
    } else if ((slotInfo.flags & CKF_TOKEN_PRESENT) == 0) {
        KxLogger::log(LOG_INFO, "Отключено устройство в слоте %lu label:%s model:%s", slot,
                      Common::printable(record->second.label).c_str(),
                      Common::printable(record->second.model).c_str());
        onTokenEject(record->second);
        storage.erase(record);
    }
    DataBase::updateTime();
}

void Daemon::refreshTokensInfo() {
    CK_ULONG count = 0;
    CK_RV result = C_GetSlotList(CK_TRUE, nullptr, &count);
    if (result != CKR_OK) {
        KxLogger::log(LOG_ERR, "Ошибка C_GetSlotList nSlotCount. Код возврата = %d",
                      static_cast<int>(result));
        return;
    }
    if (count == 0) {
        return;
    }
    std::vector<CK_SLOT_ID> slots(count);
    result = C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (result != CKR_OK) {
        KxLogger::log(LOG_ERR, "Ошибка C_GetSlotList. Код возврата = %d", static_cast<int>(result));
        return;
    }
    // The second call may report fewer slots than the first (a token left in between).
    slots.resize(std::min<size_t>(count, slots.size()));

    DataBase::Storage& storage = DataBase::storage();
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO tokenInfo{};
        result = C_GetTokenInfo(slot, &tokenInfo);
        if (result != CKR_OK) {
            // One broken or hostile token must not hide the tokens in later slots.
            KxLogger::log(LOG_ERR, "Ошибка C_GetTokenInfo. Код возврата = %d",
                          static_cast<int>(result));
            continue;
        }
        if (isStorageOnly(tokenInfo)) {
            continue;
        }
        auto known = storage.find(slot);
        if (known != storage.end()) {
            known->second.isNew = false;
            continue;
        }
        auto [added, inserted] = storage.emplace(slot, Token::tokenInfo(slot));
        if (inserted) {
            KxLogger::log(LOG_INFO, "Подключено новое устройство в слоте %lu label:%s model:%s",
                          slot, Common::printable(added->second.label).c_str(),
                          Common::printable(added->second.model).c_str());
        }
    }
}
