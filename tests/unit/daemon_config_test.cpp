#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TestFiles.h"
#include "config/DaemonConfig.h"

namespace {

// The settings in the terms of the file: action numbers, booleans as 0 and 1.
std::string settingsOf(const DaemonConfig& config) {
    return "action=" + std::to_string(static_cast<int>(config.tokenEjectActionSystem())) +
           " remote=" + std::to_string(static_cast<int>(config.tokenEjectActionRemote())) +
           " debug=" + std::to_string(config.debug()) +
           " force=" + std::to_string(config.forceSessionMatch()) +
           " interval=" + std::to_string(config.ticketsCheckIntervalMs());
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
        {"empty file", "", true, kDefaults},
        {"all quote kinds and none",
         "'actionOnTokenDisabled': '0'\n`debug`: `False`\n\"forceSessionMatch\": \"1\"\n"
         "actionOnTokenDisabledRemote :1\n",
         true, "action=0 remote=1 debug=0 force=1 interval=1000"},
        {"action out of range keeps the default", "\"actionOnTokenDisabled\": 3,\n", true,
         kDefaults},
        // A failed load keeps the lines before the failing one and the reload flag.
        {"a word for the action aborts",
         "actionOnTokenDisabledRemote: 1\nactionOnTokenDisabled: lock\ndebug: 0\n", false,
         "action=-1 remote=1 debug=1 force=0 interval=1000"},
        {"bad booleans are skipped", "forceSessionMatch: tRUE\n\"debug\": false ,\ndebug: False\n",
         true, "action=-1 remote=0 debug=0 force=0 interval=1000"},
        {"CRLF rejects a boolean unless after a comma",
         "debug: false\r\n\"forceSessionMatch\": true,\r\nticketsCheckInterval: 500\r\n", true,
         "action=-1 remote=0 debug=1 force=1 interval=500"},
        {"interval in letters", "ticketsCheckInterval: often\n", true,
         "action=-1 remote=0 debug=1 force=0 interval=0"},
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
    testfiles::fs::path directory = testfiles::scratch("daemon_config");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testfiles::writeFile(directory / c.name, c.content);
        DaemonConfig config(directory / c.name);
        EXPECT_EQ(config.load(), c.loaded);
        EXPECT_EQ(settingsOf(config), c.expected);
        EXPECT_EQ(config.getReloadCfgFlag(), !c.loaded);
    }
}

TEST(DaemonConfigTest, ReloadResetsSettingsButNeverTheInterval) {
    std::string path = (testfiles::scratch("daemon_config_reload") / "kx.conf").string();
    testfiles::writeFile(path,
                         "actionOnTokenDisabled: 2\nactionOnTokenDisabledRemote: 1\ndebug: 0\n"
                         "forceSessionMatch: 1\nticketsCheckInterval: 250\n");
    DaemonConfig config(path);
    ASSERT_TRUE(config.load());
    testfiles::writeFile(path, "\n");
    EXPECT_TRUE(config.load());
    EXPECT_EQ(settingsOf(config), "action=-1 remote=0 debug=1 force=0 interval=250");

    // A file that has gone resets the same settings and still keeps the interval.
    testfiles::writeFile(path, "actionOnTokenDisabled: 1\n");
    ASSERT_TRUE(config.load());
    std::remove(path.c_str());
    EXPECT_FALSE(config.exists());
    EXPECT_FALSE(config.load());
    EXPECT_EQ(settingsOf(config), "action=-1 remote=0 debug=1 force=0 interval=250");
}

}  // namespace
