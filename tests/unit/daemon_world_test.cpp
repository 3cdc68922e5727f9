// The daemon's adapters that need real system paths, inside a world (one for the whole binary):
// - the inotify table (the watcher on the running daemon's configuration file appended to,
//   replaced, deleted and created again: test_config_reload.py);
// - the ticket guard changing owners and modes of files in /tmp (what users' files make of the
//   guard: test_ticket_guard.py, against the running daemon);
// - the method server on the world's system bus with a handler made for the test: result types
//   no handler of the daemon returns, and handler exceptions (arguments, calls it does not serve,
//   stopping while clients call, the bus policy: test_dbus_service.py, through the daemon);
// - the daemon's process-level promises no system test can provoke: the fatal-signal handler
//   after a stack overflow, and signals that come when the daemon object is gone (the pid
//   file's handover to a successor: test_lifecycle.py).
#include <dbus/dbus.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "daemon/Daemon.h"
#include "dbus/DBusServer.h"
#include "watch/InotifyFd.h"
#include "watch/TicketsWatcher.h"
#include "world/WorldLog.h"

namespace {

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
    std::ofstream(path, std::ios::app) << "c\n";
    inotify.onFileChanged();
    EXPECT_EQ(modifications, 1);
    ASSERT_TRUE(inotify.rmPath(path));
    std::ofstream(path, std::ios::app) << "d\n";
    inotify.onFileChanged();
    EXPECT_EQ(modifications, 1);
    EXPECT_EQ(inotify.watchCount(), 0u);
}

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
    ASSERT_EQ(geteuid(), 0u);
    makeFile(kTarget, 0, 0, 0600);
    size_t mark = world::settledMark();
    handOverAfterSwap("krb5cc_1000", [] {
        ASSERT_EQ(symlink(kTarget.c_str(), "/tmp/krb5cc_1000"), 0);  // to a file root owns
    });
    EXPECT_EQ(stateOf(kTarget), "0:0 0600");
    EXPECT_EQ(world::countSince(mark, LOG_WARNING,
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

const char kName[] = "kx.daemon.server";

// The reply to a call of method, as its signature and, for a byte, its value: "y 255".
std::string reply(DBusConnection* client, const char* method) {
    DBusMessage* call = dbus_message_new_method_call(kName, "/any/path", kName, method);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(client, call, 5000, nullptr);
    dbus_message_unref(call);
    if (reply == nullptr) {
        return "no reply";
    }
    std::string text = dbus_message_get_signature(reply);
    uint8_t byte = 0;
    if (text == "y" &&
        dbus_message_get_args(reply, nullptr, DBUS_TYPE_BYTE, &byte, DBUS_TYPE_INVALID)) {
        text += " " + std::to_string(byte);
    }
    dbus_message_unref(reply);
    return text;
}

TEST(DBusServerTest, ResultsGoOutByTheirExactTypeAndExceptionsWithoutArguments) {
    common::any result;
    DBusServer server(kName);
    // Answers result, or throws what it holds: a std::runtime_error, or 42 for a char.
    server.registerHandler("result", [&result](DBusServer::Arguments&) {
        if (const auto* error = common::any_cast<std::runtime_error>(&result)) {
            throw *error;
        }
        if (common::any_cast<char>(&result) != nullptr) {
            throw 42;
        }
        return result;
    });
    size_t mark = world::logMark();
    server.start();
    ASSERT_TRUE(world::waitForLog(
        LOG_INFO, "[INFO] Установлено соединение с dbus. Запущен интерфейс kx.daemon.server.",
        mark));
    DBusConnection* client = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);

    const std::string warning = "[WARNING] dbus: ";
    const struct {
        common::any value;
        std::string reply;
        std::string warning;
    } cases[] = {
        {common::any(), "", ""},
        {int8_t{-1}, "y 255", ""},  // the signed byte goes out as D-Bus's byte
        {int16_t{-3}, "n", ""},
        {uint64_t{8}, "t", ""},
        {2.5, "d", ""},
        {1.5f, "",
         warning + "Не поддерживаемый тип возвращаемого значения f обработчика вызова result"},
        // libdbus would abort on text that is not UTF-8; the bus would drop the daemon for a
        // message beyond its limit.
        {std::string("\xff"), "",
         warning + "Не удалось в ответ на вызов result записать код завершения типа 115"},
        {std::string(DBusServer::kMaxReplyBytes + 1, 'x'), "",
         warning + "Не удалось в ответ на вызов result записать код завершения типа 115"},
        {std::runtime_error("no such slot"), "",
         warning + "Вызов обработчика метода result завершился с исключением no such slot"},
        {'x', "", warning + "Вызов обработчика метода result завершился с исключением"},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.warning + expected.reply);
        result = expected.value;
        mark = world::settledMark();
        EXPECT_EQ(reply(client, "result"), expected.reply);
        EXPECT_EQ(world::textsSince(mark, LOG_WARNING),
                  expected.warning.empty() ? std::vector<std::string>{}
                                           : std::vector<std::string>{expected.warning});
    }
    dbus_connection_close(client);
    dbus_connection_unref(client);
}

volatile int gKeepGoing = 1;

// Deep enough for any stack: each frame holds a page that cannot be optimised away.
int overflow(int depth) {
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    if (gKeepGoing == 0) {
        return frame[0];
    }
    return overflow(depth + 1) + frame[0];
}

// Runs body in a child process; its exit status, -1 when a signal ended it.
int statusOf(const std::function<void()>& body) {
    pid_t child = fork();
    if (child == 0) {
        body();
        _exit(99);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LifecycleTest, StackOverflowStillEndsWithStatus3TheLogLineAndNoPidFile) {
    size_t mark = world::settledMark();
    EXPECT_EQ(statusOf([] {
                  // A small stack overflows sooner; the handler must not need it.
                  rlimit stack{256 * 1024, 256 * 1024};
                  setrlimit(RLIMIT_STACK, &stack);
                  Daemon daemon;
                  overflow(1);
              }),
              3);
    EXPECT_EQ(access(Daemon::kPidPath, F_OK), -1);
    EXPECT_EQ(world::countSince(mark, LOG_ERR, "[ERROR] Критическая ошибка 11"), 1u);
}

TEST(LifecycleTest, SignalsAfterTheDaemonIsGoneTouchNothingOfIt) {
    size_t mark = world::settledMark();
    EXPECT_EQ(statusOf([] {
                  { Daemon daemon; }  // the handlers stay installed
                  raise(SIGTERM);
                  raise(SIGABRT);
              }),
              3);
    EXPECT_EQ(world::countSince(mark, LOG_DEBUG, "Получен сигнал остановки демона 15"), 1u);
    EXPECT_EQ(world::countSince(mark, LOG_ERR, "[ERROR] Критическая ошибка 6"), 1u);
}

}  // namespace
