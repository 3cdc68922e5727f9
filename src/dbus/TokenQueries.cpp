// The read-only methods: the token list, its last change, a user's certificate fingerprint, and
// what the removal of a token would do.

#include <pwd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "daemon/Daemon.h"
#include "daemon/DataBase.h"
#include "dbus/MethodArguments.h"
#include "base/AccountLookup.h"
#include "base/JsonWriter.h"
#include "log/KxLogger.h"
#include "removal/RemovalExplanation.h"
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
    const std::optional<Certificate> certificate = UserCertificates::of(uid, home);
    return certificate ? certificate->fingerprint() : std::string();
}

common::any Daemon::explainTokenRemoval(DBusServer::Arguments& args) const {
    std::optional<CK_SLOT_ID> slot;
    if (!requestedSlot(args, slot)) {
        return {};
    }
    std::vector<Token::Info> tokens;
    {
        // Copied under the lock and explained outside it: the slot loop waits for this no
        // longer than for a token list.
        std::lock_guard<std::shared_timed_mutex> lock(DataBase::mutex());
        const DataBase::Storage& storage = DataBase::storage();
        for (auto stored = slot ? storage.find(*slot) : storage.begin(); stored != storage.end();
             ++stored) {
            tokens.push_back(stored->second);
            if (slot) {
                break;
            }
        }
    }
    const RemovalPlan::Settings settings = RemovalExplanation::withReasons(removalSettings());
    const RemovalPlan::Sources sources = removalSources();
    // What a removal would log of the sessions and files it looks at stays out of the log.
    const KxLogger::Capture quiet(KxLogger::discard());
    // Listed once for every token; the clients are let go of (no pidfd kept) before the answer.
    std::vector<Process> running;
    if (settings.remote == DaemonConfig::TokenEjectActionRemote::CloseConnection &&
        !tokens.empty()) {
        running = procList(SessionMatch::kRemoteClient);
    }
    JsonWriter json;
    json.beginObject().key("tokens").beginArray();
    for (const Token::Info& token : tokens) {
        RemovalExplanation::write(json, token, settings, RemovalPlan::of(token, settings, sources),
                                  running, lockAhead_.peek(token.slotId), UserSessions::kindOf);
    }
    json.end().end();
    return json.text();
}
