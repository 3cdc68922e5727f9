#pragma once

#include <atomic>
#include <string>

// Single-instance lock: an flock()ed pid file that holds the daemon's pid while it runs.
class Pid {
public:
    explicit Pid(std::string path);
    ~Pid();
    Pid(const Pid&) = delete;
    Pid& operator=(const Pid&) = delete;

    // 0: locked and pid written; 1: another process holds the lock; 2: any other error. On 1
    // and 2 nothing is held, so unlock() can never remove the file of the instance that runs.
    int lock();
    // Removes the file and releases the lock. Async-signal-safe and safe to call from two
    // threads at once; nothing when no file is held.
    void unlock();

private:
    // True when the path still names the locked file: the previous holder may have removed it
    // between our open and our lock.
    bool stillAtPath(int fd) const;

    std::string path_;
    std::atomic<int> fd_;
};
