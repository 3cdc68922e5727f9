#include "daemon/WorkerThread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>

#include "daemon/SignalStack.h"
#include "log/KxLogger.h"

namespace {

// Long enough for the log to take the record that says why the process ends.
constexpr auto kLastRecordWait = std::chrono::seconds(1);

[[noreturn]] void escaped(const char* thread, const char* what) {
    KxLogger::log(LOG_ERR, "Необработанное исключение в потоке %s: %s", thread, what);
    KxLogger::flush(std::chrono::steady_clock::now() + kLastRecordWait);
    std::abort();  // the fatal-signal handler ends the process, as for an uncaught exception
}

}  // namespace

void WorkerThread::start(std::function<void()> body) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) {
        return;
    }
    stopping_ = false;
    ended_ = false;
    // The closure, and with it what the body owns, goes only after run() is done with this.
    thread_ = std::thread([this, body = std::move(body)] { run(body); });
}

void WorkerThread::stop() {
    requestStop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool WorkerThread::stopWithin(std::chrono::milliseconds bound) {
    requestStop();
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
        return true;
    }
    if (!changed_.wait_for(lock, bound, [this] { return ended_; })) {
        thread_.detach();
        return false;
    }
    lock.unlock();
    thread_.join();
    return true;
}

void WorkerThread::requestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

void WorkerThread::run(const std::function<void()>& body) {
    pthread_setname_np(pthread_self(), name_);
    SignalStack signalStack;  // outside the catch: the abort's handler may still need it
    if (nice_ != 0) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice_);
    }
    try {
        body();
    } catch (const std::exception& error) {
        escaped(name_, error.what());
    } catch (...) {
        escaped(name_, "неизвестная ошибка");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}
