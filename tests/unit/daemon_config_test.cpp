#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "config/DaemonConfig.h"
#include "config/TrustedPath.h"

namespace {

// The settings in the terms of the file: action numbers, booleans as 0 and 1.
std::string settingsOf(const DaemonConfig::Settings& settings) {
    return "action=" + std::to_string(static_cast<int>(settings.actionSystem)) +
           " remote=" + std::to_string(static_cast<int>(settings.actionRemote)) +
           " debug=" + std::to_string(settings.debug) +
           " force=" + std::to_string(settings.forceSessionMatch) +
           " interval=" + std::to_string(settings.ticketsCheckIntervalMs) +
           " terminate=" + std::to_string(settings.terminateUnlockableSessions);
}

std::string settingsOf(const DaemonConfig& config) {
    return settingsOf(config.settings());
}

// The records of a reading, the file's path written as F.
std::vector<std::string> notesOf(const DaemonConfig::Reading& reading, const std::string& path) {
    std::vector<std::string> notes;
    for (const DaemonConfig::Note& note : reading.notes) {
        std::string text = note.text;
        for (size_t at = text.find(path); at != std::string::npos; at = text.find(path, at)) {
            text.replace(at, path.size(), "F");
        }
        notes.push_back(text);
    }
    return notes;
}

// A directory for configuration files that the daemon trusts: the build tree's, unless others may
// change a directory on its way (a checkout under /tmp), then one under /run.
testfiles::fs::path trustedScratch(const std::string& name) {
    testfiles::fs::path directory = testfiles::scratch(name);
    if (TrustedPath::check(directory.string()) == std::string()) {
        return directory;
    }
    directory = testfiles::fs::path("/run/kx-unit-tests") / name;
    testfiles::fs::remove_all(directory);
    testfiles::fs::create_directories(directory);
    return directory;
}

const std::string kDefaults = "action=-1 remote=0 debug=1 force=0 interval=1000 terminate=0";
const std::string kUndefined =
    "Действие для системы не определено (параметр actionOnTokenDisabled в F): при отключении "
    "токена сессии не будут затронуты";

std::string line(int number, const std::string& what) {
    return "Строка " + std::to_string(number) + " конфигурационного файла F: " + what;
}

// A wrong value refuses the file: the settings in force before stay.
std::string wrong(const std::string& key, const std::string& value, int number,
                  const std::string& inForce) {
    return "Обнаружено некорректное значение параметра " + key + ": " + value + " (строка " +
           std::to_string(number) + " конфигурационного файла F): файл не принят, действуют " +
           "прежние настройки, " + key + ": " + inForce;
}

// Files in JSON form, as the example configuration and the system tests write them:
// test_config_reload.py and test_install.py. Each is read as the daemon's first load reads it.
TEST(DaemonConfigTest, ReadsSettingsLineByLineAndWarnsOfWhatItDoesNotTake) {
    using Result = DaemonConfig::Reading::Result;
    const struct {
        const char* name;
        const char* content;
        Result result;
        std::string expected;
        std::vector<std::string> notes;
    } cases[] = {
        // Without one valid setting (as a file caught mid-write) the settings in force stay.
        {"empty file", "", Result::Refused, kDefaults,
         {"Конфигурационный файл F пуст или не содержит ни одного корректного параметра, "
          "действуют прежние настройки",
          kUndefined}},
        {"all quote kinds and none",
         "'actionOnTokenDisabled': '0'\n`debug`: `False`\n\"forceSessionMatch\": \"1\"\n"
         "actionOnTokenDisabledRemote :1\n",
         Result::Taken, "action=0 remote=1 debug=0 force=1 interval=1000 terminate=0", {}},
        {"action out of range", "\"actionOnTokenDisabled\": 3,\n", Result::Refused, kDefaults,
         {wrong("actionOnTokenDisabled", "3", 1, "-1 (Не определено)"), kUndefined}},
        {"a word for the action",
         "actionOnTokenDisabledRemote: 1\nactionOnTokenDisabled: lock\ndebug: 0\n",
         Result::Refused, kDefaults,
         {wrong("actionOnTokenDisabled", "lock", 2, "-1 (Не определено)"), kUndefined}},
        {"a # in quotes is text", "actionOnTokenDisabled: 1\n\"forceSessionMatch\": \"1 # x\"\n",
         Result::Refused, kDefaults, {wrong("forceSessionMatch", "1 # x", 2, "false"), kUndefined}},
        {"a unit after the interval", "actionOnTokenDisabled: 1\nticketsCheckInterval: 1s\n",
         Result::Refused, kDefaults,
         {wrong("ticketsCheckInterval", "1s", 2, "1000"), kUndefined}},
        // Blanks around a value, and the carriage return of a CRLF file, are not part of it.
        {"CRLF", "actionOnTokenDisabled: 1\r\ndebug: false\r\n\"forceSessionMatch\": true,\r\n"
                 "ticketsCheckInterval: 500 \r\n\"terminateUnlockableSessions\": \" True \"\r\n",
         Result::Taken, "action=1 remote=0 debug=0 force=1 interval=500 terminate=1", {}},
        // A JSON object on one line: its closing brace ends the value.
        {"one line", "{\"actionOnTokenDisabled\": 1}\n", Result::Taken,
         "action=1 remote=0 debug=1 force=0 interval=1000 terminate=0", {}},
        // Beyond 32 bits atoi wrapped (2^31 became a check on every pass): held at the end now.
        {"interval above the range", "actionOnTokenDisabled: 2\nticketsCheckInterval: 2147483648\n",
         Result::Taken, "action=2 remote=0 debug=1 force=0 interval=2147483647 terminate=0", {}},
        {"first key in search order wins",
         "\"actionOnTokenDisabledRemote\": 1, \"debug\": 0\ndebug: 0; actionOnTokenDisabled: 2\n",
         Result::Taken, "action=2 remote=1 debug=1 force=0 interval=1000 terminate=0",
         {line(1, "параметр debug не учитывается: в строке учитывается только первый параметр"),
          line(2, "параметр debug не учитывается: в строке учитывается только первый параметр")}},
        {"comments, a misspelt key and a key inside another word",
         "{ // the daemon's settings\n\"actionOnTokenDisabled\": 1, # lock\n"
         "# \"actionOnTokenDisabled\": 2,\n\"actionOnTokenDisabeld\": 2,\nnodebug: 0\n"
         "\"terminateUnlockableSessions\": true // \"forceSessionMatch\": true\n}\n",
         Result::Taken, "action=1 remote=0 debug=0 force=0 interval=1000 terminate=1",
         {line(3, "параметр actionOnTokenDisabled стоит в комментарии и не учитывается"),
          line(4, "неизвестный параметр «actionOnTokenDisabeld» не учитывается, ближайший "
                  "известный - actionOnTokenDisabled"),
          line(5, "«nodebug» читается как параметр debug"),
          line(6, "параметр forceSessionMatch стоит в комментарии и не учитывается")}},
    };
    testfiles::fs::path directory = trustedScratch("daemon_config");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = directory / c.name;
        testfiles::writeFile(path, c.content);
        const DaemonConfig::Reading reading = DaemonConfig::read(path, DaemonConfig::Status());
        EXPECT_EQ(reading.result, c.result);
        EXPECT_EQ(settingsOf(reading.settings), c.expected);
        EXPECT_EQ(notesOf(reading, path), c.notes);
        EXPECT_EQ(reading.sound(), c.result == Result::Taken && c.notes.empty());
    }
}

