#pragma once

// The one logging call of the daemon: every record goes to the system log with
// facility LOG_LOCAL7, the level as severity and a level prefix in front of the format.
class KxLogger {
public:
    static void log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Captures what the signal-handler path needs (program name, time zone offset) while it
    // is still safe to ask for it. Call before installing signal handlers.
    static void prepareSignalSafeLogging();

    // Async-signal-safe variant for signal handlers: sends the format, its one "%d" replaced by
    // the decimal number, straight to /dev/log, without syslog(), malloc or stdio.
    static void logFromSignalHandler(int level, const char* format, int number);

    static const char* prefix(int level);
};
