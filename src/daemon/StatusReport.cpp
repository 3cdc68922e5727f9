#include "daemon/StatusReport.h"

#include <ctime>
#include <vector>

#include "sessions/LogonSetup.h"
#include "base/Common.h"
#include "base/JsonWriter.h"
#include "sessions/SessionMatch.h"

namespace {

using Outcome = StatusReport::Removal::Outcome;

// What the configuration in force is, as the last load left it.
const char* configState(const DaemonConfig::Status& config) {
    if (!config.problem.empty()) {
        return "refused";  // the settings before it stay
    }
    return config.fromFile ? "loaded" : "missing";
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Nothing:
            return "nothing";
        case Outcome::Locked:
            return "locked";
        case Outcome::LockedAll:
            return "lockedAll";
        case Outcome::PowerOffFailed:
            return "powerOffFailed";
    }
    return "";
}

JsonWriter& time(JsonWriter& json, int64_t seconds) {
    return seconds == 0 ? json.null() : json.integer(seconds);
}

std::string localTime(int64_t seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm local{};
    char text[32] = "";
    if (localtime_r(&time, &local) != nullptr) {
        std::strftime(text, sizeof(text), "%d.%m.%Y %H:%M:%S", &local);
    }
    return text;
}

unsigned long long count(uint64_t value) {
    return static_cast<unsigned long long>(value);
}

std::string configLine(const StatusReport& report) {
    const DaemonConfig::Status& config = report.config;
    const bool refused = !config.problem.empty();
    if (!report.configActedOn) {
        return refused ? "конфигурация не принята: при отключении токена компьютер будет выключен"
                       : "конфигурационный файл не найден: при отключении токена компьютер будет "
                         "выключен";
    }
    const char* nothing = "при отключении токена сессии не затрагиваются";
    if (refused) {
        return config.fromFile ? "конфигурация не принята, действуют прежние настройки"
                               : std::string("конфигурация не принята, настроек нет: ") + nothing;
    }
    if (!config.fromFile) {
        return "конфигурация не загружена, действуют настройки по умолчанию";
    }
    std::string line = "конфигурация загружена " + localTime(config.loadedAt);
    if (config.settings.actionSystem == DaemonConfig::TokenEjectActionSystem::Undefined) {
        line += std::string(", действие для системы не определено: ") + nothing;
    }
    return line;
}

std::string removalLine(const StatusReport::Removal& removal) {
    std::string line = Common::format("последнее отключение токена: слот %lu в %s, ", removal.slot,
                                      localTime(removal.at).c_str());
    switch (removal.outcome) {
        case Outcome::Nothing:
            line += "сессии не затронуты";
            break;
        case Outcome::Locked:
            line += Common::format("заблокировано сессий: %llu", count(removal.sessions));
            break;
        case Outcome::LockedAll:
            line += "заблокированы все сессии";
            break;
        case Outcome::PowerOffFailed:
            line += "выключить компьютер не удалось, заблокированы все сессии";
            break;
    }
    if (removal.remoteClients != 0) {
        line +=
            Common::format(", прервано удаленных подключений: %llu", count(removal.remoteClients));
    }
    return line;
}

}  // namespace

namespace {

void writeLibrary(JsonWriter& json, const StatusReport::Loop& loop) {
    json.key("library").beginObject();
    json.key("state").string(loop.libraryReady ? "initialised" : "retrying");
    time(json.key("since"), loop.librarySince);
    json.key("error").unsignedInteger(loop.libraryError);
    json.key("serialised").boolean(loop.librarySerialised);
    json.end();
}

void writeSlots(JsonWriter& json, const StatusReport::Loop& loop) {
    json.key("slotsListed").unsignedInteger(loop.slotsListed);
    json.key("tokens").unsignedInteger(loop.tokensStored);
    json.key("slotListFailed").boolean(loop.listingFailed);
    json.key("readsInProgress").unsignedInteger(loop.readsInProgress);
    json.key("incompleteTokens").unsignedInteger(loop.incompleteTokens);
    json.key("slotEventsFailing").boolean(loop.slotEventsFailing);
    json.key("blind").boolean(loop.blind);
    json.key("latePass");
    if (loop.latePassAt == 0) {
        json.null();
    } else {
        json.beginObject().key("at").integer(loop.latePassAt);
        json.key("ms").integer(loop.latePassMs).end();
    }
    json.key("hungRead");
    if (loop.hungRead) {
        json.unsignedInteger(*loop.hungRead);
    } else {
        json.null();
    }
}

void writeConfiguration(JsonWriter& json, const DaemonConfig::Status& config, bool actedOn) {
    json.key("configuration").beginObject();
    json.key("path").string(config.path);
    json.key("state").string(configState(config));
    time(json.key("loadedAt"), config.loadedAt);
    json.key("problem").string(config.problem);
    json.key("fromFile").boolean(config.fromFile);
    json.key("removalPowersOff").boolean(!actedOn);
    const DaemonConfig::Settings& settings = config.settings;
    json.key("settings").beginObject();
    json.key("actionOnTokenDisabled").integer(static_cast<int64_t>(settings.actionSystem));
    json.key("actionOnTokenDisabledRemote").integer(static_cast<int64_t>(settings.actionRemote));
    json.key("debug").boolean(settings.debug);
    json.key("forceSessionMatch").boolean(settings.forceSessionMatch);
    json.key("ticketsCheckInterval").integer(settings.ticketsCheckIntervalMs);
    json.key("terminateUnlockableSessions").boolean(settings.terminateUnlockableSessions);
    json.end().end();
}

void writeLastEvent(JsonWriter& json, const StatusReport::Loop& loop) {
    json.key("lastEvent");
    if (loop.lastEventAt == 0) {
        json.null();
        return;
    }
    json.beginObject();
    json.key("at").integer(loop.lastEventAt);
    json.key("slot").unsignedInteger(loop.lastEventSlot);
    json.key("result").unsignedInteger(loop.lastEventResult);
    json.key("flags").unsignedInteger(loop.lastEventFlags);
    json.end();
}

void writeLastRemoval(JsonWriter& json, const StatusReport::Removal& removal) {
    json.key("lastRemoval");
    if (removal.at == 0) {
        json.null();
        return;
    }
    json.beginObject();
    json.key("at").integer(removal.at);
    json.key("slot").unsignedInteger(removal.slot);
    json.key("known").boolean(removal.known);
    json.key("outcome").string(outcomeName(removal.outcome));
    json.key("sessions").unsignedInteger(removal.sessions);
    json.key("remoteClients").unsignedInteger(removal.remoteClients);
    json.end();
}

}  // namespace

