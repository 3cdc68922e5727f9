#include "sessions/SessionMatch.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "base/Common.h"

namespace {

using Session = UserSessions::Session;
using Verdict = SessionMatch::Verdict;
using Settings = SessionMatch::Settings;

// The group pair of a rule family: a user only in the pass group logs on by password and so
// cannot belong to a token.
struct Family {
    bool local;
    const char* passGroup;
    const char* pinGroup;
};
constexpr Family kLocal{true, "kx_local_pass", "kx_local_pin"};
constexpr Family kNetwork{false, "kx_net_pass", "kx_net_pin"};

std::string shown(const std::string& text) {
    return Common::printable(text);
}

// A certificate's CKA_ID is bytes, mostly not text (01, or a key's hash): two lower-case hex
// digits each, as pkcs11-tool and kxsim name it.
std::string hexId(const std::string& id) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : id) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0f];
    }
    return hex;
}

// What every session record opens with, ready for its format: user, uid and home, and the full
// name for the records of the network certificate rule.
struct SessionText {
    explicit SessionText(const Session& session)
        : user(shown(session.user)),
          uid(static_cast<int>(session.uid)),
          home(shown(session.home)),
          gecos(shown(session.gecos)) {}

    std::string user;
    int uid;
    std::string home, gecos;
};

struct ProcessText {
    explicit ProcessText(const ProcessTable::Process& process)
        : name(shown(process.name)), pid(process.pid), ppid(process.ppid) {}

    std::string name;
    int pid, ppid;
};

// A verdict whose record belongs to extended logging.
Verdict detailed(bool matches, const Settings& settings, std::string text) {
    return {matches, LOG_DEBUG, settings.debug ? std::move(text) : std::string()};
}

bool inGroup(const Session& session, const char* group) {
    return std::find(session.groups.begin(), session.groups.end(), group) != session.groups.end();
}

std::string otherAccountKind(const Family& family, const SessionText& s) {
    if (family.local) {
        return Common::format(
            "Сессия пользователя %s, uid %d, home '%s' пропускается т. к. пользователь доменный",
            s.user.c_str(), s.uid, s.home.c_str());
    }
    return Common::format(
        "Сессия пользователя %s, uid %d, home '%s' пропускается т. к. пользователь локальный",
        s.user.c_str(), s.uid, s.home.c_str());
}

std::string passGroupOnly(const Family& family, const SessionText& s) {
    if (family.local) {
        return Common::format(
            "Сессия пользователя %s, uid %d, home '%s' пропускается т. к. он "
            "находится только в группе kx_local_pass",
            s.user.c_str(), s.uid, s.home.c_str());
    }
    return Common::format(
        "Сессия пользователя %s, uid %d, home '%s' пропускается т. к. он "
        "находится только в группе kx_net_pass",
        s.user.c_str(), s.uid, s.home.c_str());
}

// Taken for the token's, so that what the daemon could not find out never leaves the token's
// session open; whatever the extended logging.
Verdict unknown(const SessionText& s, const char* what) {
    return {true, LOG_WARNING,
            Common::format("Сессия пользователя %s, uid %d, home '%s' соответствует токену т. к. "
                           "%s не удалось проверить",
                           s.user.c_str(), s.uid, s.home.c_str(), what),
            true};
}

// The checks every session rule starts with; a verdict when they already decide.
std::optional<Verdict> commonStart(const Session& session, const Settings& settings,
                                   const Family& family, const SessionMatch::Machine& machine) {
    const SessionText s(session);
    if (session.isLocal != family.local) {
        return detailed(false, settings, otherAccountKind(family, s));
    }
    if (session.membershipUnknown) {
        return unknown(s, "его группы");
    }
    if (inGroup(session, family.passGroup) && !inGroup(session, family.pinGroup)) {
        // Only the pin group's absence exempts, and a group list misses the groups of a
        // service that failed: the absence is confirmed by the group's own entry.
        const std::optional<bool> member = machine.isMember(session, family.pinGroup);
        if (!member) {
            return unknown(s, "его группы");
        }
        if (!*member) {
            return detailed(false, settings, passGroupOnly(family, s));
        }
    }
    if (settings.forceSessionMatch) {
        return Verdict{true, LOG_DEBUG,
                       Common::format("Сессия пользователя %s, uid %d, home '%s' соответствует "
                                      "токену т. к. включен флаг принудительного совпадения.\n",
                                      s.user.c_str(), s.uid, s.home.c_str()),
                       false, true};
    }
    return std::nullopt;
}

