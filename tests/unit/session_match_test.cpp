// The removal policy's decisions: which sessions and remote-desktop clients belong to a token,
// and the record each decision leaves in the log.
#include <gtest/gtest.h>

#include "sessions/SessionMatch.h"
#include "sessions/UserSessions.h"

namespace {

using AuthType = SessionMatch::AuthType;
using Session = UserSessions::Session;
using Settings = SessionMatch::Settings;
using Verdict = SessionMatch::Verdict;

const std::string kHost = "ws1.corp.example.com";
const Settings kDetailed{true, false};
const Settings kQuiet{false, false};
const Settings kForced{true, true};

Session session(const std::string& user, bool isLocal, std::vector<std::string> groups = {},
                const std::string& gecos = "") {
    Session made;
    made.user = user;
    made.gecos = gecos;
    made.uid = isLocal ? 1001u : 70001u;
    made.home = "/home/" + user;
    made.isLocal = isLocal;
    made.groups = std::move(groups);
    return made;
}

Session unknownGroups(Session made) {
    made.membershipUnknown = true;
    return made;
}

Token::Info withProfile(const std::string& user, const std::string& domain) {
    Token::Info token;
    token.profiles = {{"someone", "elsewhere"}, {user, domain}};
    return token;
}

// A certificate as decoded from D-Bus: fields only, no parsing.
Token::Info withCertificate(const std::string& subject, const std::string& subjectOrg,
                            const std::string& subjectDomain, const std::string& issuerOrg = "",
                            const std::string& issuerDomain = "", const std::string& altName = "") {
    Token::Info token;
    token.certs = {{"\x01", "logon",
                    Certificate(subject, subjectOrg, subjectDomain, "CA", issuerOrg, issuerDomain,
                                altName, "AB01", false)}};
    return token;
}

// The opening every session record shares.
std::string about(const Session& s, bool withGecos = false) {
    return "Сессия пользователя " + s.user + ", uid " + std::to_string(s.uid) + ", home '" +
           s.home + "'" + (withGecos ? ", gecos '" + s.gecos + "'" : "");
}

struct RuleCase {
    const char* name;
    AuthType type;
    Session session;
    Token::Info token;
    Settings settings;
    std::string host;
    bool matches;
    int level;
    std::string text;  // after the session's opening; "" for no record
    bool withGecos = false;
    bool unknown = false;
};

const std::string kProfileFound = " соответствует токену т. к. найден подходящий профиль ";
const std::string kNoProfile = " пропускается т. к. на токене не удалось найти подходящий профиль ";
const std::string kNoCertificate =
    " пропускается т. к. на токене не удалось найти подходящий сертификат ivanov@corp.example.com";

std::string certificateFound(const std::string& subject, const std::string& subjectOrg,
                             const std::string& subjectDomain, const std::string& alt,
                             const std::string& issuerOrg, const std::string& issuerDomain) {
    return " соответствует токену т. к. найден подходящий сертификат:\nsubject " + subject +
           ", subject org " + subjectOrg + ", subject domain " + subjectDomain + alt +
           "\nissuer CA, issuer org " + issuerOrg + ", issuer domain " + issuerDomain +
           "\nfingerprint AB01";
}

const RuleCase kRuleCases[] = {
    // The start every rule shares: account kind, the pass-only group, the forced match.
    {"LocalRuleSkipsDomainUser", AuthType::LocalNoPki, session("ivanov", false),
     withProfile("ivanov", "WS1"), kDetailed, kHost, false, LOG_DEBUG,
     " пропускается т. к. пользователь доменный"},
    {"NetworkRuleSkipsLocalUser", AuthType::NetworkNoPki, session("ivanov", true),
     withProfile("ivanov", "CORP"), kDetailed, kHost, false, LOG_DEBUG,
     " пропускается т. к. пользователь локальный"},
    {"PassOnlyGroupIsSkippedEvenWhenForced", AuthType::LocalNoPki,
     session("ivanov", true, {"users", "kx_local_pass"}), withProfile("ivanov", "WS1"), kForced,
     kHost, false, LOG_DEBUG, " пропускается т. к. он находится только в группе kx_local_pass"},
    {"NetworkPassOnlyGroupIsSkipped", AuthType::NetworkPki,
     session("ivanov", false, {"kx_local_pin", "kx_net_pass"}),
     withCertificate("ivanov", "", "CORP.EXAMPLE.COM"), kDetailed, kHost, false, LOG_DEBUG,
     " пропускается т. к. он находится только в группе kx_net_pass"},
    {"PassAndPinGroupsAreExamined", AuthType::LocalNoPki,
     session("ivanov", true, {"kx_local_pass", "kx_local_pin"}), withProfile("ivanov", "WS1"),
     kDetailed, kHost, true, LOG_DEBUG, kProfileFound + "ivanov@WS1"},
    {"ForcedMatchIgnoresTokenAndIsLoggedWithoutDebug", AuthType::LocalNoPki,
     session("ivanov", true), Token::Info{}, Settings{false, true}, kHost, true, LOG_DEBUG,
     " соответствует токену т. к. включен флаг принудительного совпадения.\n"},

    // What the database could not tell of the user's groups, and a pin group whose absence it
    // could not confirm (user "unlisted"), leave whose the session is unknown: it counts as the
    // token's, whatever the extended logging and the forced match. A confirmed member
    // ("listed") is examined.
    {"GroupsUnknownMatchAsUnknown", AuthType::NetworkNoPki, unknownGroups(session("ivanov", false)),
     Token::Info{}, kForced, kHost, true, LOG_WARNING,
     " соответствует токену т. к. его группы не удалось проверить", false, true},
    {"PinGroupUnconfirmedMatchesAsUnknown", AuthType::LocalNoPki,
     session("unlisted", true, {"kx_local_pass"}), Token::Info{}, kQuiet, kHost, true, LOG_WARNING,
     " соответствует токену т. к. его группы не удалось проверить", false, true},
    {"PinGroupConfirmedIsExamined", AuthType::LocalNoPki,
     session("listed", true, {"kx_local_pass"}), withProfile("listed", "WS1"), kDetailed, kHost,
     true, LOG_DEBUG, kProfileFound + "listed@WS1"},

    // Local certificates: a file the daemon itself failed to read (it could not take the user's
    // rights) leaves whose the session is unknown, so it counts as the token's, whatever the
    // extended logging; one the user left unreadable skips it. (Real files: test_removal.py.)
    {"CertificateTheDaemonCouldNotReadMatches", AuthType::LocalPki, session("unread", true),
     Token::Info{}, kQuiet, kHost, true, LOG_WARNING,
     " соответствует токену т. к. его сертификат не удалось проверить", false, true},
    {"CertificateTheUserLeftUnreadableIsSkipped", AuthType::LocalPki, session("ivanov", true),
     Token::Info{}, kDetailed, kHost, false, LOG_DEBUG,
     " пропускается т. к. не удалось загрузить его сертификат из '.eid/authorized_certificates'"},

    // Local profiles: the host name or a leading run of its labels, ignoring case; the user
    // name exactly.
    {"LocalProfileForHostLabel", AuthType::LocalNoPki, session("ivanov", true),
     withProfile("ivanov", "ws1.CORP"), kDetailed, kHost, true, LOG_DEBUG,
     kProfileFound + "ivanov@ws1.CORP"},
    {"LocalProfileForDomainOnly", AuthType::LocalNoPki, session("ivanov", true),
     withProfile("ivanov", "corp.example.com"), kDetailed, kHost, false, LOG_DEBUG,
     kNoProfile + "ivanov@ws1.corp.example.com"},
    {"DetailOffLogsNothing", AuthType::LocalNoPki, session("ivanov", true),
     withProfile("ivanov", "WS1"), kQuiet, kHost, true, LOG_DEBUG, ""},

    // Network profiles: the host's domain.
    {"NetworkProfileForWholeDomainAnyCase", AuthType::NetworkNoPki, session("ivanov", false),
     withProfile("ivanov", "Corp.Example.Com"), kDetailed, kHost, true, LOG_DEBUG,
     kProfileFound + "ivanov@Corp.Example.Com"},
    {"NetworkProfileForParentDomain", AuthType::NetworkNoPki, session("ivanov", false),
     withProfile("ivanov", "example.com"), kDetailed, kHost, false, LOG_DEBUG,
     kNoProfile + "ivanov@corp.example.com"},
    {"NetworkProfileOnHostWithoutDomainWarnsAlways", AuthType::NetworkNoPki,
     session("ivanov", false), withProfile("ivanov", ""), kQuiet, "ws1", false, LOG_WARNING,
     " пропускается т. к. компьютер не в домене. hostname 'ws1'"},

    // Network certificates: subject and domain, the principal as alternative name, or the
    // full name of the account.
    {"CertificateSubjectInDomain", AuthType::NetworkPki, session("ivanov", false),
     withCertificate("ivanov", "", "CORP.EXAMPLE.COM"), kDetailed, kHost, true, LOG_DEBUG,
     certificateFound("ivanov", "", "CORP.EXAMPLE.COM", "", "", ""), true},
    {"CertificateDomainFromIssuerOrganization", AuthType::NetworkPki, session("ivanov", false),
     withCertificate("ivanov", "Other", "", "corp.example.com"), kDetailed, kHost, true, LOG_DEBUG,
     certificateFound("ivanov", "Other", "", "", "corp.example.com", ""), true},
    {"CertificatePrincipalAltName", AuthType::NetworkPki, session("ivanov", false),
     withCertificate("Anyone", "", "", "", "", "ivanov@CORP.EXAMPLE.COM"), kDetailed, kHost, true,
     LOG_DEBUG,
     certificateFound("Anyone", "", "", ", alt subject name ivanov@CORP.EXAMPLE.COM", "", ""),
     true},
    {"CertificateFullNameFromGecos", AuthType::NetworkPki,
     session("ivanov", false, {}, "Ivan Ivanov"),
     withCertificate("IVAN IVANOV", "corp.example.com", ""), kDetailed, kHost, true, LOG_DEBUG,
     certificateFound("IVAN IVANOV", "corp.example.com", "", "", "", ""), true},
    {"CertificateOfAnotherDomain", AuthType::NetworkPki, session("ivanov", false),
     withCertificate("ivanov", "Example", "example.com"), kDetailed, kHost, false, LOG_DEBUG,
     kNoCertificate, true},
};

// The machine of the rule and plan tables. Users "unread" and "unlisted" stand for what the
// daemon could not find out: a certificate file it failed to read, a group it could not look up;
// "listed" is a member of every group; "owner" keeps the certificate AB01.
SessionMatch::Machine machineOf(const std::string& host) {
    return {host,
            [](const Session& s) -> std::optional<Certificate> {
                if (s.user == "owner") {
                    return Certificate("Someone", "", "", "CA", "", "", "", "AB01", false);
                }
                return s.user == "unread" ? std::nullopt : std::optional(Certificate());
            },
            [](const Session& s, const std::string&) -> std::optional<bool> {
                return s.user == "unlisted" ? std::nullopt : std::optional(s.user == "listed");
            }};
}

TEST(SessionRuleTest, DecidesAndExplains) {
    for (const RuleCase& c : kRuleCases) {
        SCOPED_TRACE(c.name);
        Verdict verdict =
            SessionMatch::logonOf(c.type)->rule(c.session, c.token, c.settings, machineOf(c.host));
        EXPECT_EQ(verdict.matches, c.matches);
        EXPECT_EQ(verdict.unknown, c.unknown);
        EXPECT_EQ(verdict.level, c.level);
        EXPECT_EQ(verdict.text, c.text.empty() ? "" : about(c.session, c.withGecos) + c.text);
    }
}

// The local PKI rule with the certificate files users keep: test_removal.py, through real removals.

struct ClientCase {
    const char* name;
    std::string cmdline;  // arguments separated by NUL bytes
    Token::Info token;
    Settings settings;
    bool matches;
    std::string text;  // after "Процесс xfreerdp, pid 7, ppid 3"
};

using namespace std::string_literals;
const std::string kNoUserGiven = " соответствует токену т. к. у него не указано имя пользователя";
const std::string kClientNotFound =
    " пропускается т. к. на токене не удалось найти подходящий профиль или сертификат ";

const ClientCase kClientCases[] = {
    {"ProfileDomainCaseIgnored", "xfreerdp\0/u:ivanov\0/d:CORP\0/v:rdp"s,
     withProfile("ivanov", "corp"), kDetailed, true, kProfileFound + "ivanov@corp"},
    {"UserWithoutDomainNeverMatches", "xfreerdp\0/u:ivanov\0/v:rdp"s, withProfile("ivanov", ""),
     kDetailed, false, kClientNotFound + "ivanov@"},
    {"ServerWithoutUserMatchesAnyTokenAlwaysLogged", "xfreerdp\0/v:rdp.corp"s, Token::Info{},
     kQuiet, true, kNoUserGiven},
    {"ValueInTheNextArgumentIsEmpty", "xfreerdp\0/u:\0ivanov\0/d:corp\0/v:rdp"s,
     withProfile("ivanov", "corp"), kDetailed, true, kNoUserGiven},
    {"FirstOccurrenceCountsInsideAnotherArgument", "xfreerdp\0/t:x/u:petrov\0/u:ivanov\0/d:corp"s,
     withProfile("ivanov", "corp"), kDetailed, false, kClientNotFound + "petrov@corp"},
    {"CertificateSubjectAndSubjectDomain", "xfreerdp\0/u:ivanov\0/d:corp.example.com"s,
     withCertificate("ivanov", "", "CORP.EXAMPLE.COM"), kDetailed, true,
     " соответствует токену т. к. найден подходящий сертификат:id 01, label logon\nsubject "
     "ivanov, subject org , subject domain CORP.EXAMPLE.COM\nissuer CA, issuer org , issuer "
     "domain \nfingerprint AB01"},
};

TEST(RemoteClientTest, DecidesAndExplains) {
    for (const ClientCase& c : kClientCases) {
        SCOPED_TRACE(c.name);
        ProcessTable::Process client;
        client.pid = 7;
        client.ppid = 3;
        client.name = "xfreerdp";
        client.cmdline = c.cmdline;
        Verdict verdict = SessionMatch::remoteClient(client, c.token, c.settings);
        EXPECT_EQ(verdict.matches, c.matches);
        EXPECT_EQ(verdict.text, "Процесс xfreerdp, pid 7, ppid 3" + c.text);
    }
}

TEST(AuthTypeTest, FirstLineWithAMarkerDecides) {
    const std::pair<const char*, AuthType> cases[] = {
        {"", AuthType::NotConfigured},
        {"auth sufficient /lib/security/kx-tf-net-auth_nopki.so\n", AuthType::NetworkNoPki},
        {"auth sufficient kx-tf-net-auth.so", AuthType::NetworkPki},
        {"auth sufficient kx-tf-auth_nopki.so\n", AuthType::LocalNoPki},
        // A comment counts, and decides before a later line.
        {"# kx-tf-auth\nauth sufficient kx-tf-net-auth_nopki.so\n", AuthType::LocalPki},
    };
    for (const auto& [pam, type] : cases) {
        EXPECT_EQ(SessionMatch::authTypeOf(pam), type) << pam;
    }
}

TEST(LoginDefsTest, FirstLineWithUidMaxGivesTheLimit) {
    const std::pair<const char*, const char*> cases[] = {
        {"UID_MIN 1000\nUID_MAX\t\t60000\n", "60000"},
        {"SYS_UID_MAX 999\nUID_MAX 60000\n", "999"},
        {"UID_MAX60000\nUID_MAX x\nUID_MAX UID_MAX 7", "7"},
        {"UID_MIN 1000\n", ""},
    };
    for (const auto& [text, digits] : cases) {
        EXPECT_EQ(UserSessions::uidMaxText(text), digits) << text;
    }
}

}  // namespace
