// Runs inside a test world: the watcher watches the daemon's real configuration path.
// (Appending, deleting and replacing the running daemon's file: test_config_reload.py.)
#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "config/DaemonConfig.h"
#include "watch/FileWatcher.h"
#include "watch/InotifyFd.h"
#include "world/WorldLog.h"

namespace {

void appendLine(const std::string& path, const std::string& line) {
    std::ofstream(path, std::ios::app) << line << "\n";
}

// What sed -i and most editors do: write a sibling, rename it over the original.
void replaceByRename(const std::string& path, const std::string& text) {
    std::ofstream(path + ".new") << text;
    ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
}

// The kernel drops the watch of a replaced file; so does the table, and taking the path off
// watch then removes the live watch, not a dead one.
TEST(InotifyFdTest, ReplacedFilesLeaveTheTableAndRemovingThePathEndsItsReports) {
    const std::string path = "/tmp/inotify-table.conf";
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
}

TEST(FileWatcherTest, FileMissingAtStartIsWatchedOnceCreatedAndAfterEveryReplacement) {
    ASSERT_NE(std::getenv("KX_WORLD_LOG"), nullptr) << "run this test inside a world";
    const std::string config = DaemonConfig::default_config_path;
    std::filesystem::create_directories(std::filesystem::path(config).parent_path());
    std::remove(config.c_str());
    DaemonConfig settings(config);
    settings.setReloadCfgFlag(false);
    // Waits for the reload request, and clears it for the next step.
    auto reloadRequested = [&settings] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!settings.getReloadCfgFlag() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        bool requested = settings.getReloadCfgFlag();
        settings.setReloadCfgFlag(false);
        return requested;
    };
    size_t mark = world::logMark();
    FileWatcher watcher;
    ASSERT_TRUE(watcher.initialize());
    ASSERT_TRUE(watcher.startMainLoop());
    EXPECT_TRUE(world::waitForLog(
        LOG_ERR, "[ERROR] Файл " + config + " не найден. Не ставим его на контроль", mark));

    std::ofstream(config) << "debug: 0\n";
    EXPECT_TRUE(reloadRequested());
    for (int i = 0; i < 50; ++i) {
        replaceByRename(config, "debug: 1\n");
        ASSERT_TRUE(reloadRequested()) << "replacement " << i;
    }
    appendLine(config, "debug: 0");
    EXPECT_TRUE(reloadRequested());
}

}  // namespace
