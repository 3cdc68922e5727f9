// Runs inside a test world: the watcher watches the daemon's real configuration path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "config/DaemonConfig.h"
#include "watch/FileWatcher.h"
#include "world/WorldLog.h"

namespace {

const std::string kDirectory = "/usr/local/etc/kxsentrix";
const std::string kConfig = DaemonConfig::default_config_path;

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::trunc) << content;
}

void appendLine(const std::string& path, const std::string& line) {
    std::ofstream(path, std::ios::app) << line << "\n";
}

bool waitForReloadFlag(const DaemonConfig& config) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!config.getReloadCfgFlag()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Nothing should come: give the watcher thread ample time to react anyway.
void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

size_t countLog(int level, const std::string& text, size_t mark) {
    auto records = world::logRecords();
    size_t count = 0;
    for (size_t i = mark; i < records.size(); ++i) {
        count += records[i].level == level && records[i].text == text;
    }
    return count;
}

class FileWatcherTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("KX_WORLD_LOG"), nullptr) << "run this test inside a world";
        std::system(("mkdir -p " + kDirectory).c_str());
        writeFile(kConfig, "{\n\"debug\": true\n}\n");
        config_ = std::make_unique<DaemonConfig>(kConfig);
        config_->setReloadCfgFlag(false);
    }

    void TearDown() override {
        watcher_.reset();
        config_.reset();
        std::remove(kConfig.c_str());
    }

    void startWatcher() {
        ASSERT_TRUE(watcher_->initialize());
        ASSERT_TRUE(watcher_->startMainLoop());
    }

    std::unique_ptr<DaemonConfig> config_;
    std::unique_ptr<FileWatcher> watcher_ = std::make_unique<FileWatcher>();
};

TEST_F(FileWatcherTest, AppendingRequestsReloadEachTime) {
    startWatcher();
    size_t mark = world::logMark();
    appendLine(kConfig, "\"forceSessionMatch\": 1");
    EXPECT_TRUE(waitForReloadFlag(*config_));
    EXPECT_TRUE(world::waitForLog(LOG_DEBUG, "Модификация файла " + kConfig, mark));

    config_->setReloadCfgFlag(false);
    appendLine(kConfig, "\"debug\": 0");
    EXPECT_TRUE(waitForReloadFlag(*config_));
}

TEST_F(FileWatcherTest, RenameReplaceRequestsReloadAndTheNewFileStaysWatched) {
    startWatcher();
    size_t mark = world::logMark();
    // What sed -i and most editors do: write a sibling, rename it over the original.
    writeFile(kConfig + ".new", "actionOnTokenDisabled: 1\n");
    ASSERT_EQ(std::rename((kConfig + ".new").c_str(), kConfig.c_str()), 0);
    EXPECT_TRUE(waitForReloadFlag(*config_));
    EXPECT_TRUE(
        world::waitForLog(LOG_INFO, "[INFO] Файл " + kConfig + " поставлен на контроль", mark));

    config_->setReloadCfgFlag(false);
    appendLine(kConfig, "debug: 0");
    EXPECT_TRUE(waitForReloadFlag(*config_));
}

TEST_F(FileWatcherTest, DeletionAndOtherFilesRequestNothing) {
    startWatcher();
    writeFile(kDirectory + "/kxsentrixd.conf.bak", "debug: 0\n");
    appendLine(kDirectory + "/kxsentrixd.conf.bak", "debug: 1");
    ASSERT_EQ(std::remove(kConfig.c_str()), 0);
    settle();
    EXPECT_FALSE(config_->getReloadCfgFlag());
    std::remove((kDirectory + "/kxsentrixd.conf.bak").c_str());
}

TEST_F(FileWatcherTest, FileMissingAtStartIsWatchedOnceCreated) {
    std::remove(kConfig.c_str());
    size_t mark = world::logMark();
    startWatcher();
    EXPECT_TRUE(world::waitForLog(
        LOG_ERR, "[ERROR] Файл " + kConfig + " не найден. Не ставим его на контроль", mark));

    writeFile(kConfig, "debug: 0\n");
    EXPECT_TRUE(waitForReloadFlag(*config_));
    config_->setReloadCfgFlag(false);
    appendLine(kConfig, "debug: 1");
    EXPECT_TRUE(waitForReloadFlag(*config_));
}

TEST_F(FileWatcherTest, DirectoryMissingAtStartMeansNoWatchAtAll) {
    std::system(("rm -rf " + kDirectory).c_str());
    startWatcher();
    std::system(("mkdir -p " + kDirectory).c_str());
    writeFile(kConfig, "debug: 0\n");
    appendLine(kConfig, "debug: 1");
    settle();
    EXPECT_FALSE(config_->getReloadCfgFlag());
}

TEST_F(FileWatcherTest, StopJoinsTheThreadOnceAndStartNeedsInitialize) {
    EXPECT_FALSE(watcher_->startMainLoop());
    EXPECT_TRUE(world::waitForLog(
        LOG_WARNING, "[WARNING] Попытка запуска непроиницилизированного FileWatcher-а"));

    startWatcher();
    size_t mark = world::logMark();
    watcher_->stopMainLoop();
    EXPECT_TRUE(world::waitForLog(LOG_DEBUG, "Остановка основного цикла FileWatcher", mark));
    EXPECT_TRUE(world::waitForLog(LOG_DEBUG, "Поток FileWatcher завершен", mark));

    // A stopped watcher no longer requests anything.
    appendLine(kConfig, "debug: 0");
    settle();
    EXPECT_FALSE(config_->getReloadCfgFlag());

    // A second stop and the destructor find nothing to stop.
    size_t afterStop = world::logMark();
    watcher_->stopMainLoop();
    watcher_.reset();
    settle();
    EXPECT_EQ(countLog(LOG_DEBUG, "Остановка основного цикла FileWatcher", afterStop), 0u);
    EXPECT_EQ(countLog(LOG_DEBUG, "Ожидание завершения потока FileWatcher", afterStop), 0u);
}

}  // namespace
