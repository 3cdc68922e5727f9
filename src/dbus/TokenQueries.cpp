// The read-only methods: the token list, its last change and a user's certificate fingerprint.

#include <pwd.h>

#include <utility>
#include <vector>

#include "daemon/Daemon.h"
#include "daemon/DataBase.h"
#include "dbus/MethodArguments.h"
#include "log/AccountLookup.h"
#include "sessions/UserCertificates.h"

namespace {

// The account's uid and home directory; an empty home when there is no such account or it
// names none.
std::pair<uid_t, std::string> account(const std::string& loginName) {
    passwd entry{};
    std::vector<char> buffer;
    if (!lookUpAccount(loginName.c_str(), entry, buffer, getpwnam_r) || entry.pw_dir == nullptr) {
        return {};
    }
    return {entry.pw_uid, entry.pw_dir};
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
    const auto [uid, home] = account(common::any_cast<std::string>(args[0]));
    if (home.empty()) {
        return {};
    }
    return UserCertificates::of(uid, home).fingerprint();
}
