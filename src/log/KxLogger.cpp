#include "log/KxLogger.h"

#include <pthread.h>
#include <signal.h>
#include <syslog.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/Common.h"
#include "log/LogLimiter.h"
#include "log/LogQueue.h"
#include "log/SyslogSocket.h"

namespace {

constexpr const char* kDroppedRecords = "Системный журнал не принял %llu записей";
constexpr const char* kHeldBackRecords =
    "Пропущено %llu записей журнала, вызванных пользователем с uid %u";

// A user sustains 4 records a second and a summary every 5 s, after a quiet spell a burst of 20;
// and as much again through the bucket that all users share for what cannot be tied to one
// (kUnknownUser): at most about 8.4 records a second in all. A table of 1024 users is more than
// a machine has sessions.
constexpr LogLimiter::Settings kUserLimits{250, 20, 5000, 1024};
// Records waiting for the log: a removal with its debug lines is a few dozen.
constexpr size_t kQueuedRecords = 2048;
constexpr size_t kQueuedBytes = size_t{1} << 20;
// How long one send of the writer waits for the log to take a record; it tries again after.
constexpr int kSendWaitMs = 100;
// How long the end of the process waits for the records still queued.
constexpr auto kExitFlush = std::chrono::seconds(1);

// Records lost and not yet reported; lock-free, so a signal handler may count too. The totals
// since the start are for status reports.
std::atomic<uint64_t> gDropped{0};
std::atomic<uint64_t> gDroppedTotal{0};
std::atomic<uint64_t> gHeldBackTotal{0};

void countDropped(uint64_t records = 1) {
    if (records != 0) {
        gDropped.fetch_add(records, std::memory_order_relaxed);
        gDroppedTotal.fetch_add(records, std::memory_order_relaxed);
    }
}

std::mutex gLimiterMutex;  // only the threads that log for users take it, never across a send

LogLimiter& limiter() {
    static LogLimiter instance(kUserLimits);
    return instance;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The records the log did not take at once, and the thread that sends them as it takes them.
// Nobody waits for the writer but flush(); the mutex is never held across a send.
struct Writer {
    std::mutex mutex;
    std::condition_variable queued;   // a record to send
    std::condition_variable drained;  // nothing left to send
    LogQueue queue{kQueuedRecords, kQueuedBytes};
    bool sending = false;  // the writer holds a record taken from the queue
    bool started = false;
    bool failed = false;  // no thread could be started: records the log refuses are lost
};

// Never destroyed: the writer outlives the static objects at the end of the process.
Writer& writer() {
    static Writer* instance = new Writer;
    return *instance;
}

std::string recordOf(int level, const char* format, va_list args) {
    // The prefix becomes part of the format, so the caller's arguments fill it unchanged.
    std::string combined = KxLogger::prefix(level);
    combined += format;
    return SyslogSocket::record(LOG_LOCAL7 | level, combined.c_str(), args);
}

std::string formatted(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string formatted(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string record = recordOf(level, format, args);
    va_end(args);
    return record;
}

void writeQueued();

// Queues a record for the writer; the caller holds the writer's mutex.
void enqueue(Writer& w, LogQueue::Record record) {
    if (!w.started && !w.failed) {
        try {
            std::thread(writeQueued).detach();
            w.started = true;
            // A stop (or the lock command) waits a moment for what the log has not taken.
            std::atexit([] { KxLogger::flush(std::chrono::steady_clock::now() + kExitFlush); });
        } catch (const std::system_error&) {
            w.failed = true;
        }
    }
    if (w.failed) {
        countDropped();
        return;
    }
    countDropped(w.queue.push(std::move(record)));
    w.queued.notify_one();
}

// The count of records lost, once the log takes records again; the caller holds the mutex.
void queueDroppedCount(Writer& w) {
    unsigned long long dropped = gDropped.exchange(0, std::memory_order_relaxed);
    if (dropped != 0) {
        enqueue(w, {formatted(LOG_WARNING, kDroppedRecords, dropped), false});
    }
}

void blockStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stops, signal);
    }
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

// Sends the queued records oldest first. Those users cause get one try; the daemon's own wait
// until the log takes them.
void writeQueued() {
    blockStopSignals();  // the other threads take them; a send here waits without interruption
    pthread_setname_np(pthread_self(), "kx-log");
    Writer& w = writer();
    std::unique_lock<std::mutex> lock(w.mutex);
    for (;;) {
        w.queued.wait(lock, [&w] { return !w.queue.empty(); });
        LogQueue::Record record = w.queue.take();
        w.sending = true;
        lock.unlock();
        bool sent = record.user ? SyslogSocket::send(record.text)
                                : SyslogSocket::sendWaiting(record.text, kSendWaitMs);
        lock.lock();
        w.sending = false;
        if (!sent && !record.user) {
            countDropped(w.queue.putBack(std::move(record)));
            continue;
        }
        if (!sent) {
            countDropped();
        } else if (gDropped.load(std::memory_order_relaxed) != 0) {
            queueDroppedCount(w);
        }
        if (w.queue.empty()) {
            w.drained.notify_all();
        }
    }
}

// Sends the record at once when nothing waits before it and the log takes it; otherwise queues
// it, unless a user caused it and the log refused it: that one is lost and counted.
void deliver(std::string record, bool user) {
    Writer& w = writer();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (!w.queue.empty() || w.sending) {
            enqueue(w, {std::move(record), user});  // after the records before it
            return;
        }
    }
    bool sent = SyslogSocket::send(record);
    if (sent && gDropped.load(std::memory_order_relaxed) == 0) {
        return;
    }
    if (!sent && user) {
        countDropped();
        return;
    }
    std::lock_guard<std::mutex> lock(w.mutex);
    if (sent) {
        queueDroppedCount(w);  // the log takes records again: say how many it missed
    } else {
        enqueue(w, {std::move(record), false});
    }
}

