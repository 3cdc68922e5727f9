#pragma once

#include <cstdarg>

// The daemon's own datagram socket to the system log, /dev/log. A record is formatted as
// syslog(3) formats it ("<priority>Mmm dd hh:mm:ss ident: message", no pid) and sent without
// waiting: a log that is full or gone never holds up the sending thread, and no lock is shared
// between threads (syslog(3) serialises all of them behind one lock and blocks inside it while
// the log is full, so a low-priority thread stuck there stalls the slot loop). Every send names
// /dev/log anew, so a log daemon that put a new socket there (journald restarted) gets the next
// record.
class SyslogSocket {
public:
    // The printf-style record; false when the log did not take it at once (it is then lost).
    static bool send(int priority, const char* format, va_list args)
        __attribute__((format(printf, 2, 0)));
    // Async-signal-safe: `prefix`, then `format` with its one "%d" replaced by `number`.
    static bool sendFromSignalHandler(int priority, const char* prefix, const char* format,
                                      int number);
    // Opens the socket and reads the time zone while that is still safe: call before signal
    // handlers are installed.
    static void prepare();
};
