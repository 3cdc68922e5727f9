#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "daemon/WorkerThread.h"

namespace {

// The name ps shows, a wait that stop() ends, and a stop that leaves nothing running.
TEST(WorkerThreadTest, NamedBodyWaitsUntilStopped) {
    WorkerThread worker("kx-test-worker");
    std::promise<std::string> name;
    bool sawStop = false;
    worker.start([&] {
        char buffer[16] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof(buffer));
        name.set_value(buffer);
        std::unique_lock<std::mutex> lock(worker.mutex());
        worker.wait(lock, [] { return false; });
        sawStop = worker.stopping();
    });
    EXPECT_EQ(name.get_future().get(), "kx-test-worker");
    worker.stop();
    EXPECT_TRUE(sawStop);
    EXPECT_TRUE(worker.stopWithin(std::chrono::milliseconds(0)));  // nothing left to stop
}

// A body stuck in a call that ignores the stop is left behind; it ends later, on its own,
// with the helper it co-owns.
TEST(WorkerThreadTest, StuckBodyIsLeftBehindAndEndsLater) {
    auto worker = std::make_shared<WorkerThread>("kx-test-stuck");
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> ended;
    std::weak_ptr<WorkerThread> watched = worker;
    worker->start([worker, released, &ended] {
        released.wait();
        ended.set_value();
    });
    EXPECT_FALSE(worker->stopWithin(std::chrono::milliseconds(50)));
    worker.reset();
    release.set_value();
    ended.get_future().wait();
    // The helper lives until its thread lets go of it.
    while (!watched.expired()) {
        std::this_thread::yield();
    }
}

TEST(WorkerThreadDeathTest, WhatEscapesTheBodyEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            WorkerThread worker("kx-test-throw");
            worker.start([] { throw std::runtime_error("planted"); });
            worker.stop();
            std::exit(0);
        },
        testing::KilledBySignal(SIGABRT), "");
}

}  // namespace