void logTo(bool user, int level, const char* format, va_list args) {
    deliver(recordOf(level, format, args), user);
}

void logCounted(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logCounted(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    logTo(true, level, format, args);
    va_end(args);
}

void logSummaries(const std::vector<LogLimiter::Summary>& summaries) {
    for (const LogLimiter::Summary& summary : summaries) {
        logCounted(LOG_WARNING, kHeldBackRecords, static_cast<unsigned long long>(summary.heldBack),
                   summary.source);
    }
}

// The user a CallerScope of this thread charges; 0 (root, who is not limited) without one.
thread_local uid_t tCaller = 0;
// What this thread logs goes there while a Capture lives.
thread_local KxLogger::Sink* tSink = nullptr;

bool captured(int level, const char* format, va_list args) {
    if (tSink == nullptr) {
        return false;
    }
    tSink->record(level, Common::vformat(format, args));
    return true;
}

}  // namespace

const char* KxLogger::prefix(int level) {
    switch (level) {
        case LOG_ERR:
            return "[ERROR] ";
        case LOG_WARNING:
            return "[WARNING] ";
        case LOG_INFO:
            return "[INFO] ";
        default:
            return "";
    }
}

void KxLogger::log(int level, const char* format, ...) {
    // What a caller's scope would limit is the user's; errors never are.
    const bool user = tCaller != 0 && level != LOG_ERR;
    va_list args;
    va_start(args, format);
    if (!captured(level, format, args) && (!user || admit(tCaller))) {
        logTo(user, level, format, args);
    }
    va_end(args);
}

void KxLogger::write(int level, const std::string& text) {
    deliver(formatted(level, "%s", text.c_str()), false);  // a sink's records are the daemon's
}

KxLogger::Capture::Capture(Sink& sink) : previous_(tSink) {
    tSink = &sink;
}

KxLogger::Capture::~Capture() {
    tSink = previous_;
}

KxLogger::Sink& KxLogger::discard() {
    class Discard : public Sink {
        void record(int, std::string) override {}
    };
    static Discard instance;
    return instance;
}

bool KxLogger::admit(uid_t user, unsigned records) {
    int64_t now = nowMs();
    std::vector<LogLimiter::Summary> summaries;
    bool admitted = false;
    {
        std::lock_guard<std::mutex> lock(gLimiterMutex);
        summaries = limiter().due(now);
        admitted = limiter().admit(static_cast<uint32_t>(user), now, records);
    }
    if (!admitted) {
        gHeldBackTotal.fetch_add(records, std::memory_order_relaxed);
    }
    logSummaries(summaries);
    return admitted;
}

void KxLogger::logFrom(uid_t user, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (!captured(level, format, args) && admit(user)) {
        logTo(true, level, format, args);
    }
    va_end(args);
}

KxLogger::CallerScope::CallerScope(uid_t user) : previous_(tCaller) {
    tCaller = user;
}

KxLogger::CallerScope::~CallerScope() {
    tCaller = previous_;
}

void KxLogger::summariseHeldBack() {
    std::vector<LogLimiter::Summary> summaries;
    {
        std::lock_guard<std::mutex> lock(gLimiterMutex);
        summaries = limiter().due(nowMs());
    }
    logSummaries(summaries);
}

KxLogger::Counts KxLogger::counts() {
    return {gDroppedTotal.load(std::memory_order_relaxed),
            gHeldBackTotal.load(std::memory_order_relaxed)};
}

bool KxLogger::flush(std::chrono::steady_clock::time_point deadline) {
    Writer& w = writer();
    std::unique_lock<std::mutex> lock(w.mutex);
    return w.drained.wait_until(lock, deadline, [&w] { return w.queue.empty() && !w.sending; });
}

void KxLogger::prepareSignalSafeLogging() {
    SyslogSocket::prepare();
}

void KxLogger::logFromSignalHandler(int level, const char* format, int number) {
    if (!SyslogSocket::sendFromSignalHandler(LOG_LOCAL7 | level, prefix(level), format, number)) {
        countDropped();
    }
}
