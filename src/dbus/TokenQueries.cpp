// The read-only methods: the token list, its last change and a user's certificate fingerprint.

#include <pwd.h>
#include <unistd.h>

#include <cerrno>

#include <vector>

#include "daemon/Daemon.h"
#include "daemon/DataBase.h"
#include "dbus/MethodArguments.h"
#include "sessions/UserCertificates.h"
#include "token/Certificate.h"

namespace {

// The account's home directory; empty when there is no such account or it names none.
std::string homeDirectory(const std::string& loginName) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    // The reentrant form: the main thread looks accounts up at the same time.
    while (getpwnam_r(loginName.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    return found != nullptr && found->pw_dir != nullptr ? found->pw_dir : "";
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
