#include "log/KxLogger.h"

#include <syslog.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "log/Common.h"
#include "log/LogLimiter.h"
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

// Records the log did not take and not yet reported; lock-free, so a signal handler may count
// too. The totals since the start are for status reports.
std::atomic<uint64_t> gDropped{0};
std::atomic<uint64_t> gDroppedTotal{0};
std::atomic<uint64_t> gHeldBackTotal{0};

void countDropped() {
    gDropped.fetch_add(1, std::memory_order_relaxed);
    gDroppedTotal.fetch_add(1, std::memory_order_relaxed);
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

bool send(int level, const char* format, va_list args) {
    // The prefix becomes part of the format, so the caller's arguments fill it unchanged.
    std::string combined = KxLogger::prefix(level);
    combined += format;
    return SyslogSocket::send(LOG_LOCAL7 | level, combined.c_str(), args);
}

bool sendOne(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool sendOne(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool sent = send(level, format, args);
    va_end(args);
    return sent;
}

void logAndCount(int level, const char* format, va_list args) {
    if (!send(level, format, args)) {
        countDropped();
        return;
    }
    // The log takes records again: say how many it missed.
    if (gDropped.load(std::memory_order_relaxed) == 0) {
        return;
    }
    unsigned long long dropped = gDropped.exchange(0, std::memory_order_relaxed);
    if (dropped != 0 && !sendOne(LOG_WARNING, kDroppedRecords, dropped)) {
        gDropped.fetch_add(dropped, std::memory_order_relaxed);
    }
}

void logCounted(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logCounted(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    logAndCount(level, format, args);
    va_end(args);
}

void logSummaries(const std::vector<LogLimiter::Summary>& summaries) {
    for (const LogLimiter::Summary& summary : summaries) {
        logCounted(LOG_WARNING, kHeldBackRecords,
                   static_cast<unsigned long long>(summary.heldBack), summary.source);
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
    va_list args;
    va_start(args, format);
    if (!captured(level, format, args) &&
        (tCaller == 0 || level == LOG_ERR || admit(tCaller))) {
        logAndCount(level, format, args);
    }
    va_end(args);
}

void KxLogger::write(int level, const std::string& text) {
    logCounted(level, "%s", text.c_str());
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
        logAndCount(level, format, args);
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

void KxLogger::prepareSignalSafeLogging() {
    SyslogSocket::prepare();
}

void KxLogger::logFromSignalHandler(int level, const char* format, int number) {
    if (!SyslogSocket::sendFromSignalHandler(LOG_LOCAL7 | level, prefix(level), format, number)) {
        countDropped();
    }
}
