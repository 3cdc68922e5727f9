#include "DaemonView.h"

#include <algorithm>
#include <ctime>

#include "TerminalText.h"
#include "TextTable.h"

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

std::string wouldDo(const Json& token) {
    const std::string action = text(token, "action");
    std::string said =
        action == "lockMatching"
            ? "lock the sessions marked lock and wait for them to report locked"
        : action == "lockEverything" ? "lock every session: logind could not list them"
        : action == "powerOff"       ? (member(token, "configurationFound") == false
                                            ? "power the machine off: no configuration file in force"
                                            : "power the machine off")
                                     : "touch no session";
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
                                                           : "not loaded"));
    if (member(config, "removalPowersOff") == true) {
        out += line("", "a token removal powers the machine off: no configuration file in force");
    }
    std::string settings;
    for (const auto& [key, value] : member(config, "settings").items()) {
        settings += (settings.empty() ? "" : ", ") + TerminalText::cell(key) + " " +
                    TerminalText::cell(value.is_string() ? value.get<std::string>() : value.dump());
    }
    out += line("Settings", settings);
    out += line("Authentication", shown(status, "authType"));
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

std::string DaemonView::explanation(const Json& explanation) {
    std::string out;
    for (const Json& token : member(explanation, "tokens")) {
        if (!out.empty()) {
            out += "\n";
        }
        out += "Slot " + shown(token, "slot") + ": " + shown(token, "label") + " (" +
               shown(token, "model") + "), serial " + shown(token, "serialNumber") + "\n";
        out += line("Sessions", shown(member(token, "system"), "name"));
        out += line("Remote clients", shown(member(token, "remote"), "name"));
        const Json& authType = member(token, "authType");
        out += line("Authentication",
                    authType.is_string() ? shown(token, "authType") : "not looked at");
        out += line("Would", wouldDo(token));
        if (!member(token, "sessions").empty()) {
            TextTable sessions({"SESSION", "USER", "UID", "VERDICT", "REASON"});
            for (const Json& session : member(token, "sessions")) {
                sessions.addRow({text(session, "id"), text(session, "user"), text(session, "uid"),
                                 text(session, "verdict"), oneLine(text(session, "reason"))});
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
