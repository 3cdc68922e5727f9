// The daemon's process-level promises that no system test can provoke, inside a world: the
// fatal-signal handler after a stack overflow, and signals that come when the daemon object is
// gone. (The pid file's handover to a successor: test_lifecycle.py.)
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "TestLog.h"
#include "daemon/Daemon.h"

namespace {

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

TEST(LifecycleTest, StackOverflowStillEndsWithStatus3TheLogLineAndNoPidFile) {
    size_t mark = testlog::settledMark();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A small stack overflows sooner; the handler must not need it.
        rlimit stack{256 * 1024, 256 * 1024};
        setrlimit(RLIMIT_STACK, &stack);
        Daemon daemon;
        overflow(1);
        _exit(99);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(access(Daemon::kPidPath, F_OK), -1);
    EXPECT_EQ(testlog::countSince(mark, LOG_ERR, "[ERROR] Критическая ошибка 11"), 1u);
}

TEST(LifecycleTest, SignalsAfterTheDaemonIsGoneTouchNothingOfIt) {
    size_t mark = testlog::settledMark();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        { Daemon daemon; }  // the handlers stay installed
        raise(SIGTERM);
        raise(SIGABRT);
        _exit(99);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(testlog::countSince(mark, LOG_DEBUG, "Получен сигнал остановки демона 15"), 1u);
    EXPECT_EQ(testlog::countSince(mark, LOG_ERR, "[ERROR] Критическая ошибка 6"), 1u);
}

}  // namespace
