#include "log/LogQueue.h"

#include <algorithm>

size_t LogQueue::add(Record record, bool atFront) {
    bytes_ += record.text.size();
    if (atFront) {
        records_.push_front(std::move(record));
    } else {
        records_.push_back(std::move(record));
    }
    size_t dropped = 0;
    while (records_.size() > maxRecords_ || bytes_ > maxBytes_) {
        auto victim = std::find_if(records_.begin(), records_.end(),
                                   [](const Record& queued) { return queued.user; });
        if (victim == records_.end()) {
            victim = records_.begin();
        }
        bytes_ -= victim->text.size();
        records_.erase(victim);
        ++dropped;
    }
    return dropped;
}

size_t LogQueue::push(Record record) {
    return add(std::move(record), false);
}

size_t LogQueue::putBack(Record record) {
    return add(std::move(record), true);
}

LogQueue::Record LogQueue::take() {
    Record record = std::move(records_.front());
    records_.pop_front();
    bytes_ -= record.text.size();
    return record;
}
