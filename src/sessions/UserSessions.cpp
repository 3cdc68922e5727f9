#include "sessions/UserSessions.h"

#include <gio/gio.h>
#include <grp.h>
#include <pwd.h>
#include <syslog.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "base/AccountLookup.h"
#include "base/Common.h"
#include "log/KxLogger.h"
#include "base/UntrustedFile.h"

namespace {

constexpr const char* kLogindName = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManagerInterface = "org.freedesktop.login1.Manager";
constexpr const char* kSessionInterface = "org.freedesktop.login1.Session";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kMateName = "org.mate.ScreenSaver";
constexpr const char* kMatePath = "/org/mate/ScreenSaver";
constexpr const char* kMateInterface = "org.mate.ScreenSaver";
constexpr int kMateTimeoutMs = 500;
// A lock call that runs out leads to the removal's next step (the wait, then locking
// everything), a listing that runs out to locking everything.
constexpr int kLockTimeoutMs = UserSessions::kLockTimeoutMs;
constexpr int kListTimeoutMs = UserSessions::kListTimeoutMs;

constexpr const char* kLoginDefs = "/etc/login.defs";
constexpr uint32_t kDefaultMaxLocalUid = 60000;
// Below this (and the overflow uid) are system accounts, never locked.
constexpr uint32_t kFirstUserUid = 1000;
constexpr uint32_t kOverflowUid = 65534;

constexpr const char* kProxyFailed = "Ошибка g_dbus_proxy_new_for_bus_sync";
constexpr const char* kMateProxyFailed = "Ошибка Mate g_dbus_proxy_new_for_bus_sync";

// 0: not read yet. Atomic: a removal plan may also be made off the main thread.
std::atomic<uint32_t> gMaxLocalUid{0};

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct VariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Connection = std::unique_ptr<GDBusConnection, ObjectUnref>;
using Variant = std::unique_ptr<GVariant, VariantUnref>;

// Owns the GError a GIO call may set.
class Error {
public:
    Error() = default;
    ~Error() {
        if (error_ != nullptr) {
            g_error_free(error_);
        }
    }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;

    GError** out() { return &error_; }
    const GError* get() const { return error_; }

private:
    GError* error_ = nullptr;
};

void logFailure(const char* message, const GError* error) {
    KxLogger::log(LOG_ERR, "%s", message);
    if (error != nullptr) {
        KxLogger::log(LOG_DEBUG, "\terror code %d, error %s", error->code,
                      Common::printable(error->message).c_str());
    }
}

// GIO raises SIGTERM in the whole process when a bus closes a connection of its making whose
// exit-on-close is on; the daemon must outlive a restarted bus or an ended desktop session.
Connection withoutExitOnClose(GDBusConnection* connection) {
    if (connection != nullptr) {
        g_dbus_connection_set_exit_on_close(connection, FALSE);
    }
    return Connection(connection);
}

// The session bus connection for one call to the screensaver of the daemon's own session.
Connection connectSession(const char* failure) {
    Error error;
    Connection connection =
        withoutExitOnClose(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
    if (!connection) {
        logFailure(failure, error.get());
    }
    return connection;
}

void subscribeSessionSignals(GDBusConnection* connection);

// The system bus connection of every logind call, made at start and kept: a connection costs
// an authentication and a Hello round trip, more than the rest of a removal's way to its lock
// request. Its own connection, not GIO's shared one, so that one the bus has closed (a bus
// restart) is dropped here and made anew, and no other user of GIO can close it.
class SystemBus {
public:
    // The open connection, made now when there is none; null after logging the failure (unless
    // failure is null).
    static Connection get(const char* failure) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (kept_ && g_dbus_connection_is_closed(kept_.get())) {
            kept_.reset();
        }
        if (!kept_) {
            Error error;
            kept_ = connect(error.out());
            if (!kept_) {
                if (failure != nullptr) {
                    logFailure(failure, error.get());
                }
                return {};
            }
            subscribeSessionSignals(kept_.get());
        }
        return Connection(G_DBUS_CONNECTION(g_object_ref(kept_.get())));
    }

private:
    static Connection connect(GError** error) {
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, error);
        if (address == nullptr) {
            return {};
        }
        Connection connection = withoutExitOnClose(g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, error));
        g_free(address);
        return connection;
    }

    static std::mutex mutex_;
    static Connection kept_;
};

