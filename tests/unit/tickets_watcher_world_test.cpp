// Runs inside a test world as root: the guard changes owners and modes of files in /tmp.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/DaemonConfig.h"
#include "watch/TicketsWatcher.h"
#include "world/WorldLog.h"

namespace {

const std::string kConfigPath = "/run/kx-tickets-test.conf";
const std::string kTarget = "/etc/kx-tickets-target";

struct FileState {
    uid_t uid;
    gid_t gid;
    mode_t mode;  // permission bits only
};

bool operator==(const FileState& a, const FileState& b) {
    return a.uid == b.uid && a.gid == b.gid && a.mode == b.mode;
}

std::ostream& operator<<(std::ostream& out, const FileState& state) {
    return out << "uid " << state.uid << " gid " << state.gid << " mode 0" << std::oct << state.mode
               << std::dec;
}

FileState stateOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return FileState{status.st_uid, status.st_gid, status.st_mode & 07777};
}

void makeFile(const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
    std::ofstream(path) << "ticket";
    ASSERT_EQ(chown(path.c_str(), uid, gid), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// A mark after every record sent so far: the capture is asynchronous, so a sentinel record is sent
// and waited for.
size_t settledMark() {
    static int sentinel = 0;
    const std::string text = "tickets-test-sentinel-" + std::to_string(++sentinel);
    syslog(LOG_LOCAL7 | LOG_DEBUG, "%s", text.c_str());
    EXPECT_TRUE(world::waitForLog(LOG_DEBUG, text));
    return world::logMark();
}

size_t countLog(const std::string& text, size_t mark) {
    auto records = world::logRecords();
    return std::count_if(records.begin() + std::min(mark, records.size()), records.end(),
                         [&](const world::LogRecord& record) { return record.text == text; });
}

class TicketsWatcherTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("KX_WORLD_LOG"), nullptr) << "run this test inside a world";
        ASSERT_EQ(geteuid(), 0u);
        std::system("rm -rf /tmp/krb5cc_*");
        useInterval("0");
    }

    void TearDown() override {
        std::system("rm -rf /tmp/krb5cc_*");
        std::remove(kTarget.c_str());
    }

    void useInterval(const std::string& interval) {
        std::ofstream(kConfigPath) << "ticketsCheckInterval: " << interval << "\n";
        config_.reset();  // a destroyed configuration clears the instance pointer
        config_ = std::make_unique<DaemonConfig>(kConfigPath);
        ASSERT_TRUE(config_->load());
    }

    std::unique_ptr<DaemonConfig> config_;
};

TEST_F(TicketsWatcherTest, CacheOwnedByRootIsHandedToTheUidInItsName) {
    makeFile("/tmp/krb5cc_1000", 0, 0, 0600);
    makeFile("/tmp/krb5cc_1001", 0, 1234, 0644);
    size_t mark = settledMark();
    TicketsWatcher watcher;
    watcher.check();

    EXPECT_EQ(stateOf("/tmp/krb5cc_1000"), (FileState{1000, 0, 0660}));
    EXPECT_EQ(stateOf("/tmp/krb5cc_1001"), (FileState{1001, 1234, 0660}));
    EXPECT_TRUE(world::waitForLog(
        LOG_INFO, "[INFO] Owner of file '/tmp/krb5cc_1000' is changed to uid 1000, gid 0", mark));
    EXPECT_TRUE(world::waitForLog(LOG_INFO,
                                  "[INFO] Owner of file '/tmp/krb5cc_1001' is changed to uid "
                                  "1001, gid 1234",
                                  mark));
    EXPECT_TRUE(world::waitForLog(LOG_DEBUG,
                                  "Found ticket cache file '/tmp/krb5cc_1000' with wrong "
                                  "permissions. Current owner uid is '0' but should be '1000'.",
                                  mark));
}

