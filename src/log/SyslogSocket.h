#pragma once

#include <cstdarg>
#include <string>

// The daemon's own datagram sockets to the system log, /dev/log. A record is formatted as
// syslog(3) formats it ("<priority>Mmm dd hh:mm:ss ident: message", no pid) and sent without
// waiting, or, by the one thread that may wait for the log (KxLogger's writer), waiting for room
// a bounded time: no lock is shared between threads (syslog(3) serialises all of them behind one
// lock and blocks inside it while the log is full, so a low-priority thread stuck there stalls
// the slot loop). Every send names /dev/log anew, so a log daemon that put a new socket there
// (journald restarted) gets the next record.
class SyslogSocket {
public:
    // The datagram of a printf-style record, stamped with the time now.
    static std::string record(int priority, const char* format, va_list args)
        __attribute__((format(printf, 2, 0)));
    // False when the log did not take the record at once.
    static bool send(const std::string& record);
    // Waits up to `timeoutMs` for the log to take the record: for room when it is full, for a
    // socket when there is none. One thread only.
    static bool sendWaiting(const std::string& record, int timeoutMs);
    // Async-signal-safe: `prefix`, then `format` with its one "%d" replaced by `number`.
    static bool sendFromSignalHandler(int priority, const char* prefix, const char* format,
                                      int number);
    // Opens the socket and reads the time zone while that is still safe: call before signal
    // handlers are installed.
    static void prepare();
};
