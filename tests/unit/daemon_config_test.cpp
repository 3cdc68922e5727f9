#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "config/DaemonConfig.h"

namespace {

// Configuration files live in the build tree, one per test.
std::string scratchPath(const std::string& name) {
    mkdir(KX_CONFIG_TEST_DIR, 0755);
    return std::string(KX_CONFIG_TEST_DIR) + "/" + name + ".conf";
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// The settings in the terms of the file: action numbers, booleans as 0 and 1.
std::string settingsOf(const DaemonConfig& config) {
    return "action=" + std::to_string(static_cast<int>(config.tokenEjectActionSystem())) +
           " remote=" + std::to_string(static_cast<int>(config.tokenEjectActionRemote())) +
           " debug=" + std::to_string(config.debug()) +
           " force=" + std::to_string(config.forceSessionMatch()) +
           " interval=" + std::to_string(config.ticketsCheckIntervalMs());
}

const std::string kDefaults = "action=-1 remote=0 debug=1 force=0 interval=1000";

struct LineCase {
    const char* name;
    const char* content;
    bool loaded;  // load() result; a failed load also keeps the reload flag
    std::string expected;
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
    EXPECT_EQ(settingsOf(config), lineCase.expected);
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
     true, "action=1 remote=1 debug=0 force=1 interval=250"},
    {"AllQuoteKindsAndNone",
     "'actionOnTokenDisabled': '0'\n`debug`: `False`\n\"forceSessionMatch\": \"1\"\n"
     "actionOnTokenDisabledRemote :1\n",
     true, "action=0 remote=1 debug=0 force=1 interval=1000"},
    {"ActionOutOfRangeKeepsDefault", "\"actionOnTokenDisabled\": 3,\n", true, kDefaults},
    // A failed load keeps the lines before the failing one and the reload flag.
    {"WordForActionAbortsLoad",
     "actionOnTokenDisabledRemote: 1\nactionOnTokenDisabled: lock\ndebug: 0\n", false,
     "action=-1 remote=1 debug=1 force=0 interval=1000"},
    {"HugeActionAbortsLoad", "actionOnTokenDisabled: 99999999999\n", false, kDefaults},
    // Each bad value would move its key off the default if it were taken.
    {"BadBooleansAreSkipped",
     "forceSessionMatch: tRUE\nforceSessionMatch: yes\ndebug: fALSE\n\"debug\": false ,\n", true,
     kDefaults},
    {"BadBooleanDoesNotStopReading", "forceSessionMatch: maybe\ndebug: False\n", true,
     "action=-1 remote=0 debug=0 force=0 interval=1000"},
    {"CrlfRejectsBooleanUnlessAfterComma",
     "debug: false\r\n\"forceSessionMatch\": true,\r\nticketsCheckInterval: 500\r\n", true,
     "action=-1 remote=0 debug=1 force=1 interval=500"},
    {"IntervalLettersGiveZero", "ticketsCheckInterval: often\n", true,
     "action=-1 remote=0 debug=1 force=0 interval=0"},
    {"IntervalSignAndSpaces", "ticketsCheckInterval:   +75 ms\n", true,
     "action=-1 remote=0 debug=1 force=0 interval=75"},
    // Beyond 32 bits atoi wrapped (2^31 became a check on every pass): held at the ends now.
    {"IntervalBeyondRangeHeldAtMaximum", "ticketsCheckInterval: 2147483648\n", true,
     "action=-1 remote=0 debug=1 force=0 interval=2147483647"},
    {"IntervalFarBeyondRangeHeldAtMaximum", "ticketsCheckInterval: 99999999999999999999\n", true,
     "action=-1 remote=0 debug=1 force=0 interval=2147483647"},
    {"IntervalBelowRangeHeldAtMinimum", "ticketsCheckInterval: -4294967297\n", true,
     "action=-1 remote=0 debug=1 force=0 interval=-2147483648"},
    {"FirstKeyInSearchOrderWins",
     "\"actionOnTokenDisabledRemote\": 1, \"debug\": 0\n"
     "debug: 0; actionOnTokenDisabled: 2\n",
     true, "action=2 remote=1 debug=1 force=0 interval=1000"},
    {"KeyInsideAnotherWord", "nodebug: 0\n# forceSessionMatch: 1\n", true,
     "action=-1 remote=0 debug=0 force=1 interval=1000"},
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
    EXPECT_EQ(settingsOf(config), kDefaults);
    EXPECT_TRUE(config.getReloadCfgFlag());

    writeFile(path, "actionOnTokenDisabled: 1\n");
    EXPECT_TRUE(config.exists());
    EXPECT_TRUE(config.load());
    EXPECT_EQ(settingsOf(config), "action=1 remote=0 debug=1 force=0 interval=1000");
    EXPECT_FALSE(config.getReloadCfgFlag());
}

TEST(DaemonConfigTest, ReloadResetsSettingsButNeverTheInterval) {
    std::string path = scratchPath("reload");
    writeFile(path,
              "actionOnTokenDisabled: 2\nactionOnTokenDisabledRemote: 1\ndebug: 0\n"
              "forceSessionMatch: 1\nticketsCheckInterval: 250\n");
    DaemonConfig config(path);
    ASSERT_TRUE(config.load());
    writeFile(path, "\n");
    EXPECT_TRUE(config.load());
    EXPECT_EQ(settingsOf(config), "action=-1 remote=0 debug=1 force=0 interval=250");

    // A file that has gone resets the same settings and still keeps the interval.
    writeFile(path, "actionOnTokenDisabled: 1\n");
    ASSERT_TRUE(config.load());
    std::remove(path.c_str());
    EXPECT_FALSE(config.load());
    EXPECT_EQ(settingsOf(config), "action=-1 remote=0 debug=1 force=0 interval=250");
}

}  // namespace
