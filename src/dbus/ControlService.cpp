// The method table, and the methods that read: the token list, its last change, a user's
// certificate fingerprint, the daemon's status and what the removal of a token would do. (The
// methods that change the logon configuration: LogonMethods.cpp; the domain's: DomainMethods.cpp.)

#include "dbus/ControlService.h"

#include <pwd.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "dbus/BusContract.h"
#include "dbus/MethodArguments.h"
#include "base/AccountLookup.h"
#include "log/KxLogger.h"
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

// The slot an explanation is asked for, none for every token (no argument, or an empty string);
// false, after logging why, when the arguments name no slot.
bool requestedSlot(const DBusServer::Arguments& args, std::optional<CK_SLOT_ID>& slot) {
    if (args.empty()) {
        return true;
    }
    if (args.size() != 1) {
        return MethodArguments::accepted(MethodArguments::Check::WrongCount, "");
    }
    if (auto number = common::any_cast<uint64_t>(&args[0])) {
        slot = *number;
        return true;
    }
    if (auto number = common::any_cast<uint32_t>(&args[0])) {
        slot = *number;
        return true;
    }
    if (auto text = common::any_cast<std::string>(&args[0])) {
        if (text->empty()) {
            return true;
        }
        errno = 0;
        const unsigned long long number = std::strtoull(text->c_str(), nullptr, 10);
        if (std::strspn(text->c_str(), "0123456789") == text->size() && errno == 0) {
            slot = number;
            return true;
        }
    }
    return MethodArguments::accepted(MethodArguments::Check::WrongType, "Не верные аргументы!");
}

}  // namespace

void ControlService::registerWith(DBusServer& server) {
    using Method = common::any (ControlService::*)(Arguments&);
    using namespace BusContract;
    static const std::pair<const char*, Method> kTable[] = {
        {kAllTokens, &ControlService::allTokens},
        {kLastDateUpdate, &ControlService::lastDateUpdate},
        {kTest, &ControlService::test},
        {kFingerprint, &ControlService::getFingerPrintByUserCert},
        {kSetOrderApplets, &ControlService::setOrderApplets},
        {kSetAppletInPamConf, &ControlService::setAppletInPamConf},
        {kSetTokenFilter, &ControlService::setTokenFilteringOptionsInSssdConf},
        {kResetTokenFilter, &ControlService::resetTokenFilteringOptionsInSssdConf},
        {kDomainCheck, &ControlService::domainAccesssCheck},
        {kSaveAuthResult, &ControlService::saveAuthResultFromPamSssLog},
        {kDaemonStatus, &ControlService::daemonStatus},
        {kExplainTokenRemoval, &ControlService::explainTokenRemoval},
    };
    for (const auto& [name, method] : kTable) {
        server.registerHandler(name, [this, method](Arguments& args) { return (this->*method)(args); });
    }
}

common::any ControlService::allTokens(Arguments&) {
    const DataBase::View view(store_);
    if (tokensChangeCount_ != view.changeCount()) {
        // Encoding thousands of fields is the dearest part of the call: once per change.
        tokens_ = DBusServer::encode([&view](DBusMessageIter* iter) {
            Token::Info::sendList(iter, view.storage());
        });
        tokensChangeCount_ = view.changeCount();
    }
    return tokens_;
}

common::any ControlService::lastDateUpdate(Arguments&) {
    return store_.lastUpdate();
}

common::any ControlService::getFingerPrintByUserCert(Arguments& args) {
    if (!MethodArguments::accepted(MethodArguments::check<std::string>(args),
                                   "Не верные аргументы!")) {
        return {};
    }
    const auto [uid, home] = account(common::any_cast<std::string>(args[0]));
    if (home.empty()) {
        return {};
    }
    const std::optional<Certificate> certificate = UserCertificates::of(uid, home);
    return certificate ? certificate->fingerprint() : std::string();
}

common::any ControlService::test(Arguments& args) {
    KxLogger::log(LOG_DEBUG, "DBUS method test is called");
    return MethodArguments::describe(args);
}

common::any ControlService::daemonStatus(Arguments&) {
    return daemon_.status();
}

common::any ControlService::explainTokenRemoval(Arguments& args) {
    std::optional<CK_SLOT_ID> slot;
    if (!requestedSlot(args, slot)) {
        return {};
    }
    return daemon_.explain(slot);
}
