// The daemon's process-level promises that no system test can provoke, inside a world: the
// fatal-signal handler after a stack overflow, and signals that come when the daemon object is
// gone. (The pid file's handover to a successor: test_lifecycle.py.)
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>

#include "daemon/Daemon.h"
#include "world/WorldLog.h"

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
