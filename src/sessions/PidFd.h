#pragma once

#include <sys/types.h>

#include "watch/BaseFd.h"

// Holds one process by a pidfd. Signals sent through it reach that process or, once it has
// been reaped, none: never another process that got its pid in between.
class PidFd : public BaseFd {
public:
    explicit PidFd(pid_t pid);

    // False when the process was already gone.
    bool valid() const { return fd_ > 0; }
    // True until the process has been reaped (a zombie still counts).
    bool alive() const { return sendSignal(0); }
    bool sendSignal(int number) const;
};
