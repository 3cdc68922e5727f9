// The inotify table inside a test world. (The watcher on the running daemon's configuration file
// appended to, replaced, deleted and created again: test_config_reload.py.)
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "watch/InotifyFd.h"

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

}  // namespace
