#pragma once

#include <cstddef>
#include <deque>
#include <string>

// The records waiting for the system log to take them, oldest first, within a bound of records
// and bytes. What users cause (KxLogger::logFrom, a caller's scope) is worth less than the
// daemon's own records (removals, locks, errors): when the queue is full, the oldest of theirs
// goes first, and only when none is left the oldest record of all. Only decides; KxLogger sends.
class LogQueue {
public:
    struct Record {
        std::string text;  // the datagram, as SyslogSocket sends it
        bool user = false;
    };

    LogQueue(size_t maxRecords, size_t maxBytes) : maxRecords_(maxRecords), maxBytes_(maxBytes) {}

    // Adds a record at the end; returns how many records went to make room for it.
    size_t push(Record record);
    // Puts back at the front a record taken and not sent (the next to try again); the bound
    // holds as for push.
    size_t putBack(Record record);
    // The oldest record, taken out: the queue must not be empty.
    Record take();
    bool empty() const { return records_.empty(); }
    size_t size() const { return records_.size(); }

private:
    size_t add(Record record, bool atFront);

    size_t maxRecords_;
    size_t maxBytes_;
    size_t bytes_ = 0;
    std::deque<Record> records_;
};
