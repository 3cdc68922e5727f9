// Runs inside a test world as root: the guard changes owners and modes of files in /tmp. (What
// users' files make of the guard: test_ticket_guard.py, against the running daemon.)
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "TestLog.h"
#include "watch/TicketsWatcher.h"

namespace {

const std::string kTarget = "/etc/kx-tickets-target";

// Owner, group and permission bits, as one comparable text.
std::string stateOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    char text[64];
    std::snprintf(text, sizeof text, "%u:%u %04o", status.st_uid, status.st_gid,
                  status.st_mode & 07777);
    return text;
}

void makeFile(const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
    std::ofstream(path) << "ticket";
    ASSERT_EQ(chown(path.c_str(), uid, gid), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// The guard judged the file as root's cache, then the user swapped the entry.
void handOverAfterSwap(const std::string& name, const std::function<void()>& swap) {
    const std::string path = "/tmp/" + name;
    makeFile(path, 0, 0, 0600);
    struct stat seen {};
    ASSERT_EQ(lstat(path.c_str(), &seen), 0);
    ASSERT_EQ(unlink(path.c_str()), 0);
    swap();
    std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir("/tmp"), closedir);
    TicketsScanner().handOver(dirfd(directory.get()), name, seen, 1000);
}

TEST(TicketsWatcherTest, EntrySwappedAfterItWasJudgedIsLeftAlone) {
    ASSERT_NE(std::getenv("KX_WORLD_LOG"), nullptr) << "run this test inside a world";
    ASSERT_EQ(geteuid(), 0u);
    makeFile(kTarget, 0, 0, 0600);
    size_t mark = testlog::settledMark();
    handOverAfterSwap("krb5cc_1000", [] {
        ASSERT_EQ(symlink(kTarget.c_str(), "/tmp/krb5cc_1000"), 0);  // to a file root owns
    });
    EXPECT_EQ(stateOf(kTarget), "0:0 0600");
    EXPECT_EQ(testlog::countSince(mark, LOG_WARNING,
                                  "[WARNING] Failed to get stat for file /tmp/krb5cc_1000, errno " +
                                      std::to_string(ELOOP) + "."),
              1u);

    // Opening a FIFO without a writer would block for ever.
    handOverAfterSwap("krb5cc_1001", [] { ASSERT_EQ(mkfifo("/tmp/krb5cc_1001", 0600), 0); });
    EXPECT_EQ(stateOf("/tmp/krb5cc_1001"), "0:0 0600");
    // Another file of root's under the same name is judged at the next scan, not now.
    handOverAfterSwap("krb5cc_1002", [] { makeFile("/tmp/krb5cc_1002", 0, 0, 0600); });
    EXPECT_EQ(stateOf("/tmp/krb5cc_1002"), "0:0 0600");
}

}  // namespace
