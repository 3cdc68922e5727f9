#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "watch/BaseFd.h"

// Holds one process, so that signals sent through the holder reach that process or, once it has
// been reaped, none: never another process that got its pid in between. Held by a pidfd; where
// the kernel or a seccomp filter refuses pidfds, by its pid and its start time, which a pid
// reused by another process does not share, checked again before each signal.
class PidFd : public BaseFd {
public:
    explicit PidFd(pid_t pid);

    // Whether the kernel gives pidfds here; asked once for the process (its warning, when not,
    // is logged then): the daemon asks at its start.
    static bool available();

    // False when the process was already gone.
    bool valid() const { return fd_ > 0 || startTime_ != 0; }
    // True until the process has been reaped (a zombie still counts).
    bool alive() const { return sendSignal(0); }
    bool sendSignal(int number) const;

private:
    pid_t pid_;
    uint64_t startTime_ = 0;  // without a pidfd only
};

// What /proc/PID/stat tells of a process.
struct ProcStat {
    std::string name;  // the command name, as its comm file holds it
    int32_t ppid = -1;
    uint64_t startTime = 0;  // clock ticks since boot

    // False when the process has gone or the file cannot be parsed.
    bool read(pid_t pid);
    // The same below the process's /proc directory (see UntrustedFile::readProcessFile).
    bool readIn(int processDirectory);

private:
    bool parse(const std::string& stat);
};
