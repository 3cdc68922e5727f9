#pragma once

#include <cstdint>

#include "watch/BaseFd.h"

// A blocking eventfd counter; one thread writes it to wake and stop another that polls it.
class EventFd : public BaseFd {
public:
    // Check valid(): without a descriptor (errno tells why) the counter does nothing.
    EventFd();
    bool valid() const { return fd_ > 0; }
    // Adds to the counter; false (errno set) when it would overflow, which writes of 1 never do.
    bool write(uint64_t value);
    // Takes the counter and resets it; none (errno set) when it cannot be read.
    bool read(uint64_t& value);
};
