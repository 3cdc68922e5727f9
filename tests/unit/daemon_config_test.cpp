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
    EXPECT_EQ(config.tokenEjectActionSystem(), lineCase.expected.system);
    EXPECT_EQ(config.tokenEjectActionRemote(), lineCase.expected.remote);
    EXPECT_EQ(config.debug(), lineCase.expected.debug);
    EXPECT_EQ(config.forceSessionMatch(), lineCase.expected.forceSessionMatch);
    EXPECT_EQ(config.ticketsCheckIntervalMs(), lineCase.expected.interval);
    EXPECT_EQ(config.getReloadCfgFlag(), !lineCase.loaded);
}

Settings with(System system, Remote remote, bool debug, bool force, int interval) {
    return Settings{system, remote, debug, force, interval};
}

const Settings kDefaults{};

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
    {"PlainLines",
     "actionOnTokenDisabled: 2\nactionOnTokenDisabledRemote:1\ndebug : 0\n"
     "forceSessionMatch :TRUE\nticketsCheckInterval: 42",
     true, with(System::PowerOff, Remote::CloseConnection, false, true, 42)},
    {"AllQuoteKinds",
     "'actionOnTokenDisabled': '0'\n`debug`: `False`\n\"forceSessionMatch\": \"1\"\n", true,
     with(System::Inaction, Remote::Inaction, false, true, 1000)},
    {"QuotedNumber", "\"actionOnTokenDisabled\": \"2\",\n", true,
     with(System::PowerOff, Remote::Inaction, true, false, 1000)},
    {"ActionOutOfRangeKeepsDefault", "\"actionOnTokenDisabled\": 3,\n", true, kDefaults},
    {"RemoteOutOfRangeKeepsDefault", "actionOnTokenDisabledRemote: -1\n", true, kDefaults},
    {"NumberFollowedByText", "actionOnTokenDisabled: 1 lock\n", true,
     with(System::LockSession, Remote::Inaction, true, false, 1000)},
    {"WordForActionAbortsLoad",
     "actionOnTokenDisabledRemote: 1\nactionOnTokenDisabled: lock\ndebug: 0\n", false,
     with(System::Undefined, Remote::CloseConnection, true, false, 1000)},
    {"EmptyActionValueAbortsLoad", "\"actionOnTokenDisabled\": \"\",\nforceSessionMatch: 1\n",
     false, kDefaults},
    {"HugeActionAbortsLoad", "actionOnTokenDisabled: 99999999999\n", false, kDefaults},
    {"DebugZeroQuoted", "\"debug\": \"0\"\n", true,
     with(System::Undefined, Remote::Inaction, false, false, 1000)},
    {"DebugNegativeZero", "debug: -0\n", true,
     with(System::Undefined, Remote::Inaction, false, false, 1000)},
    {"DebugYesIsRejected", "debug: yes\n", true, kDefaults},
    {"DebugHugeNumberIsRejected", "debug: 99999999999\n", true, kDefaults},
    {"BooleanIsCaseExact", "forceSessionMatch: tRUE\n", true, kDefaults},
    {"BooleanNumberWithTail", "forceSessionMatch: 2abc\n", true,
     with(System::Undefined, Remote::Inaction, true, true, 1000)},
    {"BadBooleanDoesNotStopReading", "forceSessionMatch: maybe\ndebug: False\n", true,
     with(System::Undefined, Remote::Inaction, false, false, 1000)},
    {"SpaceBeforeCommaBreaksBoolean", "\"debug\": false ,\n", true, kDefaults},
    {"CrlfRejectsBoolean", "debug: false\r\nticketsCheckInterval: 500\r\n", true,
     with(System::Undefined, Remote::Inaction, true, false, 500)},
    {"CrlfAfterCommaIsHarmless", "\"debug\": false,\r\n\"forceSessionMatch\": true,\r\n", true,
     with(System::Undefined, Remote::Inaction, false, true, 1000)},
    {"IntervalLettersGiveZero", "ticketsCheckInterval: often\n", true,
     with(System::Undefined, Remote::Inaction, true, false, 0)},
    {"IntervalNegativeKept", "ticketsCheckInterval: -250\n", true,
     with(System::Undefined, Remote::Inaction, true, false, -250)},
    {"IntervalSignAndSpaces", "ticketsCheckInterval:   +75 ms\n", true,
     with(System::Undefined, Remote::Inaction, true, false, 75)},
    {"FirstKeyInSearchOrderWins",
     "\"actionOnTokenDisabledRemote\": 1, \"debug\": 0\n"
     "debug: 0; actionOnTokenDisabled: 2\n",
     true, with(System::PowerOff, Remote::CloseConnection, true, false, 1000)},
    {"KeyInsideAnotherWord", "nodebug: 0\n", true,
     with(System::Undefined, Remote::Inaction, false, false, 1000)},
    {"NoCommentSyntax", "# debug: 0\n// forceSessionMatch: 1\n", true,
     with(System::Undefined, Remote::Inaction, false, true, 1000)},
    {"KeyWithoutColonIsSkipped", "debug 0\nactionOnTokenDisabled = 2\n", true, kDefaults},
    {"LastValidOccurrenceWins",
     "actionOnTokenDisabled: 1\nactionOnTokenDisabled: 2\nactionOnTokenDisabledRemote: 1\n"
     "actionOnTokenDisabledRemote: 5\n",
     true, with(System::PowerOff, Remote::CloseConnection, true, false, 1000)},
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
    EXPECT_EQ(config.tokenEjectActionSystem(), System::Undefined);
    EXPECT_EQ(config.tokenEjectActionRemote(), Remote::Inaction);
    EXPECT_TRUE(config.debug());
    EXPECT_FALSE(config.forceSessionMatch());
    EXPECT_EQ(config.ticketsCheckIntervalMs(), 1000);
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
    EXPECT_EQ(config.tokenEjectActionSystem(), System::Undefined);
    EXPECT_EQ(config.tokenEjectActionRemote(), Remote::Inaction);
    EXPECT_TRUE(config.debug());
    EXPECT_FALSE(config.forceSessionMatch());
    EXPECT_EQ(config.ticketsCheckIntervalMs(), 250);

    // A file that has gone resets the same settings and still keeps the interval.
    writeFile(path, "actionOnTokenDisabled: 1\n");
    ASSERT_TRUE(config.load());
    std::remove(path.c_str());
    EXPECT_FALSE(config.load());
    EXPECT_EQ(config.tokenEjectActionSystem(), System::Undefined);
    EXPECT_EQ(config.ticketsCheckIntervalMs(), 250);
}

TEST(DaemonConfigTest, OnlyASuccessfulLoadClearsTheReloadFlag) {
    std::string path = scratchPath("flag");
    writeFile(path, "debug: 0\n");
    DaemonConfig config(path);
    EXPECT_TRUE(config.getReloadCfgFlag());
    ASSERT_TRUE(config.load());
    EXPECT_FALSE(config.getReloadCfgFlag());

    config.setReloadCfgFlag(true);
    writeFile(path, "debug: 0\nactionOnTokenDisabled: x\n");
    EXPECT_FALSE(config.load());
    EXPECT_TRUE(config.getReloadCfgFlag());
    // Lines before the failing one were applied.
    EXPECT_FALSE(config.debug());

    writeFile(path, "actionOnTokenDisabled: 0\n");
    EXPECT_TRUE(config.load());
    EXPECT_FALSE(config.getReloadCfgFlag());
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