std::mutex SystemBus::mutex_;
Connection SystemBus::kept_;

// One method call to the well-known name: no proxy, which would first ask the bus for the
// name's owner and add and remove a signal match, three more messages a removal would wait for
// before its lock request. The bus may start the service for the call, as for a proxy's.
struct Destination {
    GBusType bus;
    const char* name;
    const char* path;
    const char* interface;
    const char* connectFailure;  // logged when there is no connection
};

const Destination kManager{G_BUS_TYPE_SYSTEM, kLogindName, kLogindPath, kManagerInterface,
                           kProxyFailed};
const Destination kScreenSaver{G_BUS_TYPE_SESSION, kMateName, kMatePath, kMateInterface,
                               kMateProxyFailed};

// The reply, or null after logging the failure (unless failure is null). A call that finds the
// kept connection closed by the bus goes once more on a new one.
Variant call(const Destination& to, const char* method, GVariant* arguments, int timeoutMs,
             const char* failure, const GVariantType* replyType = nullptr) {
    // Owned here, not floating: a second attempt sends it again.
    Variant owned(arguments != nullptr ? g_variant_ref_sink(arguments) : nullptr);
    for (int attempt = 0;; ++attempt) {
        Connection connection = to.bus == G_BUS_TYPE_SYSTEM ? SystemBus::get(to.connectFailure)
                                                            : connectSession(to.connectFailure);
        if (!connection) {
            return {};
        }
        Error error;
        Variant reply(g_dbus_connection_call_sync(
            connection.get(), to.name, to.path, to.interface, method, owned.get(), replyType,
            G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, error.out()));
        if (reply) {
            return reply;
        }
        if (attempt == 0 && to.bus == G_BUS_TYPE_SYSTEM &&
            g_dbus_connection_is_closed(connection.get())) {
            continue;
        }
        if (failure != nullptr) {
            logFailure(failure, error.get());
        }
        return {};
    }
}

// A method of logind's manager, with a session id as its one argument or none.
Variant callManager(const char* method, const char* sessionId, const char* failure,
                    int timeoutMs = kLockTimeoutMs) {
    return call(kManager, method, sessionId != nullptr ? g_variant_new("(s)", sessionId) : nullptr,
                timeoutMs, failure);
}

Variant callScreenSaver(const char* method, const char* failure) {
    return call(kScreenSaver, method, nullptr, kMateTimeoutMs, failure);
}

// Runs body; an exception is logged and gives `fallback`: a standard one with
// `failureWithText`, whose one %s takes the exception's text, anything else with
// `failureWithoutText`.
template <typename Body, typename Result>
Result guarded(Body body, Result fallback, const char* failureWithText,
               const char* failureWithoutText) {
    try {
        return body();
    } catch (const std::exception& error) {
        KxLogger::log(LOG_ERR, failureWithText, Common::printable(error.what()).c_str());
    } catch (...) {
        KxLogger::log(LOG_ERR, "%s", failureWithoutText);
    }
    return fallback;
}

// 1 or 0 for a boolean property among the session's properties, -1 for one logind did not give.
int flag(GVariant* properties, const char* name) {
    Variant value(properties != nullptr
                      ? g_variant_lookup_value(properties, name, G_VARIANT_TYPE_BOOLEAN)
                      : nullptr);
    if (!value) {
        return -1;
    }
    return g_variant_get_boolean(value.get()) ? 1 : 0;
}

