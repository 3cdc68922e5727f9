#include "sessions/UserCertificates.h"

#include <syslog.h>

#include <cstring>

#include "base/Common.h"
#include "log/KxLogger.h"
#include "base/UntrustedFile.h"

std::optional<Certificate> UserCertificates::of(uid_t uid, const std::string& home) {
    return read(UntrustedFile::rightsOf(uid), uid, home);
}

std::optional<Certificate> UserCertificates::of(const UserSessions::Session& session) {
    return read(session.rights, session.uid, session.home);
}

std::optional<Certificate> UserCertificates::read(const std::optional<UntrustedFile::Rights>& rights,
                                                  uid_t uid, const std::string& home) {
    using Outcome = UntrustedFile::Outcome;
    const std::string path = home + kFile;
    const std::string shown = Common::printable(path);
    if (!rights) {
        // The account's ids or groups could not be looked up: its rights cannot be taken.
        KxLogger::log(LOG_ERR,
                      "Не удалось перейти к правам пользователя uid %d для чтения файла %s",
                      static_cast<int>(uid), shown.c_str());
        return std::nullopt;
    }
    std::string text;
    int error = 0;
    // One byte over the bound, so that a larger file is seen as such.
    switch (UntrustedFile::readAs(*rights, path, text, Certificate::kMaxPemSize + 1, &error)) {
        case Outcome::Read:
            return Certificate({}, {}, {}, {}, {}, {}, {}, Certificate::pemFingerprint(text),
                               false);
        case Outcome::FileFailed:
        case Outcome::TimedOut:
            // Whatever her link leads to, and however her file system answers, is her doing.
            KxLogger::log(LOG_WARNING, "Не удалось открыть файл %s", shown.c_str());
            return Certificate();
        case Outcome::RightsNotTaken:
            // Without CAP_SETUID and CAP_SETGID no user's file is read: the administrator must
            // know.
            KxLogger::log(LOG_ERR,
                          "Не удалось перейти к правам пользователя uid %d для чтения файла %s",
                          static_cast<int>(uid), shown.c_str());
            return std::nullopt;
        case Outcome::DaemonFailed:
            break;
    }
    KxLogger::log(LOG_ERR, "Не удалось прочитать файл %s, error code: %d, error: %s", shown.c_str(),
                  error, strerror(error));
    return std::nullopt;
}
