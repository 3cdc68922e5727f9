#include "config/DaemonConfig.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "log/Common.h"
#include "log/KxLogger.h"
#include "log/UntrustedFile.h"

namespace {

std::atomic<DaemonConfig*> gDaemonConfig{nullptr};

// The characters that may stand around the colon and end a value.
bool isQuote(char c) {
    return c == '"' || c == '\'' || c == '`';
}

// After a key at `at`: an optional closing quote, blanks, the colon, blanks, an optional
// opening quote, and the value up to the first quote, semicolon or comma. This admits a
// JSON-like object with one pair per line as well as plain "key: value" lines. A single pass
// without backtracking, so no line can make it recurse or take long.
bool valueAfterKey(const std::string& line, size_t at, std::string& value) {
    if (at < line.size() && isQuote(line[at])) {
        ++at;
    }
    while (at < line.size() && Common::isSpace(line[at])) {
        ++at;
    }
    if (at == line.size() || line[at] != ':') {
        return false;
    }
    ++at;
    while (at < line.size() && Common::isSpace(line[at])) {
        ++at;
    }
    if (at < line.size() && isQuote(line[at])) {
        ++at;
    }
    size_t end = line.find_first_of("\";,'`", at);
    value = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
    return true;
}

// The key may stand anywhere in the line, also as the tail of a longer word; its first
// occurrence that is followed by a colon counts.
bool findValue(const std::string& line, const char* key, std::string& value) {
    const size_t keyLength = std::strlen(key);
    for (size_t at = line.find(key); at != std::string::npos; at = line.find(key, at + 1)) {
        if (valueAfterKey(line, at + keyLength, value)) {
            return true;
        }
    }
    return false;
}

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
        KxLogger::log(LOG_WARNING, "Обнаружено некорректное значение: %s",
                      Common::printable(text).c_str());
        return false;
    }
}

const char* onOff(bool value) {
    return value ? "включен" : "выключен";
}

}  // namespace

// Searched in this order; the first key found on a line is the only one read from it.
const DaemonConfig::Setting DaemonConfig::kSettings[] = {
    {"actionOnTokenDisabled", &DaemonConfig::applyActionSystem,
     "Обнаружено некорректное значение параметра actionOnTokenDisabled: %s"},
    {"actionOnTokenDisabledRemote", &DaemonConfig::applyActionRemote,
     "Обнаружено некорректное значение параметра actionOnTokenDisabledRemote: %s"},
    {"debug", &DaemonConfig::applyDebug, "Обнаружено некорректное значение параметра debug: %s"},
    {"forceSessionMatch", &DaemonConfig::applyForceSessionMatch,
     "Обнаружено некорректное значение параметра forceSessionMatch: %s"},
    // Stored as it converts, whatever it holds: never invalid.
    {"ticketsCheckInterval", &DaemonConfig::applyTicketsCheckInterval, nullptr},
};

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
    int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
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
    std::string content;
    int error = 0;
    // One byte over the bound tells a file at the bound from a larger one.
    if (!UntrustedFile::read(path_, content, kMaxFileSize + 1, &error)) {
        KxLogger::log(LOG_WARNING,
                      "Не удалось открыть конфигурационный файл %s, error code: %d, error: %s",
                      path_.c_str(), error, strerror(error));
        return false;
    }
    if (content.size() > kMaxFileSize) {
        KxLogger::log(LOG_WARNING, "Ошибка чтения конфигурационного файла %s, error: %s",
                      path_.c_str(),
                      ("размер файла больше " + std::to_string(kMaxFileSize) + " байт").c_str());
        return false;
    }
    // A number that cannot be read for an action aborts the pass (std::stoi throws); the
    // settings read so far stay and the reload flag stays set, so the next check retries.
    try {
        applyLines(content);
    } catch (const std::exception& error) {
        KxLogger::log(LOG_WARNING, "Ошибка чтения конфигурационного файла %s, error: %s",
                      path_.c_str(), error.what());
        return false;
    }
    logSummary();
    reloadCfg_ = false;
    return true;
}

void DaemonConfig::applyLines(const std::string& content) {
    size_t number = 0;
    for (size_t start = 0; start < content.size();) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        ++number;
        if (end - start > kMaxLineLength) {
            KxLogger::log(LOG_WARNING,
                          "Обнаружена некорректная строка %zu конфигурационного файла %s: длина "
                          "больше %zu байт",
                          number, path_.c_str(), kMaxLineLength);
        } else {
            applyLine(content.substr(start, end - start));
        }
        start = end + 1;
    }
}

void DaemonConfig::applyLine(const std::string& line) {
    for (const Setting& setting : kSettings) {
        std::string value;
        if (!findValue(line, setting.key, value)) {
            continue;
        }
        if (!(this->*setting.apply)(value) && setting.invalidValueWarning != nullptr) {
            KxLogger::log(LOG_WARNING, setting.invalidValueWarning,
                          Common::printable(value).c_str());
        }
        return;
    }
}

bool DaemonConfig::applyActionSystem(const std::string& value) {
    int number = std::stoi(value);
    if (number < -1 || number > 2) {
        return false;
    }
    actionSystem_ = static_cast<TokenEjectActionSystem>(number);
    return true;
}

bool DaemonConfig::applyActionRemote(const std::string& value) {
    int number = std::stoi(value);
    if (number != 0 && number != 1) {
        return false;
    }
    actionRemote_ = static_cast<TokenEjectActionRemote>(number);
    return true;
}

bool DaemonConfig::applyDebug(const std::string& value) {
    return toBool(value, debug_);
}

bool DaemonConfig::applyForceSessionMatch(const std::string& value) {
    return toBool(value, forceSessionMatch_);
}

bool DaemonConfig::applyTicketsCheckInterval(const std::string& value) {
    // As atoi reads it, but a number beyond the 32-bit range is held at its end: atoi's result
    // is undefined there, and glibc's wraps, turning a long interval into a check on every pass.
    long long number = std::strtoll(value.c_str(), nullptr, 10);
    ticketsCheckIntervalMs_ = static_cast<int32_t>(std::clamp<long long>(
        number, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    return true;  // no range check beyond that
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
                  ticketsCheckIntervalMs_.load());
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