// Sessions as logind lists them, not yet completed; false when logind could not be asked.
bool listSessions(std::vector<UserSessions::Session>& found, uint32_t maxLocalUid) {
    Variant reply = callManager("ListSessions", nullptr,
                                "Ошибка g_dbus_proxy_call_sync ListSessions", kListTimeoutMs);
    if (!reply) {
        return false;
    }
    // Unpacking a reply of another shape would read garbage; take it as no answer.
    if (!g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(a(susso))"))) {
        KxLogger::log(LOG_ERR, "Ошибка получения списка сессий g_variant_get_child_value");
        return false;
    }
    Variant list(g_variant_get_child_value(reply.get(), 0));
    size_t count = g_variant_n_children(list.get());
    for (size_t i = 0; i < count; ++i) {
        Variant entry(g_variant_get_child_value(list.get(), i));
        if (!entry) {
            KxLogger::log(LOG_DEBUG, "UserSessions::sessions: child of %llu session is NULL",
                          static_cast<unsigned long long>(i));
            continue;
        }
        const char* id = nullptr;
        guint32 uid = 0;
        const char* user = nullptr;
        const char* seat = nullptr;
        const char* path = nullptr;
        g_variant_get(entry.get(), "(&su&s&s&o)", &id, &uid, &user, &seat, &path);
        if (uid < kFirstUserUid || uid == kOverflowUid) {
            continue;
        }
        UserSessions::Session session;
        session.id = id;
        session.path = path;
        session.uid = uid;
        session.loginName = user;
        session.user = session.loginName.substr(0, session.loginName.find('@'));
        session.isLocal = uid < maxLocalUid;
        found.push_back(std::move(session));
    }
    return true;
}

}  // namespace

const UserSessions::Accounts::Account* UserSessions::Accounts::account(uint32_t uid, int& failure) {
    auto known = accounts_.find(uid);
    if (known == accounts_.end()) {
        passwd entry{};
        Found<Account> found;
        if (lookUpAccount(static_cast<uid_t>(uid), entry, buffer_, getpwuid_r, &found.failure)) {
            Account& account = found.value.emplace();
            account.uid = entry.pw_uid;
            account.home = entry.pw_dir != nullptr ? entry.pw_dir : "";
            account.gecos = entry.pw_gecos != nullptr ? entry.pw_gecos : "";
            account.gid = entry.pw_gid;
            if (entry.pw_name != nullptr) {
                account.name = entry.pw_name;
                std::vector<gid_t> ids;
                account.groupsListed = accountGroupIds(entry.pw_name, entry.pw_gid, ids);
                account.groupIds.assign(ids.begin(), ids.end());
            }
        }
        known = accounts_.emplace(uid, std::move(found)).first;
    }
    failure = known->second.failure;
    return known->second.value ? &*known->second.value : nullptr;
}

const std::string* UserSessions::Accounts::groupName(uint32_t gid, int& failure) {
    auto known = groupNames_.find(gid);
    if (known == groupNames_.end()) {
        struct group entry {};
        Found<std::string> found;
        if (lookUpAccount(static_cast<gid_t>(gid), entry, buffer_, getgrgid_r, &found.failure) &&
            entry.gr_name != nullptr) {
            found.value = entry.gr_name;
        }
        known = groupNames_.emplace(gid, std::move(found)).first;
    }
    failure = known->second.failure;
    return known->second.value ? &*known->second.value : nullptr;
}

const UserSessions::Accounts::Group* UserSessions::Accounts::group(const std::string& name,
                                                                   int& failure) {
    auto known = groups_.find(name);
    if (known == groups_.end()) {
        struct group entry {};
        Found<Group> found;
        if (lookUpAccount(name.c_str(), entry, buffer_, getgrnam_r, &found.failure)) {
            Group& group = found.value.emplace();
            group.gid = entry.gr_gid;
            for (char** member = entry.gr_mem; member != nullptr && *member != nullptr; ++member) {
                group.members.emplace_back(*member);
            }
        }
        known = groups_.emplace(name, std::move(found)).first;
    }
    failure = known->second.failure;
    return known->second.value ? &*known->second.value : nullptr;
}

namespace {

std::string printable(const std::string& text) {
    return Common::printable(text);
}

// The session's groups by name, in the database's order; false when a lookup failed.
bool completeGroups(UserSessions::Session& session, const UserSessions::Accounts::Account& account,
                    UserSessions::Accounts& accounts, uint32_t listedUid) {
    const int uid = static_cast<int>(listedUid);
    if (!account.groupsListed) {
        KxLogger::log(LOG_WARNING, "Не удалось получить список групп у пользователя %s, uid %d",
                      printable(session.loginName).c_str(), uid);
        return false;
    }
    bool complete = true;
    for (uint32_t gid : account.groupIds) {
        int failure = 0;
        if (const std::string* name = accounts.groupName(gid, failure)) {
            session.groups.push_back(*name);
        } else if (failure != 0) {
            KxLogger::log(LOG_WARNING,
                          "Не удалось получить группу с gid %d у пользователя %s, uid %d, error "
                          "code: %d, error: %s",
                          static_cast<int>(gid), printable(session.loginName).c_str(), uid, failure,
                          strerror(failure));
            complete = false;
        } else {
            // No such group: not one the user can be a member of.
            KxLogger::log(LOG_WARNING,
                          "Не удалось получить название группы с gid %d у пользователя %s, uid %d",
                          static_cast<int>(gid), printable(session.loginName).c_str(), uid);
        }
    }
    session.rights =
        UntrustedFile::Rights{account.uid, account.gid,
                              std::vector<gid_t>(account.groupIds.begin(), account.groupIds.end())};
    return complete;
}

}  // namespace

