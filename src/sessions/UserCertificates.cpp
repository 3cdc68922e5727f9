#include "sessions/UserCertificates.h"

#include <syslog.h>

#include <cerrno>

#include "log/Common.h"
#include "log/KxLogger.h"
#include "log/UntrustedFile.h"

namespace {

// Failures of the daemon's own, as opposed to what the user's file is or is not.
bool ownFailure(int error) {
    return error == EPERM || error == EMFILE || error == ENFILE || error == ENOMEM;
}

}  // namespace

std::optional<Certificate> UserCertificates::of(uid_t uid, const std::string& home) {
    return read(UntrustedFile::rightsOf(uid), uid, home);
}

std::optional<Certificate> UserCertificates::of(const UserSessions::Session& session) {
    return read(session.rights, session.uid, session.home);
}

std::optional<Certificate> UserCertificates::read(const std::optional<UntrustedFile::Rights>& rights,
                                                  uid_t uid, const std::string& home) {
    const std::string path = home + kFile;
    std::string text;
    int error = 0;
    // One byte over the bound, so that a larger file is seen as such.
    if (!rights) {
        // The account's ids or groups could not be looked up: its rights cannot be taken.
        error = EPERM;
    } else if (UntrustedFile::readAs(*rights, path, text, Certificate::kMaxPemSize + 1, &error)) {
        return Certificate({}, {}, {}, {}, {}, {}, {}, Certificate::pemFingerprint(text), false);
    }
    if (error == EPERM) {
        // Without CAP_SETUID and CAP_SETGID no user's file is read: the administrator must know.
        KxLogger::log(LOG_ERR,
                      "Не удалось перейти к правам пользователя uid %d для чтения файла %s",
                      static_cast<int>(uid), Common::printable(path).c_str());
    } else {
        KxLogger::log(LOG_WARNING, "Не удалось открыть файл %s", Common::printable(path).c_str());
    }
    if (ownFailure(error)) {
        return std::nullopt;
    }
    return Certificate();
}
