#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "TestFiles.h"
#include "config/DaemonConfig.h"
#include "config/TrustedPath.h"

namespace {

// The settings in the terms of the file: action numbers, booleans as 0 and 1.
std::string settingsOf(const DaemonConfig& config) {
    return "action=" + std::to_string(static_cast<int>(config.tokenEjectActionSystem())) +
           " remote=" + std::to_string(static_cast<int>(config.tokenEjectActionRemote())) +
           " debug=" + std::to_string(config.debug()) +
           " force=" + std::to_string(config.forceSessionMatch()) +
           " interval=" + std::to_string(config.ticketsCheckIntervalMs());
}

// A directory for configuration files that the daemon trusts: the build tree's, unless others may
// change a directory on its way (a checkout under /tmp), then one under /run.
testfiles::fs::path trustedScratch(const std::string& name) {
    testfiles::fs::path directory = testfiles::scratch(name);
    std::string reason;
    if (TrustedPath::check(directory.string(), reason) == 0 && reason.empty()) {
        return directory;
    }
    directory = testfiles::fs::path("/run/kx-unit-tests") / name;
    testfiles::fs::remove_all(directory);
    testfiles::fs::create_directories(directory);
    return directory;
}

const std::string kDefaults = "action=-1 remote=0 debug=1 force=0 interval=1000";

// Files in JSON form, as the example configuration and the system tests write them:
// test_config_reload.py and test_install.py.
TEST(DaemonConfigTest, ReadsSettingsLineByLine) {
    const struct {
        const char* name;
        const char* content;
        bool loaded;  // load() result; a failed load also keeps the reload flag
        std::string expected;
    } cases[] = {
        // Without one valid setting (as a file caught mid-write) the settings in force stay.
        {"empty file", "", false, kDefaults},
        {"all quote kinds and none",
         "'actionOnTokenDisabled': '0'\n`debug`: `False`\n\"forceSessionMatch\": \"1\"\n"
         "actionOnTokenDisabledRemote :1\n",
         true, "action=0 remote=1 debug=0 force=1 interval=1000"},
        {"action out of range keeps the default", "\"actionOnTokenDisabled\": 3,\n", false,
         kDefaults},
        // A failed load keeps the settings in force, even the lines before the failing one.
        {"a word for the action aborts",
         "actionOnTokenDisabledRemote: 1\nactionOnTokenDisabled: lock\ndebug: 0\n", false,
         kDefaults},
        {"bad booleans are skipped", "forceSessionMatch: tRUE\n\"debug\": false ,\ndebug: False\n",
         true, "action=-1 remote=0 debug=0 force=0 interval=1000"},
        {"CRLF rejects a boolean unless after a comma",
         "debug: false\r\n\"forceSessionMatch\": true,\r\nticketsCheckInterval: 500\r\n", true,
         "action=-1 remote=0 debug=1 force=1 interval=500"},
        {"interval in letters", "debug: 1\nticketsCheckInterval: often\n", true,
         "action=-1 remote=0 debug=1 force=0 interval=0"},
        {"interval cut mid-write", "ticketsCheckInterval: \n", false, kDefaults},
        // Beyond 32 bits atoi wrapped (2^31 became a check on every pass): held at the ends now.
        {"interval above the range", "ticketsCheckInterval: 2147483648\n", true,
         "action=-1 remote=0 debug=1 force=0 interval=2147483647"},
        {"interval below the range", "ticketsCheckInterval: -4294967297\n", true,
         "action=-1 remote=0 debug=1 force=0 interval=-2147483648"},
        {"first key in search order wins",
         "\"actionOnTokenDisabledRemote\": 1, \"debug\": 0\ndebug: 0; actionOnTokenDisabled: 2\n",
         true, "action=2 remote=1 debug=1 force=0 interval=1000"},
        {"key inside another word", "nodebug: 0\n# forceSessionMatch: 1\n", true,
         "action=-1 remote=0 debug=0 force=1 interval=1000"},
    };
    testfiles::fs::path directory = trustedScratch("daemon_config");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testfiles::writeFile(directory / c.name, c.content);
        DaemonConfig config(directory / c.name);
        EXPECT_EQ(config.load(), c.loaded);
        EXPECT_EQ(settingsOf(config), c.expected);
        EXPECT_EQ(config.getReloadCfgFlag(), !c.loaded);
    }
}

// Each load after a good one, in order: only a trusted file read whole and holding a valid
// setting changes the settings; a missing one resets them; the interval stays unless named.
TEST(DaemonConfigTest, ReloadKeepsTheSettingsInForceUnlessAFileIsReadOrGone) {
    testfiles::fs::path directory = trustedScratch("daemon_config_reload");
    const std::string path = (directory / "kx.conf").string();
    const std::string good = "action=2 remote=1 debug=0 force=1 interval=250";
    const std::string reset = "action=-1 remote=0 debug=1 force=0 interval=250";
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
         "forceSessionMatch: 1\nticketsCheckInterval: 250\n",
         0644, true, true, good},
        {"emptied mid-write", "", 0644, false, true, good},
        {"cut in a key", "{\n\"actionOnToken", 0644, false, true, good},
        {"cut in a value", "actionOnTokenDisabled: 1\nactionOnTokenDisabledRemote: ", 0644, false,
         true, good},
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
