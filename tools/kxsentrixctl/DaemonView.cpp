#include "DaemonView.h"

#include <algorithm>
#include <ctime>
#include <optional>

#include "TerminalText.h"
#include "TextTable.h"
#include "sessions/LogonSetup.h"
#include "sessions/SessionMatch.h"

namespace {

using Json = nlohmann::ordered_json;

const Json& member(const Json& object, const char* key) {
    static const Json none;
    return object.is_object() && object.contains(key) ? object.at(key) : none;
}

// A member as text: a string as it is, a number or boolean as JSON writes it, nothing else.
std::string text(const Json& object, const char* key) {
    const Json& value = member(object, key);
    if (value.is_string()) {
        return value.get<std::string>();
    }
    return value.is_number() || value.is_boolean() ? value.dump() : "";
}

// A member for the terminal.
std::string shown(const Json& object, const char* key) {
    return TerminalText::cell(text(object, key));
}

std::string when(const Json& object, const char* key) {
    const Json& value = member(object, key);
    return value.is_number_integer() ? DaemonView::localTime(value.get<int64_t>()) : "never";
}

// A reason of several log lines on one line.
std::string oneLine(std::string reason) {
    while (!reason.empty() && reason.back() == '\n') {
        reason.pop_back();
    }
    for (size_t at = reason.find('\n'); at != std::string::npos; at = reason.find('\n', at)) {
        reason.replace(at, 1, at > 0 && reason[at - 1] == ':' ? " " : "; ");
    }
    return reason;
}

// A labelled line, the values in one column; without a label, a line more of the one before.
std::string line(const char* label, const std::string& value) {
    std::string padded = *label != '\0' ? std::string(label) + ":" : "";
    padded.resize(std::max<size_t>(padded.size() + 1, 18), ' ');
    return padded + value + "\n";
}

std::string removalOutcome(const Json& removal) {
    const std::string outcome = text(removal, "outcome");
    std::string said = outcome == "locked"      ? text(removal, "sessions") + " session(s) locked"
                       : outcome == "lockedAll" ? "every session locked (fallback)"
                       : outcome == "powerOffFailed" ? "the power-off failed; every session locked"
                                                     : "no session touched";
    const std::string clients = text(removal, "remoteClients");
    if (!clients.empty() && clients != "0") {
        said += ", " + clients + " remote client(s) interrupted";
    }
    return said;
}

using AuthType = SessionMatch::AuthType;
constexpr AuthType kLogons[] = {AuthType::LocalPki, AuthType::LocalNoPki, AuthType::NetworkPki,
                                AuthType::NetworkNoPki};

// The daemon names a logon type in its log's words; the terminal's are English.
std::optional<AuthType> logonNamed(const std::string& name) {
    for (AuthType type : kLogons) {
        if (SessionMatch::authTypeName(type) == name) {
            return type;
        }
    }
    if (name == SessionMatch::authTypeName(AuthType::NotConfigured)) {
        return AuthType::NotConfigured;
    }
    return std::nullopt;
}

std::string module(AuthType type) {
    return std::string("pam_") + SessionMatch::logonOf(type)->marker;
}

std::string logonInEnglish(AuthType type) {
    switch (type) {
        case AuthType::LocalPki:
            return "local accounts, by the certificate in ~/.eid/authorized_certificates";
        case AuthType::LocalNoPki:
            return "local accounts, by a profile for this host";
        case AuthType::NetworkPki:
            return "domain accounts, by a certificate of the domain";
        case AuthType::NetworkNoPki:
            return "domain accounts, by a profile for the domain";
        case AuthType::NotConfigured:
            break;
    }
    return "not configured";
}

// Why no session belongs to any token: the PAM stack names no token logon module.
std::string whyNotConfigured(const Json& logon) {
    const std::string file = text(logon, "authFile");
    if (file.empty()) {
        return std::string("neither ") + LogonSetup::kPamSystemAuth + " nor " +
               LogonSetup::kPamCommonAuth + " exists";
    }
    std::string modules;
    for (AuthType type : kLogons) {
        modules += (modules.empty() ? "" : ", ") + module(type);
    }
    return TerminalText::cell(file) + " names none of " + modules;
}

bool notConfigured(const Json& logon) {
    return logonNamed(text(logon, "authType")) == AuthType::NotConfigured &&
           member(logon, "authRead") != false;
}

std::string systemAction(const std::string& value) {
    return value == "0"   ? "no action (0)"
           : value == "1" ? "lock the token's sessions (1)"
           : value == "2" ? "power the machine off (2)"
                          : "not defined (" + value + ")";
}

std::string remoteAction(const std::string& value) {
    return value == "1" ? "interrupt the token's remote-desktop clients (1)"
                        : "no action (" + value + ")";
}

const char* kFallback =
    "; a session that does not report locked within 3 s gets every session locked (logind's "
    "LockSessions and the MATE screen saver)";

// What the lock or power-off action does to the sessions, given the logon type.
std::string sessionsOutcome(const std::string& action, const Json& logon) {
    if (member(logon, "authRead") == false) {
        return "every session is locked: " + shown(logon, "authFile") +
               " cannot be read, so the token's sessions cannot be told";
    }
    if (notConfigured(logon)) {
        return "no session is touched: the logon type is not configured (" +
               whyNotConfigured(logon) + ")";
    }
    return action == "1" ? std::string("the token's sessions are locked") + kFallback
                         : "the machine is powered off when a session belongs to the token";
}

// Why a removal leaves every session alone, by the system action.
std::string whyUntouched(const std::string& action) {
    return action == "1" || action == "2" ? ": none belongs to the token"
           : action == "0"                ? " (actionOnTokenDisabled 0)"
                                          : ": actionOnTokenDisabled is not defined";
}

// Why a removal would lock every session: the error the records give, or a session whose owner
// cannot be told.
std::string whyEverything(const Json& token) {
    std::string why = "whose the sessions are could not be found out";
    for (const Json& record : member(token, "records")) {
        const std::string said = record.is_string() ? record.get<std::string>() : "";
        if (said.rfind("[ERROR] ", 0) == 0) {
            why = TerminalText::cell(said.substr(8));
        }
    }
    for (const Json& session : member(token, "sessions")) {
        if (text(session, "verdict") == "unknown") {
            why = "session " + text(session, "id") + "'s owner could not be told";
        }
    }
    return why;
}

// The lock requests that leave the moment the token does, before anything is looked at.
std::string ahead(const Json& token) {
    const Json& prepared = member(token, "preparedLocks");
    if (!prepared.is_object()) {
        return "not decided yet";
    }
    std::string sessions;
    for (const Json& id : member(prepared, "sessions")) {
        sessions += (sessions.empty() ? "" : ", ") + TerminalText::cell(id.get<std::string>());
    }
    if (member(prepared, "everything") == true) {
        return "every session (LockSessions)";
    }
    return sessions.empty() ? "none" : "sessions " + sessions;
}

// A session's verdict, with what happens to a session no screen locker can lock.
std::string verdictOf(const Json& token, const Json& session) {
    std::string verdict = text(session, "verdict");
    if (member(session, "screenLocker") == false) {
        verdict += " (no screen locker: will not report locked)";
    }
    for (const Json& step : member(token, "steps")) {
        if (text(step, "do") == "terminate" && text(step, "session") == text(session, "id")) {
            verdict += ", then ended";
        }
    }
    return verdict;
}

std::string wouldDo(const Json& token, const Json& logon) {
    const std::string action = text(token, "action");
    std::string said;
    if (action == "lockMatching") {
        said = std::string("lock the sessions marked lock") + kFallback;
    } else if (action == "lockEverything") {
        said = "lock every session: " + whyEverything(token);
    } else if (action == "powerOff") {
        said = member(token, "configurationFound") == false
                   ? "power the machine off: no configuration file in force"
                   : "power the machine off";
    } else if (notConfigured(token)) {
        said = "touch no session: the logon type is not configured (" + whyNotConfigured(logon) +
               ")";
    } else {
        said = "touch no session" + whyUntouched(text(member(token, "system"), "value"));
    }
    if (text(member(token, "remote"), "value") == "1") {
        said += "; interrupt the remote clients marked interrupt";
    }
    return said;
}

}  // namespace