Verdict profileFound(const Session& session, const Token::Profile& profile,
                     const Settings& settings) {
    const SessionText s(session);
    return detailed(true, settings,
                    Common::format("Сессия пользователя %s, uid %d, home '%s' соответствует "
                                   "токену т. к. найден подходящий профиль %s@%s",
                                   s.user.c_str(), s.uid, s.home.c_str(),
                                   shown(profile.userName).c_str(), shown(profile.domain).c_str()));
}

Verdict noProfile(const Session& session, const std::string& domain, const Settings& settings) {
    const SessionText s(session);
    return detailed(false, settings,
                    Common::format("Сессия пользователя %s, uid %d, home '%s' пропускается т. к. "
                                   "на токене не удалось найти подходящий профиль %s@%s",
                                   s.user.c_str(), s.uid, s.home.c_str(), s.user.c_str(),
                                   shown(domain).c_str()));
}

// Subject, organisation and domain of subject and issuer, in the order the records list them.
struct CertificateText {
    explicit CertificateText(const Certificate& certificate)
        : subject(shown(certificate.subject())),
          subjectOrganization(shown(certificate.subjectOrganization())),
          subjectDomain(shown(certificate.subjectDomainComponent())),
          issuer(shown(certificate.issuer())),
          issuerOrganization(shown(certificate.issuerOrganization())),
          issuerDomain(shown(certificate.issuerDomainComponent())),
          fingerprint(shown(certificate.fingerprint())) {}

    std::string subject, subjectOrganization, subjectDomain, issuer, issuerOrganization,
        issuerDomain, fingerprint;
};

// Local accounts whose certificate in ~/.eid/authorized_certificates is on the token.
Verdict localPki(const Session& session, const Token::Info& token, const Settings& settings,
                 const SessionMatch::Machine& machine) {
    if (auto decided = commonStart(session, settings, kLocal, machine)) {
        return *decided;
    }
    const SessionText s(session);
    const std::optional<Certificate> read = machine.userCertificate(session);
    if (!read) {
        return unknown(s, "его сертификат");  // the daemon itself failed to read it
    }
    const Certificate& own = *read;
    if (own.fingerprint().empty()) {
        return detailed(false, settings,
                        Common::format("Сессия пользователя %s, uid %d, home '%s' пропускается "
                                       "т. к. не удалось загрузить его сертификат из "
                                       "'.eid/authorized_certificates'",
                                       s.user.c_str(), s.uid, s.home.c_str()));
    }
    for (const Token::Cert& cert : token.certs) {
        if (cert.certificate == own) {
            const CertificateText c(cert.certificate);
            return detailed(
                true, settings,
                Common::format(
                    "Сессия пользователя %s, uid %d, home '%s' соответствует токену т. к. найден "
                    "подходящий сертификат:\nid %s, label %s\nsubject %s, subject org %s, subject "
                    "domain %s\nissuer %s, issuer org %s, issuer domain %s\nfingerprint %s",
                    s.user.c_str(), s.uid, s.home.c_str(), hexId(cert.id).c_str(),
                    shown(cert.label).c_str(), c.subject.c_str(), c.subjectOrganization.c_str(),
                    c.subjectDomain.c_str(), c.issuer.c_str(), c.issuerOrganization.c_str(),
                    c.issuerDomain.c_str(), c.fingerprint.c_str()));
        }
    }
    return detailed(
        false, settings,
        Common::format("Сессия пользователя %s, uid %d, home '%s' пропускается т. к. "
                       "на токене не удалось найти подходящий сертификат с "
                       "fingerprint %s",
                       s.user.c_str(), s.uid, s.home.c_str(), shown(own.fingerprint()).c_str()));
}

// Local accounts with a profile of their name for this host on the token.
Verdict localNoPki(const Session& session, const Token::Info& token, const Settings& settings,
                   const SessionMatch::Machine& machine) {
    if (auto decided = commonStart(session, settings, kLocal, machine)) {
        return *decided;
    }
    for (const Token::Profile& profile : token.profiles) {
        if (profile.userName == session.user &&
            SessionMatch::isHostOrDomainMatch(machine.hostName, profile.domain)) {
            return profileFound(session, profile, settings);
        }
    }
    return noProfile(session, machine.hostName, settings);
}

// A certificate for the domain account: its subject in the domain, its principal as the
// alternative name, or the account's full name as the subject in the domain.
bool fitsDomainAccount(const Certificate& c, const Session& session, const std::string& domain) {
    const bool inDomain = SessionMatch::insensitiveCompare(domain, c.subjectDomainComponent()) ||
                          SessionMatch::insensitiveCompare(domain, c.subjectOrganization()) ||
                          SessionMatch::insensitiveCompare(domain, c.issuerDomainComponent()) ||
                          SessionMatch::insensitiveCompare(domain, c.issuerOrganization());
    const std::string principal = session.user + "@" + domain;
    return (c.subject() == session.user && inDomain) ||
           (!c.altName().empty() && SessionMatch::insensitiveCompare(c.altName(), principal)) ||
           (!session.gecos.empty() && inDomain &&
            SessionMatch::insensitiveCompare(session.gecos, c.subject()));
}

