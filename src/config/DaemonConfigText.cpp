// The text of the daemon's configuration file: one setting per line, found by its key wherever it
// stands in the part of the line before a comment, and the warnings an administrator needs to see
// what the file does not do.
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "config/DaemonConfig.h"
#include "base/Common.h"

namespace {

using Settings = DaemonConfig::Settings;
using SystemAction = DaemonConfig::TokenEjectActionSystem;
using RemoteAction = DaemonConfig::TokenEjectActionRemote;

// One key of the file: how its value is taken (false when it is not valid for the key) and how
// the value in force is named when a wrong one leaves it.
struct Setting {
    const char* key;
    bool (*apply)(const std::string& value, Settings& settings);
    std::string (*inForce)(const Settings& settings);
    const char* invalidValueWarning;  // its one %s is the value
};

bool isQuote(char c) {
    return c == '"' || c == '\'' || c == '`';
}

// A word of a key: ASCII letters, digits and the underscore.
bool isWord(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The value without the blanks around it, nor the braces that close a JSON object written on
// the value's line: {"actionOnTokenDisabled": 1} holds the value 1.
std::string trimmed(const std::string& text) {
    size_t start = 0;
    size_t end = text.size();
    while (start < end && Common::isSpace(text[start])) {
        ++start;
    }
    while (end > start && (Common::isSpace(text[end - 1]) || text[end - 1] == '}')) {
        --end;
    }
    return text.substr(start, end - start);
}

// A decimal integer, optionally signed, and nothing else: "1s" is no number of milliseconds.
std::optional<long long> integer(const std::string& text) {
    if (text.empty() || text.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    long long number = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE || Common::isSpace(text[0])) {
        return std::nullopt;
    }
    return number;
}

// "true"/"false" in three spellings, otherwise a 32-bit number (non-zero is true).
bool toBool(const std::string& text, bool& value) {
    if (text == "true" || text == "TRUE" || text == "True") {
        value = true;
        return true;
    }
    if (text == "false" || text == "FALSE" || text == "False") {
        value = false;
        return true;
    }
    std::optional<long long> number = integer(text);
    if (!number || *number < std::numeric_limits<int32_t>::min() ||
        *number > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    value = *number != 0;
    return true;
}

const char* trueOrFalse(bool value) {
    return value ? "true" : "false";
}

bool applyActionSystem(const std::string& value, Settings& settings) {
    std::optional<long long> number = integer(value);
    if (!number || *number < -1 || *number > 2) {
        return false;
    }
    settings.actionSystem = static_cast<SystemAction>(*number);
    return true;
}

bool applyActionRemote(const std::string& value, Settings& settings) {
    std::optional<long long> number = integer(value);
    if (!number || (*number != 0 && *number != 1)) {
        return false;
    }
    settings.actionRemote = static_cast<RemoteAction>(*number);
    return true;
}

bool applyTicketsCheckInterval(const std::string& value, Settings& settings) {
    std::optional<long long> number = integer(value);
    if (!number) {
        return false;
    }
    // Held at the ends of the 32-bit range rather than wrapped, which would turn a long interval
    // into a check on every pass.
    settings.ticketsCheckIntervalMs = static_cast<int32_t>(std::clamp<long long>(
        *number, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    return true;
}

const Setting kSettings[] = {
    {"actionOnTokenDisabled", applyActionSystem,
     [](const Settings& s) {
         return Common::format("%d (%s)", static_cast<int>(s.actionSystem),
                               DaemonConfig::systemActionName(s.actionSystem).c_str());
     },
     "Обнаружено некорректное значение параметра actionOnTokenDisabled: %s"},
    {"actionOnTokenDisabledRemote", applyActionRemote,
     [](const Settings& s) {
         return Common::format("%d (%s)", static_cast<int>(s.actionRemote),
                               DaemonConfig::remoteActionName(s.actionRemote).c_str());
     },
     "Обнаружено некорректное значение параметра actionOnTokenDisabledRemote: %s"},
    {"debug", [](const std::string& v, Settings& s) { return toBool(v, s.debug); },
     [](const Settings& s) { return std::string(trueOrFalse(s.debug)); },
     "Обнаружено некорректное значение параметра debug: %s"},
    {"forceSessionMatch",
     [](const std::string& v, Settings& s) { return toBool(v, s.forceSessionMatch); },
     [](const Settings& s) { return std::string(trueOrFalse(s.forceSessionMatch)); },
     "Обнаружено некорректное значение параметра forceSessionMatch: %s"},
    {"ticketsCheckInterval", applyTicketsCheckInterval,
     [](const Settings& s) { return std::to_string(s.ticketsCheckIntervalMs); },
     "Обнаружено некорректное значение параметра ticketsCheckInterval: %s"},
    {"terminateUnlockableSessions",
     [](const std::string& v, Settings& s) { return toBool(v, s.terminateUnlockableSessions); },
     [](const Settings& s) { return std::string(trueOrFalse(s.terminateUnlockableSessions)); },
     "Обнаружено некорректное значение параметра terminateUnlockableSessions: %s"},
};

// A key of the table found in a line, followed by its colon.
struct Found {
    const Setting* setting = nullptr;
    size_t at = 0;
    std::string value;
};

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

// The first key of the table, in its order, that stands anywhere in the text followed by a
// colon, also as the tail of a longer word.
std::optional<Found> findSetting(const std::string& text) {
    for (const Setting& setting : kSettings) {
        const size_t length = std::strlen(setting.key);
        for (size_t at = text.find(setting.key); at != std::string::npos;
             at = text.find(setting.key, at + 1)) {
            Found found{&setting, at, {}};
            if (valueAfterKey(text, at + length, found.value)) {
                return found;
            }
        }
    }
    return std::nullopt;
}

// Where the comment of a line starts: a # or // outside double quotes.
size_t commentStart(const std::string& line) {
    bool quoted = false;
    for (size_t at = 0; at < line.size(); ++at) {
        if (line[at] == '"') {
            quoted = !quoted;
        } else if (!quoted && (line[at] == '#' || line.compare(at, 2, "//") == 0)) {
            return at;
        }
    }
    return std::string::npos;
}

// A word that stands as a key: quoted, or the first word of the line, and followed by a colon.
struct KeyWord {
    size_t start;
    size_t end;
};

std::vector<KeyWord> keyWords(const std::string& text) {
    std::vector<KeyWord> words;
    bool first = true;
    for (size_t at = 0; at < text.size();) {
        if (!isWord(text[at])) {
            first = first && (Common::isSpace(text[at]) || text[at] == '{' || isQuote(text[at]));
            ++at;
            continue;
        }
        size_t end = at;
        while (end < text.size() && isWord(text[end])) {
            ++end;
        }
        const bool quoted = at > 0 && isQuote(text[at - 1]) && end < text.size() &&
                            text[end] == text[at - 1];
        size_t next = quoted ? end + 1 : end;
        while (next < text.size() && Common::isSpace(text[next])) {
            ++next;
        }
        if ((quoted || first) && next < text.size() && text[next] == ':') {
            words.push_back({at, end});
        }
        first = false;
        at = end;
    }
    return words;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Edit distance, ignoring ASCII case.
size_t distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            const bool same = lower(a[i - 1]) == lower(b[j - 1]);
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

const char* closestKey(const std::string& word) {
    // Past twice the longest key no key is close; the bound keeps a long word cheap.
    const std::string start = word.substr(0, 64);
    const char* closest = kSettings[0].key;
    size_t best = std::numeric_limits<size_t>::max();
    for (const Setting& setting : kSettings) {
        const size_t apart = distance(start, setting.key);
        if (apart < best) {
            best = apart;
            closest = setting.key;
        }
    }
    return closest;
}

bool isKey(const std::string& word) {
    return std::any_of(std::begin(kSettings), std::end(kSettings),
                       [&word](const Setting& setting) { return word == setting.key; });
}

// Reads the lines one by one into `parsed`.
class LineReader {
public:
    LineReader(const std::string& path, const Settings& inForce, DaemonConfig::Parsed& parsed)
        : path_(path), inForce_(inForce), parsed_(parsed) {}

    void line(size_t number, const std::string& line) {
        number_ = number;
        const size_t comment = commentStart(line);
        const std::string text = line.substr(0, comment);
        std::optional<Found> found = findSetting(text);
        if (found) {
            apply(*found);
        }
        checkKeyWords(text, found);
        if (comment != std::string::npos) {
            if (std::optional<Found> hidden = findSetting(line.substr(comment))) {
                warn(Common::format("параметр %s стоит в комментарии и не учитывается",
                                    hidden->setting->key));
            }
        }
    }

private:
    void apply(const Found& found) {
        const std::string value = trimmed(found.value);
        if (found.setting->apply(value, parsed_.settings)) {
            ++parsed_.valid;
            return;
        }
        const std::string error =
            Common::format(found.setting->invalidValueWarning, Common::printable(value).c_str()) +
            Common::format(" (строка %zu конфигурационного файла %s): файл не принят, действуют "
                           "прежние настройки, %s: %s",
                           number_, path_.c_str(), found.setting->key,
                           found.setting->inForce(inForce_).c_str());
        parsed_.notes.push_back({LOG_WARNING, error});
        if (parsed_.error.empty()) {
            parsed_.error = error;
        }
    }

    // Keys the file means but the daemon does not read: misspelt, or after the line's first.
    void checkKeyWords(const std::string& text, const std::optional<Found>& found) {
        for (const KeyWord& word : keyWords(text)) {
            const std::string name = text.substr(word.start, word.end - word.start);
            if (found && found->at >= word.start && found->at < word.end) {
                if (name != found->setting->key) {
                    warn(Common::format("«%s» читается как параметр %s", name.c_str(),
                                        found->setting->key));
                }
            } else if (isKey(name)) {
                warn(Common::format("параметр %s не учитывается: в строке учитывается только "
                                    "первый параметр",
                                    name.c_str()));
            } else {
                warn(Common::format("неизвестный параметр «%s» не учитывается, ближайший "
                                    "известный - %s",
                                    name.c_str(), closestKey(name)));
            }
        }
    }

    void warn(const std::string& what) {
        parsed_.notes.push_back(
            {LOG_WARNING, Common::format("Строка %zu конфигурационного файла %s: %s", number_,
                                         path_.c_str(), what.c_str())});
    }

    const std::string& path_;
    const Settings& inForce_;
    DaemonConfig::Parsed& parsed_;
    size_t number_ = 0;
};

}  // namespace

DaemonConfig::Parsed DaemonConfig::parse(const std::string& content, const std::string& path,
                                         const Settings& inForce) {
    Parsed parsed;
    parsed.settings.ticketsCheckIntervalMs = inForce.ticketsCheckIntervalMs;
    LineReader reader(path, inForce, parsed);
    size_t number = 0;
    for (size_t start = 0; start < content.size();) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        ++number;
        if (end - start > kMaxLineLength) {
            parsed.notes.push_back(
                {LOG_WARNING,
                 Common::format("Обнаружена некорректная строка %zu конфигурационного файла %s: "
                                "длина больше %zu байт",
                                number, path.c_str(), kMaxLineLength)});
        } else {
            reader.line(number, content.substr(start, end - start));
        }
        start = end + 1;
    }
    return parsed;
}

std::vector<std::string> DaemonConfig::summary(const Settings& settings) {
    auto onOff = [](bool value) { return value ? "включен" : "выключен"; };
    return {
        Common::format("Режим расширенного логирования - %s", onOff(settings.debug)),
        Common::format("Настроенное действие для системы - %s",
                       systemActionName(settings.actionSystem).c_str()),
        Common::format("Настроенное действие для удаленного подключения - %s",
                       remoteActionName(settings.actionRemote).c_str()),
        Common::format("Режим принудительного совпадения сессий пользователей - %s",
                       onOff(settings.forceSessionMatch)),
        Common::format("Интервал проверки корректности прав доступа тикетов Kerberos - %d ms",
                       settings.ticketsCheckIntervalMs),
        Common::format("Режим завершения сессий, которые нельзя заблокировать - %s",
                       onOff(settings.terminateUnlockableSessions)),
    };
}