TEST_F(TicketsWatcherTest, RightOwnerKeepsItsModeWhateverItIs) {
    makeFile("/tmp/krb5cc_1000", 1000, 0, 0600);
    // The owner test is a prefix test: uid 1000 also owns krb5cc_10000 rightly.
    makeFile("/tmp/krb5cc_10000", 1000, 0, 0644);
    TicketsWatcher watcher;
    watcher.check();
    EXPECT_EQ(stateOf("/tmp/krb5cc_1000"), (FileState{1000, 0, 0600}));
    EXPECT_EQ(stateOf("/tmp/krb5cc_10000"), (FileState{1000, 0, 0644}));
}

TEST_F(TicketsWatcherTest, DigitsUpToTheFirstNonDigitNameTheUid) {
    makeFile("/tmp/krb5cc_1000_Ab3", 0, 0, 0600);
    TicketsWatcher watcher;
    watcher.check();
    EXPECT_EQ(stateOf("/tmp/krb5cc_1000_Ab3"), (FileState{1000, 0, 0660}));
}

TEST_F(TicketsWatcherTest, CacheNamedForRootIsNeverHandedOut) {
    makeFile("/tmp/krb5cc_0", 1000, 1000, 0600);
    size_t mark = settledMark();
    TicketsWatcher watcher;
    watcher.check();
    EXPECT_EQ(stateOf("/tmp/krb5cc_0"), (FileState{1000, 1000, 0600}));
    const std::string warning =
        "[WARNING] Failed to get valid uid from '0'. This file will be ignore.";
    EXPECT_TRUE(world::waitForLog(LOG_WARNING, warning, mark));

    // Ignored for good: the next scan does not even look at it.
    watcher.check();
    settledMark();
    EXPECT_EQ(countLog(warning, mark), 1u);

    // Root's own cache is right as it is, and nothing is said about it.
    makeFile("/tmp/krb5cc_0", 0, 0, 0600);
    TicketsWatcher fresh;
    size_t quiet = settledMark();
    fresh.scan();
    EXPECT_EQ(stateOf("/tmp/krb5cc_0"), (FileState{0, 0, 0600}));
    EXPECT_EQ(settledMark(), quiet + 1) << "only the sentinel was logged";
}

TEST_F(TicketsWatcherTest, NameWithoutUidIsReportedOnceAndIgnored) {
    makeFile("/tmp/krb5cc_abc", 0, 0, 0600);
    size_t mark = settledMark();
    TicketsWatcher watcher;
    watcher.check();
    const std::string warning =
        "[WARNING] Found ticket cache file '/tmp/krb5cc_abc' with wrong permissions. But can not "
        "determine uid from file path. This file will be ignore.";
    EXPECT_TRUE(world::waitForLog(LOG_WARNING, warning, mark));
    watcher.check();
    settledMark();
    EXPECT_EQ(countLog(warning, mark), 1u);
    EXPECT_EQ(stateOf("/tmp/krb5cc_abc"), (FileState{0, 0, 0600}));
}

TEST_F(TicketsWatcherTest, DirectoriesAndLinksAreLeftAlone) {
    makeFile(kTarget, 0, 0, 0600);
    ASSERT_EQ(mkdir("/tmp/krb5cc_1000", 0700), 0);
    ASSERT_EQ(symlink(kTarget.c_str(), "/tmp/krb5cc_1001"), 0);
    TicketsWatcher watcher;
    watcher.check();
    EXPECT_EQ(stateOf("/tmp/krb5cc_1000"), (FileState{0, 0, 0700}));
    EXPECT_EQ(stateOf("/tmp/krb5cc_1001").uid, 0u);
    EXPECT_EQ(stateOf(kTarget), (FileState{0, 0, 0600}));
}

TEST_F(TicketsWatcherTest, FileSwappedForALinkAfterTheListingIsNotFollowed) {
    makeFile(kTarget, 0, 0, 0600);
    makeFile("/tmp/krb5cc_1000", 0, 0, 0600);
    TicketsWatcher watcher;
    std::vector<std::string> candidates;
    ASSERT_TRUE(watcher.listCandidates(candidates));
    ASSERT_EQ(candidates, std::vector<std::string>{"/tmp/krb5cc_1000"});

    // The user's move: replace the listed file by a link to a file root owns.
    ASSERT_EQ(unlink("/tmp/krb5cc_1000"), 0);
    ASSERT_EQ(symlink(kTarget.c_str(), "/tmp/krb5cc_1000"), 0);
    size_t mark = settledMark();
    watcher.repair(candidates[0]);

    EXPECT_EQ(stateOf(kTarget), (FileState{0, 0, 0600}));
    EXPECT_EQ(stateOf("/tmp/krb5cc_1000").uid, 0u);
    EXPECT_TRUE(world::waitForLog(LOG_WARNING,
                                  "[WARNING] Failed to get stat for file /tmp/krb5cc_1000, errno " +
                                      std::to_string(ELOOP) + ".",
                                  mark));
}

