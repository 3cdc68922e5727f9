// The matching operations of Daemon: the rules of SessionMatch and the removal plan with the
// live configuration, the PAM file, the host name, logind's sessions and the users' files.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "daemon/Daemon.h"
#include "log/KxLogger.h"
#include "base/UntrustedFile.h"
#include "sessions/UserCertificates.h"

namespace {

SessionMatch::Settings settingsOf(const DaemonConfig& config) {
    return {config.debug(), config.forceSessionMatch()};
}

bool logged(const SessionMatch::Verdict& verdict) {
    if (!verdict.text.empty()) {
        KxLogger::log(verdict.level, "%s", verdict.text.c_str());
    }
    return verdict.matches;
}

bool isMissing(int error) {
    return error == ENOENT || error == ENOTDIR;
}

}  // namespace

Daemon::Logon Daemon::readAuthType(bool quiet) {
    int error = 0;
    for (const char* file : {kPamSystemAuth, kPamCommonAuth}) {
        std::string pamConfig;
        if (UntrustedFile::read(file, pamConfig, UntrustedFile::kDefaultLimit, &error)) {
            return {SessionMatch::authTypeOf(pamConfig), file};
        }
        if (!isMissing(error)) {
            if (!quiet) {
                KxLogger::log(LOG_ERR, "Не удалось прочитать файл %s, error code: %d, error: %s",
                              file, error, strerror(error));
            }
            return {std::nullopt, file};
        }
    }
    return {AuthType::NotConfigured, ""};  // no token logon on this machine
}

// For the status and the start's debug line: quiet, as any user may ask for the status.
Daemon::AuthType Daemon::authType() {
    return readAuthType(true).type.value_or(AuthType::NotConfigured);
}

void Daemon::noteLogonSetup(bool starting) const {
    const Logon logon = readAuthType(true);
    if (starting && logon.file == kPamCommonAuth) {
        KxLogger::log(LOG_INFO, "Тип аутентификации определяется по файлу %s: файла %s нет",
                      kPamCommonAuth, kPamSystemAuth);
    }
    const DaemonConfig::TokenEjectActionSystem action = config_.tokenEjectActionSystem();
    if (logon.type == AuthType::NotConfigured && config_.exists() &&
        (action == DaemonConfig::TokenEjectActionSystem::LockSession ||
         action == DaemonConfig::TokenEjectActionSystem::PowerOff)) {
        KxLogger::log(LOG_WARNING, "%s",
                      StatusReport::logonNotConfigured(logon.file, action).c_str());
    }
}

std::string Daemon::authTypeName(AuthType type) {
    return SessionMatch::authTypeName(type);
}

std::string Daemon::hostName() {
    char name[1024] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return {};
    }
    return name;
}

std::string Daemon::domainName() {
    return SessionMatch::domainOf(hostName());
}

bool Daemon::isHostOrDomainMatch(const std::string& name, const std::string& domain) {
    return SessionMatch::isHostOrDomainMatch(name, domain);
}

bool Daemon::insensetiveCompare(const std::string& a, const std::string& b) {
    return SessionMatch::insensitiveCompare(a, b);
}

RemovalPlan::Settings Daemon::removalSettings() const {
    const DaemonConfig::Settings configured = config_.settings();
    RemovalPlan::Settings settings;
    settings.system = configured.actionSystem;
    settings.remote = configured.actionRemote;
    settings.configExists = config_.exists();
    settings.terminateUnlockable = configured.terminateUnlockableSessions;
    settings.match = {configured.debug, configured.forceSessionMatch};
    return settings;
}

RemovalPlan::Sources Daemon::removalSources() {
    RemovalPlan::Sources sources;
    sources.authType = [] { return Daemon::readAuthType().type; };
    sources.sessions = &UserSessions::listed;
    // Looked up once for all the sessions of one removal (or explanation), never kept longer.
    auto accounts = std::make_shared<UserSessions::Accounts>();
    sources.complete = [accounts](UserSessions::Session& session) {
        UserSessions::complete(session, *accounts);
    };
    sources.machine.hostName = hostName();
    sources.machine.userCertificate = [](const UserSessions::Session& session) {
        return UserCertificates::of(session);
    };
    sources.machine.isMember = [accounts](const UserSessions::Session& session,
                                          const std::string& group) {
        return UserSessions::isMember(session, group, *accounts);
    };
    return sources;
}

RemovalPlan Daemon::planRemoval(const Token::Info& info) const {
    return RemovalPlan::of(info, removalSettings(), removalSources());
}

std::vector<Daemon::Process> Daemon::procList(const std::string& name) {
    return ProcessTable::list(name);
}

bool Daemon::isRdpProcMatchTokenInfo(const Process& process, const Token::Info& info) const {
    return logged(SessionMatch::remoteClient(process, info, settingsOf(config_)));
}
