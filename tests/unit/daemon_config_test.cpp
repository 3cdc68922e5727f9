#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "config/DaemonConfig.h"

namespace {

using System = DaemonConfig::TokenEjectActionSystem;
using Remote = DaemonConfig::TokenEjectActionRemote;

// Configuration files live in the build tree, one per test.
std::string scratchPath(const std::string& name) {
    mkdir(KX_CONFIG_TEST_DIR, 0755);
    return std::string(KX_CONFIG_TEST_DIR) + "/" + name + ".conf";
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
}

struct Settings {
    System system = System::Undefined;
    Remote remote = Remote::Inaction;
    bool debug = true;
    bool forceSessionMatch = false;
    int interval = 1000;
};

std::string describe(const Settings& s) {
    return std::to_string(static_cast<int>(s.system)) + " " +
           std::to_string(static_cast<int>(s.remote)) + " debug " + std::to_string(s.debug) +
           " force " + std::to_string(s.forceSessionMatch) + " interval " +
           std::to_string(s.interval);
}

std::string settingsOf(const DaemonConfig& config) {
    return describe({config.tokenEjectActionSystem(), config.tokenEjectActionRemote(),
                     config.debug(), config.forceSessionMatch(), config.ticketsCheckIntervalMs()});
}

Settings with(System system, Remote remote, bool debug, bool force, int interval) {
    return Settings{system, remote, debug, force, interval};
}

const Settings kDefaults{};

struct LineCase {
    const char* name;
    const char* content;
    bool loaded;  // load() result; a failed load also keeps the reload flag
    Settings expected;
};

std::ostream& operator<<(std::ostream& out, const LineCase& lineCase) {
    return out << lineCase.name;
}

class DaemonConfigLineTest : public testing::TestWithParam<LineCase> {};

TEST_P(DaemonConfigLineTest, ReadsSettings) {
    const LineCase& lineCase = GetParam();
    std::string path = scratchPath(std::string("line_") + lineCase.name);
    writeFile(path, lineCase.content);
    DaemonConfig config(path);

    EXPECT_EQ(config.load(), lineCase.loaded);
    EXPECT_EQ(settingsOf(config), describe(lineCase.expected));
    EXPECT_EQ(config.getReloadCfgFlag(), !lineCase.loaded);
}

const LineCase kLineCases[] = {
    {"EmptyFile", "", true, kDefaults},
    {"JsonObject",
     "{\n"
     "    \"actionOnTokenDisabled\": 1,\n"
     "    \"actionOnTokenDisabledRemote\": 1,\n"
     "    \"debug\": false,\n"
     "    \"forceSessionMatch\": true,\n"
     "    \"ticketsCheckInterval\": 250\n"
     "}\n",
     true, with(System::LockSession, Remote::CloseConnection, false, true, 250)},
    {"AllQuoteKindsAndNone",
     "'actionOnTokenDisabled': '0'\n`debug`: `False`\n\"forceSessionMatch\": \"1\"\n"
     "actionOnTokenDisabledRemote :1\n",
     true, with(System::Inaction, Remote::CloseConnection, false, true, 1000)},
    {"ActionOutOfRangeKeepsDefault", "\"actionOnTokenDisabled\": 3,\n", true, kDefaults},
    // A failed load keeps the lines before the failing one and the reload flag.
    {"WordForActionAbortsLoad",
     "actionOnTokenDisabledRemote: 1\nactionOnTokenDisabled: lock\ndebug: 0\n", false,
     with(System::Undefined, Remote::CloseConnection, true, false, 1000)},
    {"HugeActionAbortsLoad", "actionOnTokenDisabled: 99999999999\n", false, kDefaults},
    {"BadBooleansAreSkipped", "forceSessionMatch: tRUE\ndebug: yes\n\"debug\": false ,\n", true,
     kDefaults},
    {"BadBooleanDoesNotStopReading", "forceSessionMatch: maybe\ndebug: False\n", true,
     with(System::Undefined, Remote::Inaction, false, false, 1000)},
    {"CrlfRejectsBooleanUnlessAfterComma",
     "debug: false\r\n\"forceSessionMatch\": true,\r\nticketsCheckInterval: 500\r\n", true,
     with(System::Undefined, Remote::Inaction, true, true, 500)},
    {"IntervalLettersGiveZero", "ticketsCheckInterval: often\n", true,
     with(System::Undefined, Remote::Inaction, true, false, 0)},
    {"IntervalSignAndSpaces", "ticketsCheckInterval:   +75 ms\n", true,
     with(System::Undefined, Remote::Inaction, true, false, 75)},
    {"FirstKeyInSearchOrderWins",
     "\"actionOnTokenDisabledRemote\": 1, \"debug\": 0\n"
     "debug: 0; actionOnTokenDisabled: 2\n",
     true, with(System::PowerOff, Remote::CloseConnection, true, false, 1000)},
    {"KeyInsideAnotherWord", "nodebug: 0\n# forceSessionMatch: 1\n", true,
     with(System::Undefined, Remote::Inaction, false, true, 1000)},
};

INSTANTIATE_TEST_SUITE_P(Lines, DaemonConfigLineTest, testing::ValuesIn(kLineCases),
                         [](const testing::TestParamInfo<LineCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(DaemonConfigTest, MissingFileKeepsDefaultsAndReloadFlagUntilItAppears) {
    std::string path = scratchPath("missing");
    std::remove(path.c_str());
    DaemonConfig config(path);

    EXPECT_FALSE(config.exists());
    EXPECT_FALSE(config.load());
    EXPECT_EQ(settingsOf(config), describe(kDefaults));
    EXPECT_TRUE(config.getReloadCfgFlag());

    writeFile(path, "actionOnTokenDisabled: 1\n");
    EXPECT_TRUE(config.exists());
    EXPECT_TRUE(config.load());
    EXPECT_EQ(config.tokenEjectActionSystem(), System::LockSession);
    EXPECT_FALSE(config.getReloadCfgFlag());
}

TEST(DaemonConfigTest, ReloadResetsSettingsButKeepsTheInterval) {
    std::string path = scratchPath("reload");
    writeFile(path,
              "actionOnTokenDisabled: 2\nactionOnTokenDisabledRemote: 1\ndebug: 0\n"
              "forceSessionMatch: 1\nticketsCheckInterval: 250\n");
    DaemonConfig config(path);
    ASSERT_TRUE(config.load());
    ASSERT_EQ(config.ticketsCheckIntervalMs(), 250);

    writeFile(path, "\n");
    EXPECT_TRUE(config.load());
    EXPECT_EQ(settingsOf(config),
              describe(with(System::Undefined, Remote::Inaction, true, false, 250)));

    // A file that has gone resets the same settings and still keeps the interval.
    writeFile(path, "actionOnTokenDisabled: 1\n");
    ASSERT_TRUE(config.load());
    std::remove(path.c_str());
    EXPECT_FALSE(config.load());
    EXPECT_EQ(config.tokenEjectActionSystem(), System::Undefined);
    EXPECT_EQ(config.ticketsCheckIntervalMs(), 250);
}

TEST(DaemonConfigTest, InstanceIsTheLatestLiveObject) {
    std::string path = scratchPath("instance");
    {
        DaemonConfig first(path);
        EXPECT_EQ(DaemonConfig::instance(), &first);
        {
            DaemonConfig second(path);
            EXPECT_EQ(DaemonConfig::instance(), &second);
        }
        // Destroying any instance clears the pointer, even with an older one alive.
        EXPECT_EQ(DaemonConfig::instance(), nullptr);
    }
    EXPECT_EQ(DaemonConfig::instance(), nullptr);
}

}  // namespace
