#pragma once

#include <syslog.h>

#include <functional>
#include <optional>
#include <string>

#include "sessions/ProcessTable.h"
#include "sessions/UserSessions.h"
#include "token/Certificate.h"
#include "token/Token.h"

// Which login sessions and remote-desktop clients belong to a token. Decisions only: each
// rule returns its verdict with the record that explains it, and the daemon logs that record.
class SessionMatch {
public:
    // The machine's token logon, from the PAM configuration; selects the session rule.
    enum class AuthType {
        NotConfigured = 0,
        LocalPki = 1,
        LocalNoPki = 2,
        NetworkPki = 3,
        NetworkNoPki = 4,
    };

    // The configuration the rules read on every call.
    struct Settings {
        bool debug = true;  // extended logging: the detail records of the rules
        bool forceSessionMatch = false;
    };

    struct Verdict {
        bool matches = false;
        int level = LOG_DEBUG;
        std::string text;  // the record to log; empty when there is none
        // Matches only because something could not be found out (the user's groups, her
        // certificate): no evidence ties the session to the token, yet nothing clears it.
        bool unknown = false;
        // Matches only because the settings tie every session to the token.
        bool forced = false;
    };

    // What a session rule may look at besides the session and the token.
    struct Machine {
        std::string hostName;
        // The first certificate of the user's ~/.eid/authorized_certificates; one without a
        // fingerprint when there is none; none at all when the daemon could not read the file.
        std::function<std::optional<Certificate>(const UserSessions::Session&)> userCertificate;
        // Whether the user is a member of the named group, asked when the session's groups
        // alone would exempt it; none when the group database could not tell.
        std::function<std::optional<bool>(const UserSessions::Session&, const std::string&)>
            isMember;
    };

    using Rule = Verdict (*)(const UserSessions::Session& session, const Token::Info& token,
                             const Settings& settings, const Machine& machine);

    // One way of token logon: the PAM module that marks it, its name in the log and the rule
    // that ties a session to a token.
    struct Logon {
        const char* marker;
        AuthType type;
        const char* name;
        Rule rule;
    };

    // The logon of a type; null for NotConfigured.
    static const Logon* logonOf(AuthType type);
    // The first line of the PAM file that holds a marker decides.
    static AuthType authTypeOf(const std::string& pamConfig);
    static std::string authTypeName(AuthType type);
    // The host name after its first dot; empty without a dot.
    static std::string domainOf(const std::string& hostName);
    // domain equals the name, or a leading run of its dot-separated labels, ignoring case.
    static bool isHostOrDomainMatch(const std::string& name, const std::string& domain);
    // Equal after ASCII lower-casing.
    static bool insensitiveCompare(const std::string& a, const std::string& b);
    // Whether the token names the user: a profile of that name, or a certificate whose subject
    // or alternative name (before its "@") is that name, ignoring case. No rule's verdict; it
    // only tells which sessions to look at first.
    static bool namesUser(const Token::Info& token, const std::string& user);

    // The remote-desktop client's command name, and that of the launcher interrupted with it.
    static constexpr const char* kRemoteClient = "xfreerdp";
    static constexpr const char* kRemoteClientLauncher = "kxsentrix";
    static constexpr const char* kParentNotLauncher =
        "Родительский процесс не является процессом sentrix, пропускаем его завершение";

    // An xfreerdp client started for an account on the token, or for a server without a user.
    static Verdict remoteClient(const ProcessTable::Process& process, const Token::Info& token,
                                const Settings& settings);
    // What becomes of a matching client's parent, named `parentName` (empty when it could not
    // be read): interrupted with it when it is the launcher; left, with kParentNotLauncher, when
    // it is another process; not looked at when there is none (a parent pid of 0 or -1).
    enum class ClientParent { None, Launcher, Other };
    static ClientParent clientParent(const ProcessTable::Process& client,
                                     const std::string& parentName);

    // The value of an xfreerdp option ("/u:") in a NUL-separated command line: from after the
    // key's first occurrence to the next NUL.
    static std::string optionValue(const std::string& cmdline, const std::string& key);
};