std::string DaemonView::localTime(int64_t seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm local{};
    char text[64] = "";
    if (localtime_r(&time, &local) != nullptr) {
        std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S %z", &local);
    }
    return text;
}

std::string DaemonView::status(const Json& status) {
    std::string out =
        line("kxsentrixd", shown(status, "version") + ", up " + shown(status, "uptimeSeconds") +
                               " s, since " + when(status, "startedAt"));
    const Json& library = member(status, "library");
    out += line("Token library", text(library, "state") == "initialised"
                                     ? "initialised " + when(library, "since")
                                     : "retrying since " + when(library, "since") + " (error " +
                                           shown(library, "error") + ")");
    out += line("Tokens", shown(status, "tokens") +
                              " (slots at the last listing: " + shown(status, "slotsListed") +
                              (member(status, "slotListFailed") == true ? ", listing fails" : "") +
                              ")");
    const Json& config = member(status, "configuration");
    const std::string state = text(config, "state");
    out += line("Configuration", shown(config, "path") + ", " +
                                     (state == "loaded"    ? "loaded " + when(config, "loadedAt")
                                      : state == "refused" ? "refused: " + shown(config, "problem")
                                                           : "missing"));
    out += effect(status);
    const Json& bus = member(status, "bus");
    out += line("D-Bus name",
                shown(bus, "name") + (member(bus, "held") == true ? ", held" : ", not held"));
    const Json& event = member(status, "lastEvent");
    out += line("Last slot event", event.is_object()
                                       ? "slot " + shown(event, "slot") + " " + when(event, "at") +
                                             ", result " + shown(event, "result") + ", flags " +
                                             shown(event, "flags")
                                       : "none");
    const Json& removal = member(status, "lastRemoval");
    out += line("Last removal", removal.is_object()
                                    ? "slot " + shown(removal, "slot") + " " + when(removal, "at") +
                                          ": " + removalOutcome(removal)
                                    : "none");
    const Json& log = member(status, "log");
    out += line("Log", shown(log, "dropped") + " record(s) not taken, " + shown(log, "heldBack") +
                           " user record(s) held back");
    out += line("Status", shown(status, "summary"));
    return out;
}