void UserSessions::complete(Session& session, Accounts& accounts) {
    const std::string& loginName = session.loginName;
    const uint32_t listedUid = session.uid;
    int failure = 0;
    if (const Accounts::Account* account = accounts.account(listedUid, failure)) {
        session.uid = account->uid;
        session.home = account->home;
        session.gecos = account->gecos;
        if (account->name) {
            session.membershipUnknown = !completeGroups(session, *account, accounts, listedUid);
            if (session.user != *account->name) {
                KxLogger::log(LOG_WARNING,
                              "Обнаружено несовпадение имени пользователя сессии %s и логином %s, "
                              "uid %d",
                              printable(loginName).c_str(), printable(*account->name).c_str(),
                              static_cast<int>(listedUid));
            }
        }
    } else if (failure != 0) {
        KxLogger::log(LOG_WARNING,
                      "Не удалось получить учетную запись пользователя %s, uid %d, error code: "
                      "%d, error: %s",
                      printable(loginName).c_str(), static_cast<int>(listedUid), failure,
                      strerror(failure));
        session.membershipUnknown = true;
    }
    session.isLocal = session.uid < maxLocalUid();
}

std::optional<bool> UserSessions::isMember(const Session& session, const std::string& group,
                                           Accounts& accounts) {
    int failure = 0;
    const Accounts::Group* entry = accounts.group(group, failure);
    if (entry == nullptr) {
        if (failure == 0) {
            return false;  // no such group
        }
        KxLogger::log(LOG_WARNING,
                      "Не удалось получить группу %s для проверки членства пользователя %s, uid "
                      "%d, error code: %d, error: %s",
                      printable(group).c_str(), printable(session.loginName).c_str(),
                      static_cast<int>(session.uid), failure, strerror(failure));
        return std::nullopt;
    }
    if (session.rights && (session.rights->gid == entry->gid ||
                           std::count(session.rights->groups.begin(), session.rights->groups.end(),
                                      entry->gid) != 0)) {
        return true;
    }
    return std::count(entry->members.begin(), entry->members.end(), session.user) != 0 ||
           std::count(entry->members.begin(), entry->members.end(), session.loginName) != 0;
}

std::string UserSessions::uidMaxText(const std::string& loginDefs) {
    static const std::string kKey = "UID_MAX";
    const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    const auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    size_t lineStart = 0;
    while (lineStart < loginDefs.size()) {
        size_t lineEnd = loginDefs.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = loginDefs.size();
        }
        // Every occurrence of the key in the line, leftmost first, as a regex search would.
        for (size_t key = loginDefs.find(kKey, lineStart); key < lineEnd;
             key = loginDefs.find(kKey, key + 1)) {
            size_t at = key + kKey.size();
            size_t blanks = at;
            while (at < lineEnd && isSpace(loginDefs[at])) {
                ++at;
            }
            size_t digits = at;
            while (at < lineEnd && isDigit(loginDefs[at])) {
                ++at;
            }
            if (digits > blanks && at > digits) {
                return loginDefs.substr(digits, at - digits);
            }
        }
        lineStart = lineEnd + 1;
    }
    return {};
}

