#pragma once

#include <optional>
#include <string>

#include "sessions/SessionMatch.h"

// What this machine's logon is set up as: the token logon its PAM stack names, the host's name
// and its domain.
class LogonSetup {
public:
    using AuthType = SessionMatch::AuthType;

    // The PAM stack that names the token logon; Debian calls it common-auth, which is read
    // where there is no system-auth.
    static constexpr const char* kPamSystemAuth = "/etc/pam.d/system-auth";
    static constexpr const char* kPamCommonAuth = "/etc/pam.d/common-auth";

    // The machine's token logon and the PAM file it was read from (empty when neither exists).
    // No type when that file is there but could not be read: the logon is then unknown.
    struct Logon {
        std::optional<AuthType> type;
        std::string file;
    };
    // The one reader of the logon type; logs a file it could not read unless `quiet` (for the
    // status, which any user may ask for).
    static Logon read(bool quiet = false);
    // Quiet; NotConfigured when the file could not be read.
    static AuthType authType();
    static std::string hostName();
    static std::string domainName();
};
