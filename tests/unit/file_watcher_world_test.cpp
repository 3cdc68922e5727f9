// Runs inside a test world: the watcher watches the daemon's real configuration path.
#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "config/DaemonConfig.h"
#include "watch/FileWatcher.h"
#include "watch/InotifyFd.h"
#include "world/WorldLog.h"

namespace {

const std::string kConfig = DaemonConfig::default_config_path;

void appendLine(const std::string& path, const std::string& line) {
    std::ofstream(path, std::ios::app) << line << "\n";
}

// What sed -i and most editors do: write a sibling, rename it over the original.
void replaceByRename(const std::string& path, const std::string& text) {
    std::ofstream(path + ".new") << text;
    ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
}

class FileWatcherTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("KX_WORLD_LOG"), nullptr) << "run this test inside a world";
        std::filesystem::create_directories(std::filesystem::path(kConfig).parent_path());
        std::ofstream(kConfig) << "{\n\"debug\": true\n}\n";
        config_.setReloadCfgFlag(false);
    }

    void TearDown() override {
        watcher_.reset();
        std::remove(kConfig.c_str());
    }

    void startWatcher() {
        ASSERT_TRUE(watcher_->initialize());
        ASSERT_TRUE(watcher_->startMainLoop());
    }

    // Waits for the reload request, and clears it for the next step.
    bool reloadRequested() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!config_.getReloadCfgFlag() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        bool requested = config_.getReloadCfgFlag();
        config_.setReloadCfgFlag(false);
        return requested;
    }

    DaemonConfig config_{kConfig};
    std::unique_ptr<FileWatcher> watcher_ = std::make_unique<FileWatcher>();
};

// The kernel drops the watch of a replaced file; so does the table, and taking the path off
// watch then removes the live watch, not a dead one.
TEST(InotifyFdTest, ReplacedFilesLeaveTheTableAndRemovingThePathEndsItsReports) {
    const std::string directory = "/tmp/inotify-table";
    const std::string path = directory + "/watched.conf";
    std::filesystem::create_directories(directory);
    std::ofstream(path) << "a\n";
    int modifications = 0;
    InotifyFd inotify([&modifications](const std::string&) { ++modifications; });
    ASSERT_TRUE(inotify.addPath(path));
    for (int i = 0; i < 200; ++i) {
        replaceByRename(path, "b\n");
        ASSERT_TRUE(inotify.addPath(path));  // as the watcher does when the file appears
        inotify.onFileChanged();
    }
    EXPECT_EQ(inotify.watchCount(), 1u);

    appendLine(path, "c");
    inotify.onFileChanged();
    EXPECT_EQ(modifications, 1);
    ASSERT_TRUE(inotify.rmPath(path));
    appendLine(path, "d");
    inotify.onFileChanged();
    EXPECT_EQ(modifications, 1);
    EXPECT_EQ(inotify.watchCount(), 0u);
    std::filesystem::remove_all(directory);
}

// Appending, deleting and replacing the running daemon's file: test_config_reload.py.
TEST_F(FileWatcherTest, FileMissingAtStartIsWatchedOnceCreatedAndAfterEveryReplacement) {
    std::remove(kConfig.c_str());
    size_t mark = world::logMark();
    startWatcher();
    EXPECT_TRUE(world::waitForLog(
        LOG_ERR, "[ERROR] Файл " + kConfig + " не найден. Не ставим его на контроль", mark));

    std::ofstream(kConfig) << "debug: 0\n";
    EXPECT_TRUE(reloadRequested());
    for (int i = 0; i < 50; ++i) {
        replaceByRename(kConfig, "debug: 1\n");
        ASSERT_TRUE(reloadRequested()) << "replacement " << i;
    }
    appendLine(kConfig, "debug: 0");
    EXPECT_TRUE(reloadRequested());
}

}  // namespace
