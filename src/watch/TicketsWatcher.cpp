#include "watch/TicketsWatcher.h"

#include <syslog.h>

#include <chrono>

#include "config/DaemonConfig.h"
#include "daemon/ElapsedTimer.h"
#include "log/KxLogger.h"

namespace {

// How long to wait before asking again for a configuration that is not there.
constexpr int64_t kNoConfigurationPauseMs = 1000;

}  // namespace

TicketsWatcher::~TicketsWatcher() {
    stop();
}

void TicketsWatcher::start() {
    worker_.start([this] { run(); });
}

void TicketsWatcher::stop() {
    worker_.stop();
}

void TicketsWatcher::wake() {
    {
        std::lock_guard<std::mutex> lock(worker_.mutex());
        woken_ = true;
    }
    worker_.wake();
}

void TicketsWatcher::run() {
    ElapsedTimer sinceScan;
    int64_t lastScanMs = 0;
    bool lastScanFailed = false;
    std::unique_lock<std::mutex> lock(worker_.mutex());
    while (!worker_.stopping()) {
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
        lastScanFailed = !scanner_.scan(worker_.stopping());
        lastScanMs = scanTime.elapsed();
        sinceScan.start();
        lock.lock();
    }
}

void TicketsWatcher::waitForChange(std::unique_lock<std::mutex>& lock, int64_t milliseconds) {
    worker_.waitFor(lock, std::chrono::milliseconds(milliseconds), [this] { return woken_; });
    woken_ = false;
}
