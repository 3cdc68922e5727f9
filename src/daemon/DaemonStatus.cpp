// What the daemon tells of itself: the status report, the service manager's status line, what
// the removals did, and what the logon setup lacks.
#include <systemd/sd-daemon.h>

#include <ctime>
#include <mutex>
#include <string>

#include "daemon/Daemon.h"
#include "dbus/BusContract.h"
#include "sessions/LogonSetup.h"
#include "log/KxLogger.h"
#include "token/LibraryCall.h"

Daemon::LoopStatus Daemon::loopStatus() const {
    LoopStatus status = slotLoop_.status();
    std::lock_guard<std::mutex> lock(statusMutex_);
    status.lastRemoval = lastRemoval_;
    status.removalsHandled = removalsHandled_;
    return status;
}

StatusReport Daemon::statusReport() const {
    StatusReport report;
    report.version = KX_VERSION;
    report.startedAt = startedAt_;
    report.uptimeSeconds = running_.elapsed() / 1000;
    report.loop = loopStatus();
    report.loop.librarySerialised = LibraryCall::serialised();
    report.config = config_.status();
    report.configActedOn = config_.exists();
    const KxLogger::Counts logged = KxLogger::counts();
    report.logDropped = logged.dropped;
    report.logHeldBack = logged.heldBack;
    return report;
}

bool Daemon::notifyStatus(const char* first) {
    std::string line = statusReport().line();
    if (*first == '\0' && line == statusLine_) {
        return false;
    }
    // Without NOTIFY_SOCKET this does nothing.
    sd_notify(0, (first + std::string("STATUS=") + line).c_str());
    statusLine_ = std::move(line);
    return true;
}

void Daemon::noteRemoval(CK_SLOT_ID slot, StatusReport::Removal removal) {
    removal.at = static_cast<int64_t>(std::time(nullptr));
    removal.slot = slot;
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        lastRemoval_ = removal;
        ++removalsHandled_;
    }
    statusChanged_ = true;
}

std::string Daemon::statusJson(bool busNameHeld) const {
    StatusReport report = statusReport();
    const LogonSetup::Logon logon = LogonSetup::read(true);
    report.authType =
        SessionMatch::authTypeName(logon.type.value_or(LogonSetup::AuthType::NotConfigured));
    report.authFile = logon.file;
    report.authRead = logon.type.has_value();
    report.busName = BusContract::kName;
    report.busNameHeld = busNameHeld;
    return report.json();
}

void Daemon::noteLogonSetup(bool starting) const {
    const LogonSetup::Logon logon = LogonSetup::read(true);
    if (starting && logon.file == LogonSetup::kPamCommonAuth) {
        KxLogger::log(LOG_INFO, "Тип аутентификации определяется по файлу %s: файла %s нет",
                      LogonSetup::kPamCommonAuth, LogonSetup::kPamSystemAuth);
    }
    const DaemonConfig::TokenEjectActionSystem action = config_.tokenEjectActionSystem();
    if (logon.type == LogonSetup::AuthType::NotConfigured && config_.exists() &&
        (action == DaemonConfig::TokenEjectActionSystem::LockSession ||
         action == DaemonConfig::TokenEjectActionSystem::PowerOff)) {
        KxLogger::log(LOG_WARNING, "%s",
                      StatusReport::logonNotConfigured(logon.file, action).c_str());
    }
}
