#pragma once

#include <cstddef>

// An alternate stack for the signal handlers of the thread that builds it. A thread whose stack
// has overflowed has no room left to run a handler on; with this one the fatal-signal handler
// still logs, removes the pid file and ends the process with its own status.
class SignalStack {
public:
    SignalStack();
    // Gives the stack back when it is still the building thread's; otherwise the memory stays,
    // since a thread may still run a handler on it.
    ~SignalStack();
    SignalStack(const SignalStack&) = delete;
    SignalStack& operator=(const SignalStack&) = delete;

private:
    void* memory_ = nullptr;
    size_t size_ = 0;
};
