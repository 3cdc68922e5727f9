#pragma once

#include <chrono>
#include <cstdint>

// Steady-clock stopwatch in whole milliseconds.
class ElapsedTimer {
public:
    ElapsedTimer() { start(); }
    void start();
    int64_t elapsed() const;

private:
    std::chrono::steady_clock::time_point start_;
};
