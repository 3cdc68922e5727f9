#include "config/DaemonConfig.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <string>

#include "config/TrustedPath.h"
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

// Only these mean that nothing is at the path; any other failure (too many open files, no
// memory, a loop of links) says nothing of whether the file is there.
bool isMissing(int error) {
    return error == ENOENT || error == ENOTDIR;
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
    // Stored as it converts, whatever it holds, without a warning.
    {"ticketsCheckInterval", &DaemonConfig::applyTicketsCheckInterval, nullptr},
    {"terminateUnlockableSessions", &DaemonConfig::applyTerminateUnlockableSessions,
     "Обнаружено некорректное значение параметра terminateUnlockableSessions: %s"},
};

DaemonConfig::DaemonConfig(const std::string& path) : path_(path) {
    status_.path = path;
    gDaemonConfig = this;
}

DaemonConfig::~DaemonConfig() {
    gDaemonConfig = nullptr;
}

DaemonConfig* DaemonConfig::instance() {
    return gDaemonConfig;
}

void DaemonConfig::setReloadCfgFlag(bool value) {
    if (value) {
        ++requests_;
    }
    reloadCfg_ = value;
}

DaemonConfig::Settings DaemonConfig::settings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_.settings;
}

DaemonConfig::Status DaemonConfig::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

bool DaemonConfig::missing() const {
    std::string untrusted;
    int error = TrustedPath::check(path_, untrusted);
    return isMissing(error);
}

bool DaemonConfig::exists() const {
    std::string untrusted;
    int error = TrustedPath::check(path_, untrusted);
    if (isMissing(error)) {
        return false;
    }
    if (error != 0 || untrusted.empty()) {
        return true;  // there, even if it cannot be read now: the settings in force stand
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return status_.fromFile;
}

bool DaemonConfig::keep(int level, const std::string& problem) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.problem = problem;
    }
    uint64_t request = requests_;
    if (problem != reported_ || request != reportedRequest_) {
        KxLogger::log(level, "%s", problem.c_str());
        reported_ = problem;
        reportedRequest_ = request;
    }
    return false;
}

void DaemonConfig::take(const Settings& settings, bool fromFile) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.settings = settings;
    status_.fromFile = fromFile;
    status_.loadedAt = static_cast<int64_t>(std::time(nullptr));
    status_.problem.clear();
    reported_.clear();
}

bool DaemonConfig::load() {
    Settings settings;
    settings.ticketsCheckIntervalMs = ticketsCheckIntervalMs();
    std::string untrusted;
    int error = TrustedPath::check(path_, untrusted);
    std::string content;
    if (error == 0 && untrusted.empty()) {
        // One byte over the bound tells a file at the bound from a larger one.
        UntrustedFile::read(path_, content, kMaxFileSize + 1, &error);
    }
    if (isMissing(error)) {
        take(settings, false);
        KxLogger::log(LOG_WARNING,
                      "Не удалось открыть конфигурационный файл %s, error code: %d, error: %s",
                      path_.c_str(), error, strerror(error));
        return false;
    }
    if (error != 0) {
        return keep(LOG_ERR,
                    Common::format("Не удалось открыть конфигурационный файл %s, error code: "
                                   "%d, error: %s",
                                   path_.c_str(), error, strerror(error)));
    }
    if (!untrusted.empty()) {
        return keep(LOG_ERR,
                    Common::format("Конфигурационный файл %s не принят: %s. Изменять его и "
                                   "путь к нему должен только root",
                                   path_.c_str(), Common::printable(untrusted).c_str()));
    }
    if (content.size() > kMaxFileSize) {
        return keep(LOG_WARNING,
                    Common::format(
                        "Ошибка чтения конфигурационного файла %s, error: %s", path_.c_str(),
                        ("размер файла больше " + std::to_string(kMaxFileSize) + " байт").c_str()));
    }
    // A number that cannot be read for an action aborts the pass (std::stoi throws), as does a
    // file cut in such a value mid-write; the reload flag stays set, so the next check retries.
    size_t valid = 0;
    try {
        valid = applyLines(content, settings);
    } catch (const std::exception& failure) {
        return keep(LOG_WARNING,
                    Common::format("Ошибка чтения конфигурационного файла %s, error: %s",
                                   path_.c_str(), failure.what()));
    }
    if (valid == 0) {
        // An editor that rewrites the file in place leaves it empty, then cut, for a moment.
        return keep(LOG_WARNING, Common::format("Конфигурационный файл %s пуст или не содержит ни "
                                                "одного корректного параметра, действуют прежние "
                                                "настройки",
                                                path_.c_str()));
    }
    take(settings, true);
    logSummary(settings);
    reloadCfg_ = false;
    return true;
}

