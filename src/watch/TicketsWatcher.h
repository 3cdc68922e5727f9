#pragma once

#include <cstdint>
#include <mutex>

#include "daemon/WorkerThread.h"
#include "watch/TicketsScanner.h"

// Gives Kerberos ticket caches in /tmp ("krb5cc_<uid>...") back to the user named by the uid
// (TicketsScanner), at the configured interval, on a thread of its own: however much a user
// puts into /tmp, the slot loop does not wait for the scan.
class TicketsWatcher {
public:
    TicketsWatcher() = default;
    ~TicketsWatcher();
    TicketsWatcher(const TicketsWatcher&) = delete;
    TicketsWatcher& operator=(const TicketsWatcher&) = delete;

    // Starts the thread; the first scan comes one interval later. Harmless when running.
    void start();
    // Ends the thread; a scan in progress ends at its next entry. Harmless when not running.
    void stop();
    // The configuration was loaded again: the next scan is timed by the interval now in force,
    // still measured from the end of the previous scan.
    void wake();

    // One scan now, on the calling thread; not while the thread runs.
    bool scan() { return scanner_.scan(worker_.stopping()); }

private:
    void run();
    // Until the time has passed, stop() or wake().
    void waitForChange(std::unique_lock<std::mutex>& lock, int64_t milliseconds);

    TicketsScanner scanner_;
    // Background work at the lowest priority: on a busy machine the slot loop's wake-ups come
    // first, so a /tmp that keeps the scan busy cannot delay a removal. Its mutex guards woken_.
    WorkerThread worker_{"kx-tickets", 19};
    bool woken_ = false;
};