uint32_t UserSessions::maxLocalUid() {
    if (gMaxLocalUid != 0) {
        return gMaxLocalUid;
    }
    // Set first: whatever goes wrong below, the default holds for the rest of the process.
    gMaxLocalUid = kDefaultMaxLocalUid;
    std::string content;
    if (!UntrustedFile::read(kLoginDefs, content)) {
        return gMaxLocalUid;
    }
    std::string digits = uidMaxText(content);
    if (digits.empty()) {
        return gMaxLocalUid;
    }
    errno = 0;
    long long value = std::strtoll(digits.c_str(), nullptr, 10);
    if (errno != 0 || value > INT_MAX) {
        // A value that cannot be read must not cost the listing its sessions.
        KxLogger::log(LOG_ERR, "Некорректное значение UID_MAX в %s: %s, используется %u",
                      kLoginDefs, Common::printable(digits).c_str(), kDefaultMaxLocalUid);
        return gMaxLocalUid;
    }
    gMaxLocalUid = static_cast<uint32_t>(value);
    return gMaxLocalUid;
}

std::optional<std::vector<UserSessions::Session>> UserSessions::listed() {
    std::vector<Session> found;
    if (!guarded([&found] { return listSessions(found, maxLocalUid()); }, false,
                 "Ошибка получения списка активных сессий %s",
                 "Ошибка получения списка активных сессий")) {
        return std::nullopt;
    }
    return found;
}

std::optional<std::vector<UserSessions::Session>> UserSessions::sessions() {
    std::optional<std::vector<Session>> found = listed();
    if (!found) {
        return std::nullopt;
    }
    const auto completeAll = [&found] {
        Accounts accounts;
        for (Session& session : *found) {
            complete(session, accounts);
        }
        return true;
    };
    if (!guarded(completeAll, false, "Ошибка получения списка активных сессий %s",
                 "Ошибка получения списка активных сессий")) {
        return std::nullopt;
    }
    return found;
}

bool UserSessions::connect() {
    maxLocalUid();
    // Quietly: the daemon's service reports a missing bus, and a removal reports it again.
    return static_cast<bool>(SystemBus::get(nullptr));
}

bool UserSessions::lock(const Session& session) {
    return guarded(
        [&session] {
            return static_cast<bool>(callManager("LockSession", session.id.c_str(),
                                                 "Ошибка g_dbus_proxy_call_sync LockSession"));
        },
        false, "Ошибка блокировки сессии пользователя. %s",
        "Ошибка блокировки сессии пользователя");
}

bool UserSessions::lockAll(int timeoutMs) {
    return guarded(
        [timeoutMs] {
            return static_cast<bool>(callManager(
                "LockSessions", nullptr, "Ошибка g_dbus_proxy_call_sync LockSessions", timeoutMs));
        },
        false, "Ошибка блокировки сессий пользователей. %s",
        "Ошибка блокировки сессий пользователей");
}

namespace {

// The session's properties as logind has them now. A session logind no longer knows has none,
// and neither has an answer that failed; the failure is not reported, as a proxy loading them
// would not.
Variant sessionProperties(const UserSessions::Session& session) {
    if (!g_variant_is_object_path(session.path.c_str())) {
        logFailure(kProxyFailed, nullptr);
        return {};
    }
    const Destination object{G_BUS_TYPE_SYSTEM, kLogindName, session.path.c_str(),
                             kPropertiesInterface, kProxyFailed};
    Variant reply = call(object, "GetAll", g_variant_new("(s)", kSessionInterface), kLockTimeoutMs,
                         nullptr, G_VARIANT_TYPE("(a{sv})"));
    return Variant(reply ? g_variant_get_child_value(reply.get(), 0) : nullptr);
}

}  // namespace

bool UserSessions::isSessionLocked(const Session& session) {
    return guarded(
        [&session] {
            // A session without properties does not count as locked.
            Variant properties = sessionProperties(session);
            int idle = flag(properties.get(), "IdleHint");
            int locked = flag(properties.get(), "LockedHint");
            int active = flag(properties.get(), "Active");
            KxLogger::log(LOG_DEBUG, "Сессия %s, IdleHint: %d, LockedHint: %d, Active: %d",
                          Common::printable(session.path).c_str(), idle, locked, active);
            // Idle or in the background is not locked: a screen nobody looks at right now is
            // still open to whoever sits down or switches to it.
            return locked == 1;
        },
        false, "Ошибка получения статуса блокировки сессии. %s",
        "Ошибка получения статуса блокировки сессии");
}

bool UserSessions::canBeLocked(const Kind& kind) {
    return kind.type != "tty" && !(kind.type == "unspecified" && kind.remote);
}

