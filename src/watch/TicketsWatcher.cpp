#include "watch/TicketsWatcher.h"

#include <pthread.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>

#include "config/DaemonConfig.h"
#include "daemon/ElapsedTimer.h"
#include "daemon/SignalStack.h"
#include "log/KxLogger.h"

namespace {

// How long to wait before asking again for a configuration that is not there.
constexpr int64_t kNoConfigurationPauseMs = 1000;
// The scanning thread's nice value: the lowest priority.
constexpr int kScanNice = 19;

}  // namespace

TicketsWatcher::~TicketsWatcher() {
    stop();
}

void TicketsWatcher::start() {
    if (thread_.joinable()) {
        return;
    }
    stopping_ = false;
    thread_ = std::thread(&TicketsWatcher::run, this);
}

void TicketsWatcher::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TicketsWatcher::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    changed_.notify_all();
}

void TicketsWatcher::run() {
    pthread_setname_np(pthread_self(), "kx-tickets");  // so ps and /proc tell the thread apart
    SignalStack signalStack;
    // Background work: on a busy machine the slot loop's wake-ups come first, so a /tmp that
    // keeps the scan busy cannot delay a removal.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kScanNice);
    ElapsedTimer sinceScan;
    int64_t lastScanMs = 0;
    bool lastScanFailed = false;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        DaemonConfig* config = DaemonConfig::instance();
        if (config == nullptr) {
            KxLogger::log(LOG_ERR, "DaemonConfig::instance() пуст!");
            waitForChange(lock, kNoConfigurationPauseMs);
            continue;
        }
        // Read anew each time, so a reload takes effect at once (wake()). A /tmp that could
        // not be read is tried again after the short pause.
        int64_t pauseMs = lastScanFailed ? TicketRules::kMinPauseMs
                                         : TicketRules::pauseAfterScanMs(
                                               config->ticketsCheckIntervalMs(), lastScanMs);
        int64_t waitMs = pauseMs - sinceScan.elapsed();
        if (waitMs > 0) {
            waitForChange(lock, waitMs);
            continue;
        }
        lock.unlock();
        ElapsedTimer scanTime;
        lastScanFailed = !scanner_.scan(stopping_);
        lastScanMs = scanTime.elapsed();
        sinceScan.start();
        lock.lock();
    }
}

void TicketsWatcher::waitForChange(std::unique_lock<std::mutex>& lock, int64_t milliseconds) {
    changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                      [this] { return stopping_ || woken_; });
    woken_ = false;
}
