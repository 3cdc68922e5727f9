// The daemon's slot loop and token store, driven in-process inside a test world: the store's
// records, their isNew flags and the last-update time, which clients read over D-Bus.
#include <gtest/gtest.h>
#include <syslog.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <future>
#include <mutex>
#include <thread>

#include "TestToken.h"
#include "daemon/Daemon.h"
#include "daemon/DataBase.h"
#include "world/WorldLog.h"

namespace {

using testtoken::SimulatedTokens;
using testtoken::TokenSpec;

// The store as the D-Bus thread would see it: slot -> (label, isNew).
std::map<CK_SLOT_ID, std::pair<std::string, bool>> storeSnapshot() {
    std::lock_guard<std::shared_timed_mutex> lock(DataBase::mutex());
    std::map<CK_SLOT_ID, std::pair<std::string, bool>> snapshot;
    for (const auto& [slot, info] : DataBase::storage()) {
        snapshot[slot] = {info.label, info.isNew};
    }
    return snapshot;
}

TokenSpec token(const std::string& label, const std::string& model = "Korvex Quill 3") {
    TokenSpec spec;
    spec.label = label;
    spec.model = model;
    return spec;
}

class SlotLoopTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("KX_WORLD_LOG"), nullptr) << "run this test inside a world";
    }

    // Runs the daemon's loop on a thread until stop().
    void start() {
        daemon_ = std::make_unique<Daemon>();
        running_ = std::async(std::launch::async, [this] { return daemon_->exec(); });
    }

    int stop() {
        std::raise(SIGTERM);  // the daemon's own handler sets its stop flag
        int status = running_.get();
        daemon_.reset();
        return status;
    }

    // Waits until the loop has handled everything up to now: the loop logs one line per event.
    bool waitForLine(int level, const std::string& text, size_t mark) {
        return world::waitForLog(level, text, mark);
    }

    void removeToken(CK_SLOT_ID slot) {
        std::remove((tokens_.directory() + "/" + std::to_string(slot)).c_str());
    }

    SimulatedTokens tokens_{"slot_loop"};
    std::unique_ptr<Daemon> daemon_;
    std::future<int> running_;
};

TEST_F(SlotLoopTest, StoreFollowsTokensComingAndGoing) {
    // Nothing has been scanned yet: clients polling early see 0.
    EXPECT_EQ(DataBase::lastUpdate().load(), 0);

    tokens_.insert(3, token("First"));
    int64_t beforeStart = std::time(nullptr);
    size_t mark = world::logMark();
    start();
    ASSERT_TRUE(waitForLine(LOG_INFO,
                            "[INFO] Подключено новое устройство в слоте 3 label:First "
                            "model:Korvex Quill 3 (USB)",
                            mark));
    // The initial scan sets the time and flags its records as new.
    EXPECT_GE(DataBase::lastUpdate().load(), beforeStart);
    EXPECT_EQ(storeSnapshot(), (decltype(storeSnapshot()){{3, {"First", true}}}));

    // A second token: only it is new now.
    mark = world::logMark();
    tokens_.insert(7, token("Second"));
    ASSERT_TRUE(waitForLine(LOG_INFO,
                            "[INFO] Подключено новое устройство в слоте 7 label:Second "
                            "model:Korvex Quill 3 (USB)",
                            mark));
    EXPECT_EQ(storeSnapshot(),
              (decltype(storeSnapshot()){{3, {"First", false}}, {7, {"Second", true}}}));

    // A storage-only device is never stored, but the event still counts as an update.
    DataBase::setLastUpdate(1);
    mark = world::logMark();
    tokens_.insert(9, token("Disk", "Korvex Disk2 64G"));
    ASSERT_TRUE(world::waitForLog(
        LOG_INFO,
        "[INFO] Token event: event 0, slot 9, flags 7 hardware version 1.0, firmware version 1.0",
        mark));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GT(DataBase::lastUpdate().load(), 1);
    EXPECT_EQ(storeSnapshot().count(9), 0u);
    EXPECT_EQ(storeSnapshot().at(7), (std::pair<std::string, bool>{"Second", false}));

    // Removal erases the record and sets the time again.
    DataBase::setLastUpdate(1);
    mark = world::logMark();
    removeToken(3);
    ASSERT_TRUE(waitForLine(
        LOG_INFO, "[INFO] Отключено устройство в слоте 3 label:First model:Korvex Quill 3 (USB)",
        mark));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GT(DataBase::lastUpdate().load(), 1);
    EXPECT_EQ(storeSnapshot(), (decltype(storeSnapshot()){{7, {"Second", false}}}));

    EXPECT_EQ(stop(), 0);
    removeToken(7);
    removeToken(9);
    std::lock_guard<std::shared_timed_mutex> lock(DataBase::mutex());
    DataBase::storage().clear();
}

TEST_F(SlotLoopTest, SlotIdsAboveThirtyTwoBitsKeepTheirFullValue) {
    const CK_SLOT_ID bigSlot = (1ULL << 32) + 5;
    tokens_.insert(bigSlot, token("Wide"));
    size_t mark = world::logMark();
    start();
    ASSERT_TRUE(waitForLine(LOG_INFO,
                            "[INFO] Подключено новое устройство в слоте 4294967301 label:Wide "
                            "model:Korvex Quill 3 (USB)",
                            mark));
    EXPECT_EQ(storeSnapshot().count(bigSlot), 1u);
    EXPECT_EQ(storeSnapshot().count(5), 0u);

    mark = world::logMark();
    removeToken(bigSlot);
    ASSERT_TRUE(waitForLine(
        LOG_INFO,
        "[INFO] Отключено устройство в слоте 4294967301 label:Wide model:Korvex Quill 3 (USB)",
        mark));
    EXPECT_TRUE(storeSnapshot().empty());
    EXPECT_EQ(stop(), 0);
}

}  // namespace