// Each load after a good one, in order: only a trusted file read whole, holding a valid setting
// and no wrong value changes the settings; a missing one resets them; the interval stays unless
// named.
TEST(DaemonConfigTest, ReloadKeepsTheSettingsInForceUnlessAFileIsReadOrGone) {
    testfiles::fs::path directory = trustedScratch("daemon_config_reload");
    const std::string path = (directory / "kx.conf").string();
    const std::string good = "action=2 remote=1 debug=0 force=1 interval=250 terminate=1";
    const std::string reset = "action=-1 remote=0 debug=1 force=0 interval=250 terminate=0";
    const struct {
        const char* name;
        const char* content;  // null: the file is removed
        mode_t mode;
        bool loaded;
        bool exists;  // what the removal handling is told
        std::string expected;
    } steps[] = {
        {"good",
         "actionOnTokenDisabled: 2\nactionOnTokenDisabledRemote: 1\ndebug: 0\n"
         "forceSessionMatch: 1\nticketsCheckInterval: 250\nterminateUnlockableSessions: 1\n",
         0644, true, true, good},
        {"emptied mid-write", "", 0644, false, true, good},
        {"cut in a key", "{\n\"actionOnToken", 0644, false, true, good},
        {"cut in a value", "actionOnTokenDisabled: 1\nactionOnTokenDisabledRemote: ", 0644, false,
         true, good},
        {"a wrong value", "actionOnTokenDisabled: 5\ndebug: 1\n", 0644, false, true, good},
        {"writable by others", "debug: 1\n", 0646, false, true, good},
        {"writable by another group", "debug: 1\n", 0664, false, true, good},
        {"one valid setting", "debug: 1\n", 0644, true, true, reset},
        {"gone", nullptr, 0, false, false, reset},
    };
    DaemonConfig config(path);
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.content == nullptr) {
            std::remove(path.c_str());
        } else {
            testfiles::writeFile(path, step.content);
            chmod(path.c_str(), step.mode);
            chown(path.c_str(), 0, step.mode == 0664 ? 1 : 0);
        }
        EXPECT_EQ(config.load(), step.loaded);
        EXPECT_EQ(config.exists(), step.exists);
        EXPECT_EQ(settingsOf(config), step.expected);
    }

    // Untrusted with no trusted settings yet: as without a file. A loop of links is no absence.
    DaemonConfig untrusted(path);
    testfiles::writeFile(path, "actionOnTokenDisabled: 1\n");
    chmod(path.c_str(), 0666);
    EXPECT_FALSE(untrusted.load());
    EXPECT_FALSE(untrusted.exists());
    EXPECT_EQ(notesOf(DaemonConfig::read(path, untrusted.status()), path).back(),
              "Настройки конфигурационного файла F не действуют: при отключении токена компьютер "
              "будет выключен");
    std::remove(path.c_str());
    testfiles::fs::create_symlink("kx.conf", path);
    EXPECT_FALSE(untrusted.missing());
    EXPECT_TRUE(untrusted.exists());
}

TEST(DaemonConfigTest, OnlyRootMayBeAbleToChangeTheFileItsLinksAndDirectories) {
    const struct {
        uid_t uid;
        gid_t gid;
        mode_t mode;
        const char* problem;
    } cases[] = {
        {0, 0, S_IFREG | 0644, ""},
        {0, 0, S_IFDIR | 0775, ""},  // root's group
        {1000, 0, S_IFREG | 0600, "f принадлежит uid 1000"},
        {0, 50, S_IFDIR | 0775, "f доступен для записи группе gid 50"},
        {0, 0, S_IFDIR | 01777, "f доступен для записи всем"},  // sticky: a user may add it
        {0, 0, S_IFLNK | 0777, ""},                             // a link's mode means nothing
        {1000, 1000, S_IFLNK | 0777, "f принадлежит uid 1000"},
    };
    for (const auto& c : cases) {
        struct stat status {};
        status.st_uid = c.uid;
        status.st_gid = c.gid;
        status.st_mode = c.mode;
        EXPECT_EQ(TrustedPath::problem("f", status, 0), c.problem) << std::oct << c.mode;
    }
}

}  // namespace
