#pragma once

#include <string>

// Single-instance lock: an flock()ed pid file that holds the daemon's pid while it runs.
class Pid {
public:
    explicit Pid(std::string path);
    ~Pid();
    Pid(const Pid&) = delete;
    Pid& operator=(const Pid&) = delete;

    // 0: locked and pid written; 1: another process holds the lock; 2: any other error.
    int lock();
    // Releases the lock and removes the file. Async-signal-safe; nothing when no file is held.
    void unlock();

private:
    std::string path_;
    int fd_;
};
