// The daemon's slot loop and token store, driven in-process inside a test world: the store's
// records, their isNew flags and the last-update time, which clients read over D-Bus.
#include <gtest/gtest.h>
#include <syslog.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "TestToken.h"
#include "daemon/Daemon.h"
#include "daemon/DataBase.h"
#include "world/WorldLog.h"

namespace {

using Store = std::map<CK_SLOT_ID, std::pair<std::string, bool>>;

// The store as the D-Bus thread would see it: slot -> (label, isNew).
Store storeSnapshot() {
    std::lock_guard<std::shared_timed_mutex> lock(DataBase::mutex());
    Store snapshot;
    for (const auto& [slot, info] : DataBase::storage()) {
        snapshot[slot] = {info.label, info.isNew};
    }
    return snapshot;
}

testtoken::TokenSpec token(const std::string& label, const std::string& model = "Korvex Quill 3") {
    testtoken::TokenSpec entry;
    entry.label = label;
    entry.model = model;
    entry.isd = "KX101";
    return entry;
}

// Waits for the loop's line about this slot: the loop logs one line per event it handled.
bool handled(const std::string& what, CK_SLOT_ID slot, const std::string& label, size_t mark) {
    return world::waitForLog(LOG_INFO,
                             "[INFO] " + what + " в слоте " + std::to_string(slot) +
                                 " label:" + label + " model:Korvex Quill 3 (USB)",
                             mark);
}

TEST(SlotLoopTest, StoreFollowsTokensComingAndGoing) {
    ASSERT_NE(std::getenv("KX_WORLD_LOG"), nullptr) << "run this test inside a world";
    testtoken::SimulatedTokens tokens("slot_loop");
    // Without a configuration file a removal would power the world off.
    std::filesystem::create_directories("/usr/local/etc/kxsentrix");
    std::ofstream(DaemonConfig::default_config_path) << "{}\n";
    const CK_SLOT_ID big = (1ULL << 32) + 5;  // the same low 32 bits as slot 5
    // Nothing has been scanned yet: clients polling early see 0.
    EXPECT_EQ(DataBase::lastUpdate().load(), 0);

    tokens.insert(3, token("First"));
    int64_t beforeStart = std::time(nullptr);
    size_t mark = world::logMark();
    Daemon daemon;
    std::future<int> running = std::async(std::launch::async, [&daemon] { return daemon.exec(); });
    ASSERT_TRUE(handled("Подключено новое устройство", 3, "First", mark));
    // The initial scan flags its records as new and sets the time; the line comes before the
    // time, both under the store's lock, which the snapshot waits for.
    EXPECT_EQ(storeSnapshot(), (Store{{3, {"First", true}}}));
    EXPECT_GE(DataBase::lastUpdate().load(), beforeStart);

    // A second token: only it is new now, under its full slot id.
    mark = world::logMark();
    tokens.insert(big, token("Second"));
    ASSERT_TRUE(handled("Подключено новое устройство", big, "Second", mark));
    EXPECT_EQ(storeSnapshot(), (Store{{3, {"First", false}}, {big, {"Second", true}}}));

    // A storage-only device is never stored, but the event still counts as an update.
    DataBase::setLastUpdate(1);
    mark = world::logMark();
    tokens.insert(9, token("Disk", "Korvex Disk2 64G"));
    ASSERT_TRUE(world::waitForLog(
        LOG_INFO,
        "[INFO] Token event: event 0, slot 9, flags 7 hardware version 1.0, firmware version 1.0",
        mark));
    // The event's line comes before the store's lock; the time is set after it.
    for (int i = 0; i < 300 && DataBase::lastUpdate().load() == 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(DataBase::lastUpdate().load(), 1);
    EXPECT_EQ(storeSnapshot(), (Store{{3, {"First", false}}, {big, {"Second", false}}}));

    // Removal erases the record and sets the time again.
    DataBase::setLastUpdate(1);
    mark = world::logMark();
    tokens.remove(3);
    ASSERT_TRUE(handled("Отключено устройство", 3, "First", mark));
    EXPECT_EQ(storeSnapshot(), (Store{{big, {"Second", false}}}));
    EXPECT_GT(DataBase::lastUpdate().load(), 1);

    std::raise(SIGTERM);  // the daemon's own handler sets its stop flag
    EXPECT_EQ(running.get(), 0);
}

}  // namespace