// Domain accounts with a certificate for their name in the host's domain.
Verdict networkPki(const Session& session, const Token::Info& token, const Settings& settings,
                   const SessionMatch::Machine& machine) {
    if (auto decided = commonStart(session, settings, kNetwork, machine)) {
        return *decided;
    }
    const SessionText s(session);
    const std::string domain = SessionMatch::domainOf(machine.hostName);
    if (domain.empty()) {
        return {false, LOG_WARNING,
                Common::format("Сессия пользователя %s, uid %d, home '%s' пропускается т. к. "
                               "компьютер не в домене",
                               s.user.c_str(), s.uid, s.home.c_str())};
    }
    for (const Token::Cert& cert : token.certs) {
        const Certificate& c = cert.certificate;
        if (!fitsDomainAccount(c, session, domain)) {
            continue;
        }
        const CertificateText text(c);
        const std::string alt =
            c.altName().empty() ? "" : ", alt subject name " + shown(c.altName());
        return detailed(
            true, settings,
            Common::format("Сессия пользователя %s, uid %d, home '%s', gecos '%s' соответствует "
                           "токену т. к. найден подходящий сертификат:\nsubject %s, subject org "
                           "%s, subject domain %s%s\nissuer %s, issuer org %s, issuer domain "
                           "%s\nfingerprint %s",
                           s.user.c_str(), s.uid, s.home.c_str(), s.gecos.c_str(),
                           text.subject.c_str(), text.subjectOrganization.c_str(),
                           text.subjectDomain.c_str(), alt.c_str(), text.issuer.c_str(),
                           text.issuerOrganization.c_str(), text.issuerDomain.c_str(),
                           text.fingerprint.c_str()));
    }
    return detailed(false, settings,
                    Common::format("Сессия пользователя %s, uid %d, home '%s', gecos '%s' "
                                   "пропускается т. к. на токене не удалось найти подходящий "
                                   "сертификат %s@%s",
                                   s.user.c_str(), s.uid, s.home.c_str(), s.gecos.c_str(),
                                   s.user.c_str(), shown(domain).c_str()));
}

// Domain accounts with a profile of their name in the host's domain.
Verdict networkNoPki(const Session& session, const Token::Info& token, const Settings& settings,
                     const SessionMatch::Machine& machine) {
    if (auto decided = commonStart(session, settings, kNetwork, machine)) {
        return *decided;
    }
    const std::string domain = SessionMatch::domainOf(machine.hostName);
    if (domain.empty()) {
        const SessionText s(session);
        return {
            false, LOG_WARNING,
            Common::format("Сессия пользователя %s, uid %d, home '%s' пропускается т. к. "
                           "компьютер не в домене. hostname '%s'",
                           s.user.c_str(), s.uid, s.home.c_str(), shown(machine.hostName).c_str())};
    }
    for (const Token::Profile& profile : token.profiles) {
        if (profile.userName == session.user &&
            SessionMatch::isHostOrDomainMatch(domain, profile.domain)) {
            return profileFound(session, profile, settings);
        }
    }
    return noProfile(session, domain, settings);
}

// Each marker must come before any marker that is its start: the first one a line holds, in
// this order, decides.
constexpr SessionMatch::Logon kLogons[] = {
    {"kx-tf-net-auth_nopki", SessionMatch::AuthType::NetworkNoPki, "Сетевая noPKI", networkNoPki},
    {"kx-tf-net-auth", SessionMatch::AuthType::NetworkPki, "Сетевая PKI", networkPki},
    {"kx-tf-auth_nopki", SessionMatch::AuthType::LocalNoPki, "Локальная noPKI", localNoPki},
    {"kx-tf-auth", SessionMatch::AuthType::LocalPki, "Локальная PKI", localPki},
};

}  // namespace

const SessionMatch::Logon* SessionMatch::logonOf(AuthType type) {
    for (const Logon& logon : kLogons) {
        if (logon.type == type) {
            return &logon;
        }
    }
    return nullptr;
}

SessionMatch::AuthType SessionMatch::authTypeOf(const std::string& pamConfig) {
    size_t lineStart = 0;
    while (lineStart < pamConfig.size()) {
        size_t lineEnd = pamConfig.find('\n', lineStart);
        const std::string line = pamConfig.substr(lineStart, lineEnd - lineStart);
        for (const Logon& logon : kLogons) {
            if (line.find(logon.marker) != std::string::npos) {
                return logon.type;
            }
        }
        if (lineEnd == std::string::npos) {
            break;
        }
        lineStart = lineEnd + 1;
    }
    return AuthType::NotConfigured;
}