std::string DaemonView::effect(const Json& status) {
    const Json& config = member(status, "configuration");
    std::string settings;
    for (const auto& [key, value] : member(config, "settings").items()) {
        settings += (settings.empty() ? "" : ", ") + TerminalText::cell(key) + " " +
                    TerminalText::cell(value.is_string() ? value.get<std::string>() : value.dump());
    }
    const bool fromFile = member(config, "fromFile") == true;
    std::string inForce =
        member(config, "removalPowersOff") == true ? "none in force"
        : text(config, "state") == "loaded"        ? settings
        : fromFile ? "those loaded " + when(config, "loadedAt") + " stay: " + settings
                   : "none from the file, the defaults: " + settings;
    std::string out = line("Settings", inForce);
    const std::optional<AuthType> type = logonNamed(text(status, "authType"));
    const std::string file = shown(status, "authFile");
    out += line("Authentication",
                member(status, "authRead") == false ? "unknown: " + file + " cannot be read"
                : type == AuthType::NotConfigured   ? "not configured: " + whyNotConfigured(status)
                : type ? logonInEnglish(*type) + " (" + module(*type) + " in " + file + ")"
                       : shown(status, "authType"));
    out += line("On removal", onRemoval(config, status));
    return out;
}

std::string DaemonView::configurationCheck(const std::string& path, const std::string& state,
                                          const Json& status) {
    return line("File", TerminalText::cell(path) + ": " + state) + effect(status);
}

std::string DaemonView::onRemoval(const Json& configuration, const Json& logon) {
    if (member(configuration, "removalPowersOff") == true) {
        return "the machine is powered off: no configuration is in force";
    }
    const Json& settings = member(configuration, "settings");
    const std::string action = text(settings, "actionOnTokenDisabled");
    std::string said = action == "1" || action == "2"
                           ? sessionsOutcome(action, logon)
                           : "no session is touched" + whyUntouched(action);
    if (text(settings, "actionOnTokenDisabledRemote") == "1") {
        said += "; the token's remote-desktop clients are interrupted";
    }
    return said;
}

std::string DaemonView::explanation(const Json& explanation, const Json& logon) {
    std::string out;
    for (const Json& token : member(explanation, "tokens")) {
        if (!out.empty()) {
            out += "\n";
        }
        const std::string serial = shown(token, "serialNumber");
        out += "Slot " + shown(token, "slot") + ": " + shown(token, "label") + " (" +
               shown(token, "model") + "), " + (serial.empty() ? "no serial" : "serial " + serial) +
               "\n";
        out += line("Sessions", systemAction(text(member(token, "system"), "value")));
        out += line("Remote clients", remoteAction(text(member(token, "remote"), "value")));
        const std::optional<AuthType> type = logonNamed(text(token, "authType"));
        out += line("Authentication", !member(token, "authType").is_string() ? "not looked at"
                                      : type ? logonInEnglish(*type)
                                             : shown(token, "authType"));
        out += line("Would", wouldDo(token, logon));
        out += line("At once", "lock requests for " + ahead(token));
        if (!member(token, "sessions").empty()) {
            TextTable sessions({"SESSION", "USER", "UID", "VERDICT", "REASON"});
            for (const Json& session : member(token, "sessions")) {
                sessions.addRow({text(session, "id"), text(session, "user"), text(session, "uid"),
                                 verdictOf(token, session), oneLine(text(session, "reason"))});
            }
            out += sessions.render();
        }
        if (!member(token, "remoteClients").empty()) {
            TextTable clients(
                {"CLIENT", "USER", "DOMAIN", "SERVER", "PARENT", "VERDICT", "REASON"});
            for (const Json& client : member(token, "remoteClients")) {
                const Json& parent = member(client, "parent");
                std::string verdict = text(client, "verdict");
                std::string reason = oneLine(text(client, "reason"));
                if (parent.is_object()) {
                    verdict += text(parent, "verdict") == "interrupt" ? " with parent" : "";
                    const std::string parentReason = text(parent, "reason");
                    reason += parentReason.empty() ? "" : "; " + parentReason;
                }
                clients.addRow(
                    {text(client, "pid"), text(client, "user"), text(client, "domain"),
                     text(client, "server"),
                     parent.is_object() ? text(parent, "pid") + " " + text(parent, "name") : "",
                     verdict, reason});
            }
            out += clients.render();
        }
    }
    return out;
}
