#include "config/DaemonConfig.h"

#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <stdexcept>

#include "log/KxLogger.h"

namespace {

std::atomic<DaemonConfig*> gDaemonConfig{nullptr};

// After the key: an optional closing quote, the colon, an optional opening quote and the value,
// which runs up to the first quote, semicolon or comma. This admits a JSON-like object with one
// pair per line as well as plain "key: value" lines.
const char kValuePattern[] = "[\"'`]?\\s*:\\s*[\"'`]?([^\";,'`]*)[\"'`]?";

// Searched in this order; the first key found on a line is the only one read from it.
enum Key { ActionSystem, ActionRemote, Debug, ForceSessionMatch, TicketsCheckInterval, KeyCount };
const char* const kKeyNames[KeyCount] = {"actionOnTokenDisabled", "actionOnTokenDisabledRemote",
                                         "debug", "forceSessionMatch", "ticketsCheckInterval"};

// "true"/"false" in three spellings, otherwise a number (non-zero is true).
bool toBool(const std::string& text, bool& value) {
    if (text == "true" || text == "TRUE" || text == "True") {
        value = true;
        return true;
    }
    if (text == "false" || text == "FALSE" || text == "False") {
        value = false;
        return true;
    }
    try {
        value = std::stoi(text) != 0;
        return true;
    } catch (const std::logic_error&) {
        KxLogger::log(LOG_WARNING, "Обнаружено некорректное значение: %s", text.c_str());
        return false;
    }
}

const char* onOff(bool value) {
    return value ? "включен" : "выключен";
}

}  // namespace

DaemonConfig::DaemonConfig(const std::string& path) : path_(path) {
    gDaemonConfig = this;
}

DaemonConfig::~DaemonConfig() {
    gDaemonConfig = nullptr;
}

DaemonConfig* DaemonConfig::instance() {
    return gDaemonConfig;
}

bool DaemonConfig::exists() const {
    std::ifstream file(path_);
    return file.is_open();
}

void DaemonConfig::resetSettings() {
    // The check interval is deliberately kept: a file without it leaves the last value in force.
    actionSystem_ = TokenEjectActionSystem::Undefined;
    actionRemote_ = TokenEjectActionRemote::Inaction;
    debug_ = true;
    forceSessionMatch_ = false;
}

bool DaemonConfig::load() {
    resetSettings();
    errno = 0;
    std::ifstream file(path_);
    if (!file.is_open()) {
        int error = errno;
        KxLogger::log(LOG_WARNING,
                      "Не удалось открыть конфигурационный файл %s, error code: %d, error: %s",
                      path_.c_str(), error, strerror(error));
        return false;
    }
    // A number that cannot be read for an action aborts the pass (std::stoi throws); the
    // settings read so far stay and the reload flag stays set, so the next check retries.
    try {
        std::string line;
        while (std::getline(file, line)) {
            applyLine(line);
        }
    } catch (const std::exception& error) {
        KxLogger::log(LOG_WARNING, "Ошибка чтения конфигурационного файла %s, error: %s",
                      path_.c_str(), error.what());
        return false;
    }
    logSummary();
    reloadCfg_ = false;
    return true;
}

void DaemonConfig::applyLine(const std::string& line) {
    static const std::regex kPatterns[KeyCount] = {
        std::regex(std::string(kKeyNames[ActionSystem]) + kValuePattern),
        std::regex(std::string(kKeyNames[ActionRemote]) + kValuePattern),
        std::regex(std::string(kKeyNames[Debug]) + kValuePattern),
        std::regex(std::string(kKeyNames[ForceSessionMatch]) + kValuePattern),
        std::regex(std::string(kKeyNames[TicketsCheckInterval]) + kValuePattern),
    };
    std::smatch match;
    int key = 0;
    while (key < KeyCount && !std::regex_search(line, match, kPatterns[key])) {
        ++key;
    }
    if (key == KeyCount) {
        return;
    }
    const std::string value = match[1].str();
    switch (key) {
        case ActionSystem: {
            int number = std::stoi(value);
            if (number >= -1 && number <= 2) {
                actionSystem_ = static_cast<TokenEjectActionSystem>(number);
            } else {
                KxLogger::log(
                    LOG_WARNING,
                    "Обнаружено некорректное значение параметра actionOnTokenDisabled: %s",
                    value.c_str());
            }
            break;
        }
        case ActionRemote: {
            int number = std::stoi(value);
            if (number == 0 || number == 1) {
                actionRemote_ = static_cast<TokenEjectActionRemote>(number);
            } else {
                KxLogger::log(
                    LOG_WARNING,
                    "Обнаружено некорректное значение параметра actionOnTokenDisabledRemote: %s",
                    value.c_str());
            }
            break;
        }
        case Debug:
            if (!toBool(value, debug_)) {
                KxLogger::log(LOG_WARNING, "Обнаружено некорректное значение параметра debug: %s",
                              value.c_str());
            }
            break;
        case ForceSessionMatch:
            if (!toBool(value, forceSessionMatch_)) {
                KxLogger::log(LOG_WARNING,
                              "Обнаружено некорректное значение параметра forceSessionMatch: %s",
                              value.c_str());
            }
            break;
        case TicketsCheckInterval:
            ticketsCheckIntervalMs_ = std::atoi(value.c_str());
            break;
    }
}

void DaemonConfig::logSummary() const {
    KxLogger::log(LOG_DEBUG, "Режим расширенного логирования - %s", onOff(debug_));
    KxLogger::log(LOG_DEBUG, "Настроенное действие для системы - %s",
                  systemActionName(actionSystem_).c_str());
    KxLogger::log(LOG_DEBUG, "Настроенное действие для удаленного подключения - %s",
                  remoteActionName(actionRemote_).c_str());
    KxLogger::log(LOG_DEBUG, "Режим принудительного совпадения сессий пользователей - %s",
                  onOff(forceSessionMatch_));
    KxLogger::log(LOG_DEBUG, "Интервал проверки корректности прав доступа тикетов Kerberos - %d ms",
                  ticketsCheckIntervalMs_);
}

std::string DaemonConfig::systemActionName(TokenEjectActionSystem action) {
    switch (action) {
        case TokenEjectActionSystem::Undefined:
            return "Не определено";
        case TokenEjectActionSystem::Inaction:
            return "Бездействие";
        case TokenEjectActionSystem::LockSession:
            return "Блокировка сессии пользователя";
        case TokenEjectActionSystem::PowerOff:
            return "Выключение компьютера";
    }
    return "";
}

std::string DaemonConfig::remoteActionName(TokenEjectActionRemote action) {
    switch (action) {
        case TokenEjectActionRemote::Inaction:
            return "Бездействие";
        case TokenEjectActionRemote::CloseConnection:
            return "Закрывать удаленное подключение";
    }
    return "";
}