TEST_F(TicketsWatcherTest, HardLinkToAnotherFileIsNotHandedOut) {
    // Where hard links to other users' files are allowed, a user can give a root-owned file a
    // ticket cache name on the same file system.
    const std::string secret = "/tmp/.kx-root-secret";
    makeFile(secret, 0, 0, 0600);
    ASSERT_EQ(link(secret.c_str(), "/tmp/krb5cc_1000"), 0);
    size_t mark = settledMark();
    TicketsWatcher watcher;
    watcher.check();

    EXPECT_EQ(stateOf(secret), (FileState{0, 0, 0600}));
    EXPECT_TRUE(world::waitForLog(LOG_WARNING,
                                  "[WARNING] Ticket cache file '/tmp/krb5cc_1000' has 2 hard links "
                                  "and may be another file. This file will be ignore.",
                                  mark));
    std::remove(secret.c_str());
}

TEST_F(TicketsWatcherTest, FileSwappedForAFifoDoesNotStallTheScan) {
    makeFile("/tmp/krb5cc_1000", 0, 0, 0600);
    TicketsWatcher watcher;
    std::vector<std::string> candidates;
    ASSERT_TRUE(watcher.listCandidates(candidates));
    ASSERT_EQ(unlink("/tmp/krb5cc_1000"), 0);
    ASSERT_EQ(mkfifo("/tmp/krb5cc_1000", 0600), 0);

    watcher.repair(candidates[0]);  // would block for ever on a FIFO without a writer
    EXPECT_EQ(stateOf("/tmp/krb5cc_1000"), (FileState{0, 0, 0600}));
}

TEST_F(TicketsWatcherTest, IntervalZeroScansOnEveryCall) {
    TicketsWatcher watcher;
    for (int uid : {1000, 1001, 1002}) {
        std::string path = "/tmp/krb5cc_" + std::to_string(uid);
        makeFile(path, 0, 0, 0600);
        watcher.check();
        EXPECT_EQ(stateOf(path).uid, static_cast<uid_t>(uid));
    }
}

TEST_F(TicketsWatcherTest, IntervalCountsFromTheEndOfThePreviousScan) {
    useInterval("1000");
    TicketsWatcher watcher;
    makeFile("/tmp/krb5cc_1000", 0, 0, 0600);
    watcher.check();
    EXPECT_EQ(stateOf("/tmp/krb5cc_1000").uid, 0u) << "first scan is due one interval after start";

    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    watcher.check();
    EXPECT_EQ(stateOf("/tmp/krb5cc_1000").uid, 1000u);

    makeFile("/tmp/krb5cc_1001", 0, 0, 0600);
    watcher.check();
    EXPECT_EQ(stateOf("/tmp/krb5cc_1001").uid, 0u);

    // A reloaded interval takes effect at the next call.
    std::ofstream(kConfigPath) << "ticketsCheckInterval: 0\n";
    ASSERT_TRUE(config_->load());
    watcher.check();
    EXPECT_EQ(stateOf("/tmp/krb5cc_1001").uid, 1001u);
}

TEST_F(TicketsWatcherTest, WithoutConfigurationNothingIsScanned) {
    config_.reset();
    makeFile("/tmp/krb5cc_1000", 0, 0, 0600);
    size_t mark = settledMark();
    TicketsWatcher watcher;
    watcher.check();
    EXPECT_TRUE(world::waitForLog(LOG_ERR, "[ERROR] DaemonConfig::instance() пуст!", mark));
    EXPECT_EQ(stateOf("/tmp/krb5cc_1000").uid, 0u);
}

}  // namespace
