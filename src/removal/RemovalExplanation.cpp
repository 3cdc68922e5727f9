#include "removal/RemovalExplanation.h"

#include <map>
#include <string>

#include "base/JsonWriter.h"
#include "log/KxLogger.h"

namespace {

using Session = UserSessions::Session;
// What logind told of the kind of each session to lock, by session id.
using Kinds = std::map<std::string, std::optional<UserSessions::Kind>>;

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

// The steps a removal would take, each written down as a JSON object instead of being taken.
class ExplainedActions : public RemovalActions {
public:
    ExplainedActions(JsonWriter& json, const std::vector<ProcessTable::Process>& running,
                     const Kinds& kinds)
        : json_(json), running_(running), kinds_(kinds) {}

    void note(const RemovalPlan::Record&) override {}
    void lock(const Session& session) override {
        step("lock").key("session").string(session.id).end();
    }
    void lockEverything() override { step("lockEverything").end(); }
    // Told as a step with its fallback; the explanation goes on as if the sessions locked.
    bool awaitLocked(const std::vector<Session>& sessions) override {
        step("awaitLocked").key("sessions").beginArray();
        for (const Session& session : sessions) {
            json_.string(session.id);
        }
        json_.end().key("limitMs").integer(3000).key("otherwise").string("lockEverything").end();
        return true;
    }
    std::optional<UserSessions::Kind> kindOf(const Session& session) override {
        auto known = kinds_.find(session.id);
        return known != kinds_.end() ? known->second : std::nullopt;
    }
    bool terminate(const Session& session) override {
        step("terminate").key("session").string(session.id).end();
        return true;
    }
    std::vector<ProcessTable::Process> remoteClients() override { return running_; }
    void interrupt(const RemovalPlan::Client& client) override {
        step("interrupt").key("pid").integer(client.process.pid);
        json_.key("withParent").boolean(client.parent == SessionMatch::ClientParent::Launcher);
        json_.end();
    }
    void prepareForPowerOff() override { step("lockEverything").end(); }
    void powerOff() override { step("powerOff").end(); }

private:
    JsonWriter& step(const char* what) { return json_.beginObject().key("do").string(what); }

    JsonWriter& json_;
    const std::vector<ProcessTable::Process>& running_;
    const Kinds& kinds_;
};

// Whether a screen locker can lock the session: null when it is not to be locked on its own,
// or logind did not tell.
void writeScreenLocker(JsonWriter& json, const Session& session, const Kinds& kinds) {
    json.key("screenLocker");
    auto known = kinds.find(session.id);
    if (known == kinds.end() || !known->second) {
        json.null();
    } else {
        json.boolean(UserSessions::canBeLocked(*known->second));
    }
}

void writeSession(JsonWriter& json, const Session& session, const char* verdict,
                  const std::string& reason, const Kinds& kinds) {
    json.beginObject();
    json.key("id").string(session.id);
    json.key("user").string(session.user);
    json.key("uid").unsignedInteger(session.uid);
    json.key("verdict").string(verdict);
    json.key("reason").string(reason);
    writeScreenLocker(json, session, kinds);
    json.end();
}

const char* verdictOf(const RemovalPlan::Examined& examined) {
    if (!examined.matches) {
        return "skip";
    }
    if (examined.unknown) {
        return "unknown";  // every session is locked for it
    }
    return examined.lock ? "lock" : "powerOff";
}

void writeSessions(JsonWriter& json, const RemovalPlan& plan, const Kinds& kinds) {
    json.key("sessions").beginArray();
    for (const RemovalPlan::Examined& examined : plan.sessions) {
        // With the reasons on, every verdict has its record.
        writeSession(json, examined.session, verdictOf(examined), examined.reason, kinds);
    }
    for (const Session& session : plan.unexamined) {
        writeSession(json, session, "notExamined", "", kinds);
    }
    json.end();
}

void writeClient(JsonWriter& json, const RemovalPlan::Client& client) {
    using Parent = SessionMatch::ClientParent;
    const ProcessTable::Process& process = client.process;
    json.beginObject();
    json.key("pid").integer(process.pid);
    json.key("ppid").integer(process.ppid);
    json.key("user").string(SessionMatch::optionValue(process.cmdline, "/u:"));
    json.key("domain").string(SessionMatch::optionValue(process.cmdline, "/d:"));
    json.key("server").string(SessionMatch::optionValue(process.cmdline, "/v:"));
    json.key("verdict").string(client.verdict.matches ? "interrupt" : "leave");
    json.key("reason").string(client.verdict.text);
    json.key("parent");
    if (client.parent == Parent::None) {
        json.null();
    } else {
        json.beginObject();
        json.key("pid").integer(process.ppid);
        json.key("name").string(client.parentName);
        const bool launcher = client.parent == Parent::Launcher;
        json.key("verdict").string(launcher ? "interrupt" : "leave");
        json.key("reason").string(launcher ? "" : SessionMatch::kParentNotLauncher);
        json.end();
    }
    json.end();
}

void writePrepared(JsonWriter& json, const std::optional<LockAhead::Prepared>& prepared) {
    json.key("preparedLocks");
    if (!prepared) {
        json.null();
        return;
    }
    json.beginObject().key("sessions").beginArray();
    for (const Session& session : prepared->sessions) {
        json.string(session.id);
    }
    json.end().key("everything").boolean(prepared->everything).end();
}

// The token, the settings, and what the plan says before the sessions.
void writeOpening(JsonWriter& json, const Token::Info& token,
                  const RemovalPlan::Settings& settings, const RemovalPlan& plan) {
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
}

}  // namespace

RemovalPlan::Settings RemovalExplanation::withReasons(RemovalPlan::Settings settings) {
    settings.match.debug = true;
    return settings;
}

void RemovalExplanation::write(JsonWriter& json, const Token::Info& token,
                               const RemovalPlan::Settings& settings, const RemovalPlan& plan,
                               const std::vector<ProcessTable::Process>& running,
                               const std::optional<LockAhead::Prepared>& prepared,
                               const KindOf& kindOf) {
    Kinds kinds;
    for (const RemovalPlan::Examined& examined : plan.sessions) {
        if (examined.lock) {
            kinds[examined.session.id] = kindOf(examined.session);
        }
    }
    json.beginObject();
    writeOpening(json, token, settings, plan);
    writeSessions(json, plan, kinds);
    json.key("remoteClients").beginArray();
    if (plan.closeRemoteClients) {
        for (const RemovalPlan::Client& client :
             RemovalPlan::clientsOf(running, token, settings.match)) {
            writeClient(json, client);
        }
    }
    json.end();
    json.key("steps").beginArray();
    ExplainedActions steps(json, running, kinds);
    Removal::carryOut(token, plan, settings, steps);
    json.end();
    writePrepared(json, prepared);
    json.end();
}