size_t DaemonConfig::applyLines(const std::string& content, Settings& settings) const {
    size_t number = 0;
    size_t valid = 0;
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
        } else if (applyLine(content.substr(start, end - start), settings)) {
            ++valid;
        }
        start = end + 1;
    }
    return valid;
}

bool DaemonConfig::applyLine(const std::string& line, Settings& settings) const {
    for (const Setting& setting : kSettings) {
        std::string value;
        if (!findValue(line, setting.key, value)) {
            continue;
        }
        if (setting.apply(value, settings)) {
            return true;
        }
        if (setting.invalidValueWarning != nullptr) {
            KxLogger::log(LOG_WARNING, setting.invalidValueWarning,
                          Common::printable(value).c_str());
        }
        return false;
    }
    return false;
}

bool DaemonConfig::applyActionSystem(const std::string& value, Settings& settings) {
    int number = std::stoi(value);
    if (number < -1 || number > 2) {
        return false;
    }
    settings.actionSystem = static_cast<TokenEjectActionSystem>(number);
    return true;
}

bool DaemonConfig::applyActionRemote(const std::string& value, Settings& settings) {
    int number = std::stoi(value);
    if (number != 0 && number != 1) {
        return false;
    }
    settings.actionRemote = static_cast<TokenEjectActionRemote>(number);
    return true;
}

bool DaemonConfig::applyDebug(const std::string& value, Settings& settings) {
    return toBool(value, settings.debug);
}

bool DaemonConfig::applyForceSessionMatch(const std::string& value, Settings& settings) {
    return toBool(value, settings.forceSessionMatch);
}

bool DaemonConfig::applyTerminateUnlockableSessions(const std::string& value,
                                                    Settings& settings) {
    return toBool(value, settings.terminateUnlockableSessions);
}

bool DaemonConfig::applyTicketsCheckInterval(const std::string& value, Settings& settings) {
    // As atoi reads it, but a number beyond the 32-bit range is held at its end: atoi's result
    // is undefined there, and glibc's wraps, turning a long interval into a check on every pass.
    const char* start = value.c_str();
    char* end = nullptr;
    long long number = std::strtoll(start, &end, 10);
    settings.ticketsCheckIntervalMs = static_cast<int32_t>(std::clamp<long long>(
        number, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    // Stored whatever it holds, but only digits make it a setting: a value cut off mid-write
    // (nothing after the colon yet) is none.
    return end != start;
}

void DaemonConfig::logSummary(const Settings& settings) {
    KxLogger::log(LOG_DEBUG, "Режим расширенного логирования - %s", onOff(settings.debug));
    KxLogger::log(LOG_DEBUG, "Настроенное действие для системы - %s",
                  systemActionName(settings.actionSystem).c_str());
    KxLogger::log(LOG_DEBUG, "Настроенное действие для удаленного подключения - %s",
                  remoteActionName(settings.actionRemote).c_str());
    KxLogger::log(LOG_DEBUG, "Режим принудительного совпадения сессий пользователей - %s",
                  onOff(settings.forceSessionMatch));
    KxLogger::log(LOG_DEBUG, "Интервал проверки корректности прав доступа тикетов Kerberos - %d ms",
                  settings.ticketsCheckIntervalMs);
    KxLogger::log(LOG_DEBUG, "Режим завершения сессий, которые нельзя заблокировать - %s",
                  onOff(settings.terminateUnlockableSessions));
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
