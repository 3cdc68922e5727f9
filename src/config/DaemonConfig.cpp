#include "config/DaemonConfig.h"

#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "config/TrustedPath.h"
#include "base/Common.h"
#include "log/KxLogger.h"
#include "base/UntrustedFile.h"

namespace {

std::atomic<DaemonConfig*> gDaemonConfig{nullptr};

// Only these mean that nothing is at the path; any other failure (too many open files, no
// memory, a loop of links) says nothing of whether the file is there.
bool isMissing(int error) {
    return error == ENOENT || error == ENOTDIR;
}

using Reading = DaemonConfig::Reading;

void refuse(Reading& reading, int level, const std::string& problem) {
    reading.result = Reading::Result::Refused;
    reading.problem = problem;
    reading.notes.push_back({level, problem});
}

// What a removal will do when the settings leave it nothing to go by.
void warnOfConsequence(Reading& reading, const std::string& path) {
    if (!reading.actedOn) {
        reading.notes.push_back(
            {LOG_WARNING, Common::format("Настройки конфигурационного файла %s не действуют: при "
                                         "отключении токена компьютер будет выключен",
                                         path.c_str())});
    } else if (reading.settings.actionSystem ==
               DaemonConfig::TokenEjectActionSystem::Undefined) {
        reading.notes.push_back(
            {LOG_WARNING, Common::format("Действие для системы не определено (параметр "
                                         "actionOnTokenDisabled в %s): при отключении токена "
                                         "сессии не будут затронуты",
                                         path.c_str())});
    }
}

// The content of a file that is there, trusted and read whole.
void readContent(Reading& reading, const std::string& path, const std::string& content,
                 const DaemonConfig::Settings& inForce) {
    DaemonConfig::Parsed parsed = DaemonConfig::parse(content, path, inForce);
    reading.notes = std::move(parsed.notes);
    if (!parsed.error.empty()) {
        reading.result = Reading::Result::Refused;
        reading.problem = parsed.error;
    } else if (parsed.valid == 0) {
        // An editor that rewrites the file in place leaves it empty, then cut, for a moment.
        refuse(reading, LOG_WARNING,
               Common::format("Конфигурационный файл %s пуст или не содержит ни одного "
                              "корректного параметра, действуют прежние настройки",
                              path.c_str()));
    } else {
        reading.result = Reading::Result::Taken;
        reading.settings = parsed.settings;
        reading.fromFile = true;
    }
}

}  // namespace

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
    int error = 0;
    return !TrustedPath::check(path_, &error) && isMissing(error);
}

bool DaemonConfig::exists() const {
    int error = 0;
    const std::optional<std::string> untrusted = TrustedPath::check(path_, &error);
    if (!untrusted) {
        return !isMissing(error);  // there, even if it cannot be read now: the settings stand
    }
    if (untrusted->empty()) {
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return status_.fromFile;
}

DaemonConfig::Reading DaemonConfig::read(const std::string& path, const Status& before) {
    Reading reading;
    reading.settings = before.settings;
    reading.fromFile = before.fromFile;
    int error = 0;
    const std::string untrusted = TrustedPath::check(path, &error).value_or("");
    std::string content;
    if (error == 0 && untrusted.empty()) {
        // One byte over the bound tells a file at the bound from a larger one.
        UntrustedFile::read(path, content, kMaxFileSize + 1, &error);
    }
    if (isMissing(error)) {
        reading.result = Reading::Result::Missing;
        reading.settings = Settings();
        reading.settings.ticketsCheckIntervalMs = before.settings.ticketsCheckIntervalMs;
        reading.fromFile = false;
        reading.actedOn = false;
        reading.notes.push_back(
            {LOG_WARNING,
             Common::format("Не удалось открыть конфигурационный файл %s, error code: %d, "
                            "error: %s",
                            path.c_str(), error, strerror(error))});
    } else if (error != 0) {
        refuse(reading, LOG_ERR,
               Common::format("Не удалось открыть конфигурационный файл %s, error code: %d, "
                              "error: %s",
                              path.c_str(), error, strerror(error)));
    } else if (!untrusted.empty()) {
        refuse(reading, LOG_ERR,
               Common::format("Конфигурационный файл %s не принят: %s. Изменять его и путь к "
                              "нему должен только root",
                              path.c_str(), Common::printable(untrusted).c_str()));
        reading.actedOn = before.fromFile;
    } else if (content.size() > kMaxFileSize) {
        refuse(reading, LOG_WARNING,
               Common::format("Ошибка чтения конфигурационного файла %s, error: %s", path.c_str(),
                              ("размер файла больше " + std::to_string(kMaxFileSize) + " байт")
                                  .c_str()));
    } else {
        readContent(reading, path, content, before.settings);
    }
    warnOfConsequence(reading, path);
    return reading;
}

bool DaemonConfig::load() {
    const Reading reading = read(path_, status());
    report(reading);
    take(reading);
    if (reading.result != Reading::Result::Taken) {
        return false;
    }
    for (const std::string& line : summary(reading.settings)) {
        KxLogger::log(LOG_DEBUG, "%s", line.c_str());
    }
    reloadCfg_ = false;
    return true;
}

void DaemonConfig::report(const Reading& reading) {
    std::string said;
    for (const Note& note : reading.notes) {
        said += note.text + "\n";
    }
    const uint64_t request = requests_;
    if (reading.result == Reading::Result::Taken) {
        reported_.clear();
    } else if (said == reported_ && request == reportedRequest_) {
        return;
    } else {
        reported_ = said;
        reportedRequest_ = request;
    }
    for (const Note& note : reading.notes) {
        KxLogger::log(note.level, "%s", note.text.c_str());
    }
}

void DaemonConfig::take(const Reading& reading) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.problem = reading.problem;
    if (reading.result == Reading::Result::Refused) {
        return;  // the settings in force stay
    }
    status_.settings = reading.settings;
    status_.fromFile = reading.fromFile;
    status_.loadedAt = static_cast<int64_t>(std::time(nullptr));
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