std::optional<UserSessions::Kind> UserSessions::kindOf(const Session& session) {
    return guarded(
        [&session]() -> std::optional<Kind> {
            Variant properties = sessionProperties(session);
            Variant type(
                properties ? g_variant_lookup_value(properties.get(), "Type", G_VARIANT_TYPE_STRING)
                           : nullptr);
            const int remote = flag(properties.get(), "Remote");
            const std::string typeName = type ? g_variant_get_string(type.get(), nullptr) : "";
            KxLogger::log(LOG_DEBUG, "Сессия %s, Type: %s, Remote: %d",
                          Common::printable(session.path).c_str(),
                          Common::printable(typeName).c_str(), remote);
            if (!type || remote == -1) {
                return std::nullopt;  // what logind did not tell cannot end a session
            }
            return Kind{typeName, remote == 1};
        },
        std::optional<Kind>(), "Ошибка получения типа сессии. %s", "Ошибка получения типа сессии");
}

bool UserSessions::terminate(const Session& session) {
    return guarded(
        [&session] {
            return static_cast<bool>(callManager("TerminateSession", session.id.c_str(),
                                                 "Ошибка g_dbus_proxy_call_sync TerminateSession"));
        },
        false, "Ошибка завершения сессии пользователя. %s",
        "Ошибка завершения сессии пользователя");
}

bool UserSessions::mateScreenSaverLock() {
    return guarded(
        [] {
            return static_cast<bool>(
                callScreenSaver("Lock", "Ошибка Mate g_dbus_proxy_call_sync Lock"));
        },
        false, "Ошибка блокировки mate получения статуса блокировки сессии. %s",
        "Ошибка получения статуса блокировки сессии");
}

bool UserSessions::mateIsScreenSaverActive() {
    return guarded(
        [] {
            Variant reply =
                callScreenSaver("GetActive", "Ошибка Mate g_dbus_proxy_call_sync GetActive");
            if (!reply) {
                return false;
            }
            // A method reply is always a tuple of the return values.
            if (g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(b)"))) {
                gboolean active = FALSE;
                g_variant_get(reply.get(), "(b)", &active);
                return active != FALSE;
            }
            KxLogger::log(LOG_ERR, "Некорректный тип результата статуса экрана блокировки %s",
                          g_variant_get_type_string(reply.get()));
            return false;
        },
        false, "Ошибка получения статуса экрана блокировки mate. %s",
        "Ошибка получения статуса экрана блокировки mate");
}

namespace {

// The thread that runs GLib's global main context: answers to the requests made without
// waiting, and logind's session signals, are delivered there (GIO hands them to the context
// that was the caller's when they were asked for, which is this one on every daemon thread).
class EventThread {
public:
    static void start(std::function<void()> changed) {
        std::lock_guard<std::mutex> lock(mutex_);
        changed_ = std::move(changed);
        if (thread_.joinable()) {
            return;
        }
        loop_ = g_main_loop_new(nullptr, FALSE);
        thread_ = std::thread([loop = loop_] {
            pthread_setname_np(pthread_self(), "kx-logind");
            g_main_loop_run(loop);
        });
        running_ = true;
    }

    static void stop() {
        std::thread thread;
        GMainLoop* loop = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!thread_.joinable()) {
                return;
            }
            running_ = false;
            changed_ = nullptr;
            thread = std::move(thread_);
            loop = std::exchange(loop_, nullptr);
        }
        // Joined outside the mutex: a session signal handled on the thread meanwhile takes it.
        g_main_loop_quit(loop);
        thread.join();
        g_main_loop_unref(loop);
        // What arrived meanwhile is delivered, so the requests waiting for it are answered.
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }

    static bool running() { return running_; }

    // On the thread itself.
    static void sessionsChanged() {
        std::function<void()> changed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            changed = changed_;
        }
        if (changed) {
            changed();
        }
    }

private:
    static std::mutex mutex_;
    static std::thread thread_;
    static GMainLoop* loop_;
    static std::atomic<bool> running_;
    static std::function<void()> changed_;
};

std::mutex EventThread::mutex_;
std::thread EventThread::thread_;
GMainLoop* EventThread::loop_ = nullptr;
std::atomic<bool> EventThread::running_{false};
std::function<void()> EventThread::changed_;

void onSessionSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                     GVariant*, gpointer) {
    EventThread::sessionsChanged();
}

void subscribeSessionSignals(GDBusConnection* connection) {
    for (const char* member : {"SessionNew", "SessionRemoved"}) {
        g_dbus_connection_signal_subscribe(connection, kLogindName, kManagerInterface, member,
                                           kLogindPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                           &onSessionSignal, nullptr, nullptr);
    }
    // A new connection after a lost one: what changed meanwhile was not heard.
    if (EventThread::running()) {
        g_idle_add(
            [](gpointer) -> gboolean {
                EventThread::sessionsChanged();
                return G_SOURCE_REMOVE;
            },
            nullptr);
    }
}

}  // namespace

struct UserSessions::Request::State {
    const char* method;
    std::string sessionId;  // empty for LockSessions
    const char* failure;
    std::mutex mutex;
    std::condition_variable answered;
    bool sent = false;  // asynchronously; else the call is made when its answer is asked for
    bool done = false;
    bool accepted = false;
    std::string error;
};

namespace {

using RequestState = UserSessions::Request::State;

void onLockAnswer(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::shared_ptr<RequestState>> owned(
        static_cast<std::shared_ptr<RequestState>*>(data));
    RequestState& state = **owned;
    Error error;
    Variant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error.out()));
    std::lock_guard<std::mutex> lock(state.mutex);
    state.accepted = static_cast<bool>(reply);
    if (!reply && error.get() != nullptr) {
        state.error = Common::format("\terror code %d, error %s", error.get()->code,
                                     Common::printable(error.get()->message).c_str());
    }
    state.done = true;
    state.answered.notify_all();
}

UserSessions::Request requestLater(const char* method, std::string sessionId, const char* failure) {
    auto state = std::make_shared<RequestState>();
    state->method = method;
    state->sessionId = std::move(sessionId);
    state->failure = failure;
    if (!EventThread::running()) {
        return UserSessions::Request(state);
    }
    Connection connection = SystemBus::get(nullptr);
    if (connection) {
        state->sent = true;
        GVariant* arguments =
            state->sessionId.empty() ? nullptr : g_variant_new("(s)", state->sessionId.c_str());
        g_dbus_connection_call(connection.get(), kLogindName, kLogindPath, kManagerInterface,
                               method, arguments, nullptr, G_DBUS_CALL_FLAGS_NONE, kLockTimeoutMs,
                               nullptr, &onLockAnswer, new std::shared_ptr<RequestState>(state));
    }
    return UserSessions::Request(state);
}

}  // namespace

bool UserSessions::Request::accepted() const {
    if (!state_) {
        return false;
    }
    State& state = *state_;
    if (!state.sent) {
        // Not sent ahead (no event thread, or no connection then): made now, as lock() would.
        const char* id = state.sessionId.empty() ? nullptr : state.sessionId.c_str();
        return static_cast<bool>(callManager(state.method, id, state.failure, kLockTimeoutMs));
    }
    std::unique_lock<std::mutex> lock(state.mutex);
    // GIO answers by the request's timeout; a little more, in case its thread is late.
    const auto limit = std::chrono::milliseconds(kLockTimeoutMs + 500);
    if (!state.answered.wait_for(lock, limit, [&state] { return state.done; })) {
        KxLogger::log(LOG_ERR, "%s", state.failure);
        return false;
    }
    if (!state.accepted) {
        KxLogger::log(LOG_ERR, "%s", state.failure);
        if (!state.error.empty()) {
            KxLogger::log(LOG_DEBUG, "%s", state.error.c_str());
        }
    }
    return state.accepted;
}

UserSessions::Request UserSessions::lockLater(const Session& session) {
    return requestLater("LockSession", session.id, "Ошибка g_dbus_proxy_call_sync LockSession");
}

UserSessions::Request UserSessions::lockAllLater() {
    return requestLater("LockSessions", {}, "Ошибка g_dbus_proxy_call_sync LockSessions");
}

void UserSessions::startEvents(std::function<void()> changed) {
    EventThread::start(std::move(changed));
    SystemBus::get(nullptr);  // subscribes, if the connection is not made yet
}

void UserSessions::stopEvents() {
    EventThread::stop();
}
