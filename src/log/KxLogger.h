#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

// The one logging call of the daemon: every record goes to the system log with
// facility LOG_LOCAL7, the level as severity and a level prefix in front of the format.
// Logging never waits for the log (SyslogSocket). A record it cannot take at once waits in a
// bounded queue, in order, for a thread of the logger's own that sends it as soon as the log
// has room, however long anyone else keeps the log full; records users cause (see admit) get
// one try instead and are counted when it fails, and they go first when the queue is full. What
// is lost is counted, and the count goes out in a later record.
class KxLogger {
public:
    static void log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

    // For records that a local user can cause at will (a name in /tmp, a call on the bus):
    // true while `user` stays within a few records a second; what is held back is counted and
    // reported in one summary record per user and interval, so no user can flood the log or
    // push the log daemon's own rate limit onto the removal records. `records` are the records
    // the caller is about to log together. Removal, lock, power-off and error records never ask.
    static bool admit(uid_t user, unsigned records = 1);
    // log() when admit(user) allows it.
    static void logFrom(uid_t user, int level, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // While it lives, what its thread logs below error level counts as caused by `user`, as with
    // logFrom: the D-Bus worker holds one for each call it takes and serves, so neither its
    // per-call records nor a method's let a user flood the log. Root (0) is not limited.
    class CallerScope {
    public:
        explicit CallerScope(uid_t user);
        ~CallerScope();
        CallerScope(const CallerScope&) = delete;
        CallerScope& operator=(const CallerScope&) = delete;

    private:
        uid_t previous_;
    };
    // Sends the summaries that are due for users who have gone quiet since. The ticket guard's
    // thread calls it now and then; any admit() does it too.
    static void summariseHeldBack();
    // The source for what cannot be tied to a user (a name gone before its owner was read).
    static constexpr uid_t kUnknownUser = static_cast<uid_t>(-1);

    // Records lost since the start: those the log did not take, and those held back from users
    // (reported in summaries instead).
    struct Counts {
        uint64_t dropped = 0;
        uint64_t heldBack = 0;
    };
    static Counts counts();

    // Waits until the log has taken every queued record, or until `deadline`: for the end of
    // the process (a power-off) and tests. False when records were still waiting.
    static bool flush(std::chrono::steady_clock::time_point deadline);

    // Captures what the signal-handler path needs (the socket, the time zone offset) while it
    // is still safe to ask for it. Call before installing signal handlers.
    static void prepareSignalSafeLogging();

    // Async-signal-safe variant for signal handlers: sends the format, its one "%d" replaced by
    // the decimal number, straight to /dev/log, without syslog(), malloc or stdio.
    static void logFromSignalHandler(int level, const char* format, int number);

    static const char* prefix(int level);

    // Where what one thread logs goes while a Capture of that thread lives, instead of the log:
    // a removal decided ahead of time or explained writes nothing, and a removal carried out
    // gets its records in the order they were made, to be written as one group.
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void record(int level, std::string text) = 0;
    };
    class Capture {
    public:
        explicit Capture(Sink& sink);
        ~Capture();
        Capture(const Capture&) = delete;
        Capture& operator=(const Capture&) = delete;

    private:
        Sink* previous_;
    };
    // A sink that keeps nothing.
    static Sink& discard();
    // Writes a record a sink took, to the log itself.
    static void write(int level, const std::string& text);
};
