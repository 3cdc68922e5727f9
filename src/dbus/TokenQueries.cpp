// The read-only methods: the token list, its last change and a user's certificate fingerprint.

#include <pwd.h>

#include <vector>

#include "daemon/Daemon.h"
#include "daemon/DataBase.h"
#include "dbus/MethodArguments.h"
#include "log/AccountLookup.h"
#include "sessions/UserCertificates.h"
#include "token/Certificate.h"

namespace {

// The account's home directory; empty when there is no such account or it names none.
std::string homeDirectory(const std::string& loginName) {
    passwd entry{};
    std::vector<char> buffer;
    if (!lookUpAccount(loginName.c_str(), entry, buffer, getpwnam_r) || entry.pw_dir == nullptr) {
        return "";
    }
    return entry.pw_dir;
}

}  // namespace

common::any Daemon::allTokens(DBusServer::Arguments&) {
    // A marker of the store's type: the server answers with the live store, read under its
    // mutex, so the records are never copied here.
    return DataBase::Storage();
}

common::any Daemon::lastDateUpdate(DBusServer::Arguments&) {
    return DataBase::lastUpdate().load();
}

common::any Daemon::getFingerPrintByUserCert(DBusServer::Arguments& args) {
    if (!MethodArguments::accepted(MethodArguments::check<std::string>(args),
                                   "Не верные аргументы!")) {
        return {};
    }
    std::string home = homeDirectory(common::any_cast<std::string>(args[0]));
    if (home.empty()) {
        return {};
    }
    // Read as root from a directory the user controls: Certificate reads files through the
    // bounded, non-blocking reader, so a FIFO, a directory or a huge file there cannot stall it.
    return Certificate(home + UserCertificates::kFile, Certificate::Format::Pem).fingerprint();
}