std::string StatusReport::json() const {
    JsonWriter json;
    json.beginObject();
    json.key("version").string(version);
    time(json.key("startedAt"), startedAt);
    json.key("uptimeSeconds").integer(uptimeSeconds);
    writeLibrary(json, loop);
    writeSlots(json, loop);
    writeConfiguration(json, config, configActedOn);
    json.key("authType").string(authType);
    json.key("authFile").string(authFile);
    json.key("authRead").boolean(authRead);
    json.key("bus").beginObject().key("name").string(busName);
    json.key("held").boolean(busNameHeld).end();
    writeLastEvent(json, loop);
    writeLastRemoval(json, loop.lastRemoval);
    json.key("removalsHandled").unsignedInteger(loop.removalsHandled);
    json.key("log").beginObject().key("dropped").unsignedInteger(logDropped);
    json.key("heldBack").unsignedInteger(logHeldBack).end();
    json.key("summary").string(line());
    json.end();
    return json.text();
}

std::string StatusReport::line() const {
    std::vector<std::string> parts;
    if (loop.libraryReady) {
        parts.push_back(loop.librarySerialised
                            ? "Единая библиотека инициализирована, вызовы по одному"
                            : "Единая библиотека инициализирована");
        parts.push_back(Common::format("токенов: %llu", count(loop.tokensStored)));
        if (loop.listingFailed) {
            parts.push_back("список слотов получить не удалось");
        }
        if (loop.incompleteTokens != 0) {
            parts.push_back(Common::format("прочитаны не полностью: %llu",
                                           count(loop.incompleteTokens)));
        }
        if (loop.slotEventsFailing) {
            parts.push_back("события слотов не приходят, слоты проверяются опросом");
        }
    } else {
        parts.push_back(
            Common::format("Единая библиотека не инициализирована (код возврата %lu), "
                           "повторная попытка каждую секунду",
                           loop.libraryError));
    }
    if (loop.blind) {
        parts.push_back("слоты не видны дольше 10 с");
    }
    if (loop.hungRead) {
        parts.push_back(Common::format("чтение токена в слоте %lu не завершается", *loop.hungRead));
    }
    if (loop.latePassAt != 0) {
        parts.push_back(Common::format("проход цикла слотов в %s занял %lld мс",
                                       localTime(loop.latePassAt).c_str(),
                                       static_cast<long long>(loop.latePassMs)));
    }
    parts.push_back(configLine(*this));
    if (loop.lastRemoval.at != 0) {
        parts.push_back(removalLine(loop.lastRemoval));
    }
    if (logDropped != 0 || logHeldBack != 0) {
        parts.push_back(
            Common::format("журнал не принял записей: %llu, пропущено записей "
                           "пользователей: %llu",
                           count(logDropped), count(logHeldBack)));
    }
    std::string line;
    for (const std::string& part : parts) {
        line += (line.empty() ? "" : "; ") + part;
    }
    return line;
}

std::string StatusReport::logonNotConfigured(const std::string& file,
                                             DaemonConfig::TokenEjectActionSystem action) {
    using AuthType = SessionMatch::AuthType;
    std::string modules;
    for (AuthType type : {AuthType::LocalPki, AuthType::LocalNoPki, AuthType::NetworkPki,
                          AuthType::NetworkNoPki}) {
        modules += std::string(modules.empty() ? "" : ", ") + "pam_" +
                   SessionMatch::logonOf(type)->marker;
    }
    const std::string where =
        file.empty() ? Common::format("нет ни %s, ни %s", LogonSetup::kPamSystemAuth,
                                      LogonSetup::kPamCommonAuth)
                     : Common::format("в %s нет ни одного из модулей %s", file.c_str(),
                                      modules.c_str());
    return Common::format("Тип аутентификации не настроен: %s, поэтому при отключении токена ни "
                          "одна сессия не будет ему сопоставлена и действие «%s» не будет "
                          "выполнено",
                          where.c_str(), DaemonConfig::systemActionName(action).c_str());
}
