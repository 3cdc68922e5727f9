#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "sessions/UserSessions.h"
#include "token/Certificate.h"

// The certificate a user keeps in ~/.eid/authorized_certificates: the first one of that PEM file.
// The file is the user's to choose, also as a link to anything: it is read with the user's own
// rights, never root's, by the one reader of such files.
class UserCertificates {
public:
    static constexpr const char* kFile = "/.eid/authorized_certificates";

    // The certificate of the account with this uid and home directory. Only its fingerprint is
    // filled: certificates compare by it, and it needs no decoding of what the user wrote.
    // Empty when the file cannot be read or holds no certificate (the reason is logged); none
    // when the daemon itself failed to read it (the user's rights could not be taken, no
    // descriptor or memory was left): then nobody can tell whose the session is.
    static std::optional<Certificate> of(uid_t uid, const std::string& home);
    // The same for a completed session, with the rights its completion found.
    static std::optional<Certificate> of(const UserSessions::Session& session);

private:
    static std::optional<Certificate> read(const std::optional<UntrustedFile::Rights>& rights,
                                           uid_t uid, const std::string& home);
};
