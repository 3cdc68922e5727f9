#pragma once

#include <cstdint>

#include "watch/BaseFd.h"

// A blocking eventfd counter; the main thread writes it to wake and stop the watcher thread.
class EventFd : public BaseFd {
public:
    // Throws std::runtime_error when the descriptor cannot be created.
    EventFd();

    // Adds to the counter; throws std::runtime_error on failure.
    void write(uint64_t value);
    // Returns the counter and resets it; throws std::runtime_error on failure.
    uint64_t read();
};
