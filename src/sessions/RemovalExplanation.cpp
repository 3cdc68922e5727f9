#include "sessions/RemovalExplanation.h"

#include "log/JsonWriter.h"
#include "log/KxLogger.h"

namespace {

const char* actionName(RemovalPlan::Action action) {
    switch (action) {
        case RemovalPlan::Action::None:
            return "none";
        case RemovalPlan::Action::LockMatching:
            return "lockMatching";
        case RemovalPlan::Action::PowerOff:
            return "powerOff";
        case RemovalPlan::Action::LockEverything:
            return "lockEverything";
    }
    return "";
}

// A record as the log shows it.
std::string logged(const RemovalPlan::Record& record) {
    return KxLogger::prefix(record.level) + record.text;
}

void writeSession(JsonWriter& json, const UserSessions::Session& session, const char* verdict,
                  const std::string& reason) {
    json.beginObject();
    json.key("id").string(session.id);
    json.key("user").string(session.user);
    json.key("uid").unsignedInteger(session.uid);
    json.key("verdict").string(verdict);
    json.key("reason").string(reason);
    json.end();
}

void writeClient(JsonWriter& json, const RemovalExplanation::Client& client) {
    using Parent = SessionMatch::ClientParent;
    json.beginObject();
    json.key("pid").integer(client.pid);
    json.key("ppid").integer(client.ppid);
    json.key("user").string(client.user);
    json.key("domain").string(client.domain);
    json.key("server").string(client.server);
    json.key("verdict").string(client.verdict.matches ? "interrupt" : "leave");
    json.key("reason").string(client.verdict.text);
    json.key("parent");
    if (client.parent == Parent::None) {
        json.null();
    } else {
        json.beginObject();
        json.key("pid").integer(client.ppid);
        json.key("name").string(client.parentName);
        const bool launcher = client.parent == Parent::Launcher;
        json.key("verdict").string(launcher ? "interrupt" : "leave");
        json.key("reason").string(launcher ? "" : SessionMatch::kParentNotLauncher);
        json.end();
    }
    json.end();
}

}  // namespace

RemovalPlan::Settings RemovalExplanation::withReasons(RemovalPlan::Settings settings) {
    settings.match.debug = true;
    return settings;
}

std::vector<RemovalExplanation::Client> RemovalExplanation::remoteClients(
    const std::vector<ProcessTable::Process>& running, const Token::Info& token,
    const SessionMatch::Settings& settings) {
    std::vector<Client> clients;
    for (const ProcessTable::Process& process : running) {
        Client client;
        client.pid = process.pid;
        client.ppid = process.ppid;
        client.user = SessionMatch::optionValue(process.cmdline, "/u:");
        client.domain = SessionMatch::optionValue(process.cmdline, "/d:");
        client.server = SessionMatch::optionValue(process.cmdline, "/v:");
        client.verdict = SessionMatch::remoteClient(process, token, settings);
        if (client.verdict.matches) {
            client.parentName = ProcessTable::parentName(process);
            client.parent = SessionMatch::clientParent(process, client.parentName);
        }
        clients.push_back(std::move(client));
    }
    return clients;
}

void RemovalExplanation::write(JsonWriter& json, const Token::Info& token,
                               const RemovalPlan::Settings& settings, const RemovalPlan& plan,
                               const std::vector<Client>& clients) {
    json.beginObject();
    json.key("slot").unsignedInteger(token.slotId);
    json.key("label").string(token.label);
    json.key("model").string(token.model);
    json.key("serialNumber").string(token.serialNumber);
    json.key("system").beginObject();
    json.key("value").integer(static_cast<int64_t>(settings.system));
    json.key("name").string(DaemonConfig::systemActionName(settings.system)).end();
    json.key("remote").beginObject();
    json.key("value").integer(static_cast<int64_t>(settings.remote));
    json.key("name").string(DaemonConfig::remoteActionName(settings.remote)).end();
    json.key("configurationFound").boolean(settings.configExists);
    json.key("authType");
    if (plan.authType) {
        json.string(SessionMatch::authTypeName(*plan.authType));
    } else {
        json.null();
    }
    json.key("action").string(actionName(plan.action));
    json.key("records").beginArray();
    for (const RemovalPlan::Record& record : plan.opening) {
        json.string(logged(record));
    }
    json.end();
    json.key("sessions").beginArray();
    for (const RemovalPlan::Examined& examined : plan.sessions) {
        const char* verdict = !examined.matches  ? "skip"
                              : examined.unknown ? "unknown"
                              : examined.lock    ? "lock"
                                                 : "powerOff";
        // With the reasons on, every verdict comes with its record, first.
        writeSession(json, examined.session, verdict,
                     examined.records.empty() ? std::string() : examined.records.front().text);
    }
    for (const UserSessions::Session& session : plan.unexamined) {
        writeSession(json, session, "notExamined", "");
    }
    json.end();
    json.key("remoteClients").beginArray();
    if (plan.closeRemoteClients) {
        for (const Client& client : clients) {
            writeClient(json, client);
        }
    }
    json.end();
    json.end();
}