std::string SessionMatch::authTypeName(AuthType type) {
    const Logon* logon = logonOf(type);
    return logon != nullptr ? logon->name : "Не настроена";
}

std::string SessionMatch::domainOf(const std::string& hostName) {
    size_t dot = hostName.find('.');
    return dot == std::string::npos ? std::string() : hostName.substr(dot + 1);
}

bool SessionMatch::isHostOrDomainMatch(const std::string& name, const std::string& domain) {
    std::string candidate = Common::toUpper(name);
    const std::string wanted = Common::toUpper(domain);
    for (;;) {
        if (candidate == wanted) {
            return true;
        }
        size_t dot = candidate.rfind('.');
        if (dot == std::string::npos) {
            return false;
        }
        candidate.erase(dot);
    }
}

bool SessionMatch::insensitiveCompare(const std::string& a, const std::string& b) {
    return a.size() == b.size() && Common::toLower(a) == Common::toLower(b);
}

bool SessionMatch::namesUser(const Token::Info& token, const std::string& user) {
    for (const Token::Profile& profile : token.profiles) {
        if (profile.userName == user) {
            return true;
        }
    }
    for (const Token::Cert& cert : token.certs) {
        const std::string& altName = cert.certificate.altName();
        if (insensitiveCompare(cert.certificate.subject(), user) ||
            insensitiveCompare(altName.substr(0, altName.find('@')), user)) {
            return true;
        }
    }
    return false;
}

std::string SessionMatch::optionValue(const std::string& cmdline, const std::string& key) {
    size_t at = cmdline.find(key);
    if (at == std::string::npos) {
        return {};
    }
    at += key.size();
    size_t end = cmdline.find('\0', at);
    return cmdline.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

SessionMatch::Verdict SessionMatch::remoteClient(const ProcessTable::Process& process,
                                                 const Token::Info& token,
                                                 const Settings& settings) {
    const ProcessText p(process);
    const std::string user = optionValue(process.cmdline, "/u:");
    const std::string domain = optionValue(process.cmdline, "/d:");
    if (user.empty() && !optionValue(process.cmdline, "/v:").empty()) {
        return {true, LOG_DEBUG,
                Common::format("Процесс %s, pid %d, ppid %d соответствует токену т. к. у него не "
                               "указано имя пользователя",
                               p.name.c_str(), p.pid, p.ppid)};
    }
    if (!user.empty() && !domain.empty()) {
        for (const Token::Profile& profile : token.profiles) {
            if (profile.userName == user && insensitiveCompare(profile.domain, domain)) {
                return detailed(
                    true, settings,
                    Common::format("Процесс %s, pid %d, ppid %d соответствует токену "
                                   "т. к. найден подходящий профиль %s@%s",
                                   p.name.c_str(), p.pid, p.ppid, shown(profile.userName).c_str(),
                                   shown(profile.domain).c_str()));
            }
        }
        for (const Token::Cert& cert : token.certs) {
            const Certificate& c = cert.certificate;
            if (c.subject() == user && (insensitiveCompare(domain, c.subjectOrganization()) ||
                                        insensitiveCompare(domain, c.subjectDomainComponent()))) {
                const CertificateText text(c);
                return detailed(
                    true, settings,
                    Common::format(
                        "Процесс %s, pid %d, ppid %d соответствует токену т. к. найден подходящий "
                        "сертификат:id %s, label %s\nsubject %s, subject org %s, subject domain "
                        "%s\nissuer %s, issuer org %s, issuer domain %s\nfingerprint %s",
                        p.name.c_str(), p.pid, p.ppid, hexId(cert.id).c_str(),
                        shown(cert.label).c_str(), text.subject.c_str(),
                        text.subjectOrganization.c_str(), text.subjectDomain.c_str(),
                        text.issuer.c_str(), text.issuerOrganization.c_str(),
                        text.issuerDomain.c_str(), text.fingerprint.c_str()));
            }
        }
    }
    return detailed(
        false, settings,
        Common::format("Процесс %s, pid %d, ppid %d пропускается т. к. на токене не "
                       "удалось найти подходящий профиль или сертификат %s@%s",
                       p.name.c_str(), p.pid, p.ppid, shown(user).c_str(), shown(domain).c_str()));
}

SessionMatch::ClientParent SessionMatch::clientParent(const ProcessTable::Process& client,
                                                      const std::string& parentName) {
    if (client.ppid <= 0) {
        return ClientParent::None;
    }
    return parentName == kRemoteClientLauncher ? ClientParent::Launcher : ClientParent::Other;
}
