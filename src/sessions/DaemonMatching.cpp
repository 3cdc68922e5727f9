// The matching operations of Daemon: the rules of SessionMatch with the live configuration,
// the PAM file and the host name.
#include <syslog.h>
#include <unistd.h>

#include "daemon/Daemon.h"
#include "log/KxLogger.h"
#include "log/UntrustedFile.h"

namespace {

constexpr const char* kPamSystemAuth = "/etc/pam.d/system-auth";

SessionMatch::Settings settingsOf(const DaemonConfig& config) {
    return {config.debug(), config.forceSessionMatch()};
}

bool logged(const SessionMatch::Verdict& verdict) {
    if (!verdict.text.empty()) {
        KxLogger::log(verdict.level, "%s", verdict.text.c_str());
    }
    return verdict.matches;
}

}  // namespace

Daemon::AuthType Daemon::authType() {
    std::string pamConfig;
    if (!UntrustedFile::read(kPamSystemAuth, pamConfig)) {
        return AuthType::NotConfigured;
    }
    return SessionMatch::authTypeOf(pamConfig);
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

bool Daemon::isSessionMatchLocalPki(const UserSessions::Session& session,
                                    const Token::Info& info) const {
    return logged(SessionMatch::localPki(session, info, settingsOf(config_)));
}

bool Daemon::isSessionMatchLocalNoPki(const UserSessions::Session& session,
                                      const Token::Info& info) const {
    return logged(SessionMatch::localNoPki(session, info, settingsOf(config_), hostName()));
}

bool Daemon::isSessionMatchNetworkPki(const UserSessions::Session& session,
                                      const Token::Info& info) const {
    return logged(SessionMatch::networkPki(session, info, settingsOf(config_), hostName()));
}

bool Daemon::isSessionMatchNetworkNoPki(const UserSessions::Session& session,
                                        const Token::Info& info) const {
    return logged(SessionMatch::networkNoPki(session, info, settingsOf(config_), hostName()));
}

std::vector<Daemon::Process> Daemon::procList(const std::string& name) {
    return ProcessTable::list(name);
}

bool Daemon::isRdpProcMatchTokenInfo(const Process& process, const Token::Info& info) const {
    return logged(SessionMatch::remoteClient(process, info, settingsOf(config_)));
}
