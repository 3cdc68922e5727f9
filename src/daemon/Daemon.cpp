#include "daemon/Daemon.h"

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
#include "dbus/MethodArguments.h"
#include "log/Common.h"
#include "log/KxLogger.h"
#include "token/Certificate.h"
#include "token/Token.h"

Daemon* gDaemon = nullptr;

namespace {

constexpr auto kLoopPause = std::chrono::milliseconds(5);
// Storage-only devices have no logon data: the store never lists them.
constexpr char kStorageOnlyModel[] = "Korvex Disk2";

bool isStorageOnly(const CK_TOKEN_INFO& info) {
    return std::memcmp(info.model, kStorageOnlyModel, sizeof(kStorageOnlyModel) - 1) == 0;
}

}  // namespace

Daemon::Daemon() : stop_(false), pid_(kPidPath), config_(DaemonConfig::default_config_path) {
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
    fileWatcher_.stopMainLoop();
    pid_.unlock();
    Certificate::finalize();
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
    action.sa_flags = 0;  // no SA_RESTART: blocking calls see EINTR
    for (int signalNumber : {SIGINT, SIGTERM, SIGILL, SIGABRT, SIGFPE, SIGSEGV}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

void Daemon::signalHandler(int signalNumber) {
    // Runs on any thread at any moment: only async-signal-safe calls here.
    if (signalNumber == SIGINT || signalNumber == SIGTERM) {
        KxLogger::logFromSignalHandler(LOG_DEBUG, "Получен сигнал остановки демона ", signalNumber);
        if (gDaemon != nullptr) {
            gDaemon->stop_ = true;
        }
        return;
    }
    KxLogger::logFromSignalHandler(LOG_ERR, "Критическая ошибка ", signalNumber);
    if (gDaemon != nullptr) {
        gDaemon->pid_.unlock();
    }
    _exit(3);
}

int Daemon::exec() {
    KxLogger::log(LOG_DEBUG, "Текущий тип аутентификации - %s", authTypeName(authType()).c_str());
    KxLogger::log(LOG_DEBUG, "hostName - %s", Common::printable(hostName()).c_str());
    KxLogger::log(LOG_DEBUG, "domainName - %s", Common::printable(domainName()).c_str());
    if (!fileWatcher_.startMainLoop()) {
        KxLogger::log(LOG_ERR,
                      "Не удалось запустить FileWatcher. Отслеживание файлов будет недоступно.");
    }
    DBusServer dbusServer(kDBusName);
    dbusServer.registerHandler("setOrderApplets", &Daemon::setOrderApplets);
    dbusServer.registerHandler("setAppletInPamConf", &Daemon::setAppletInPamConf);
    dbusServer.registerHandler("getFingerPrintByUserCert", &Daemon::getFingerPrintByUserCert);
    dbusServer.registerHandler("setTokenFilteringOptionsInSssdConf",
                               &Daemon::setTokenFilteringOptionsInSssdConf);
    dbusServer.registerHandler("resetTokenFilteringOptionsInSssdConf",
                               &Daemon::resetTokenFilteringOptionsInSssdConf);
    dbusServer.registerHandler("domainAccesssCheck", &Daemon::domainAccesssCheck);
    dbusServer.registerHandler("saveAuthResultFromPamSssLog", &Daemon::saveAuthResultFromPamSssLog);
    dbusServer.registerHandler("allTokens", &Daemon::allTokens);
    dbusServer.registerHandler("lastDateUpdate", &Daemon::lastDateUpdate);
    dbusServer.registerHandler("test", [](DBusServer::Arguments& args) {
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
        ticketsWatcher_.check();
        CK_RV result = C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
        if (result != CKR_NO_EVENT) {
            onSlotEvent(result, slot);
        }
    }

    dbusServer.stop();
    if (!Token::finalize()) {
        return 1;
    }
    fileWatcher_.stopMainLoop();
    return 0;
}

void Daemon::onSlotEvent(CK_RV eventResult, CK_SLOT_ID slot) {
    if (config_.getReloadCfgFlag() && config_.exists()) {
        config_.load();
    }

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
                      record->second.label.c_str(), record->second.model.c_str());
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
            KxLogger::log(LOG_ERR, "Ошибка C_GetTokenInfo. Код возврата = %d",
                          static_cast<int>(result));
            return;
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
                          slot, added->second.label.c_str(), added->second.model.c_str());
        }
    }
}
