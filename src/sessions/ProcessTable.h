#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sessions/PidFd.h"

// Running processes as /proc shows them. Every listed process is held from the moment its files
// are read, and its parent from just before the process is interrupted, so what was read and
// what is later signalled are the same processes even if their pids are reused in between.
class ProcessTable {
public:
    struct Process {
        int32_t pid = 0;
        int32_t ppid = -1;
        std::string name;     // the command name, first line of comm
        std::string cmdline;  // the command line's start, NUL bytes between arguments
        std::shared_ptr<const PidFd> handle;
        // Held on first need (see holdParent); null when ppid is not above 0 or it has gone.
        mutable std::shared_ptr<const PidFd> parent;
        mutable bool parentLooked = false;
    };

    // Processes whose command name is `name` (all of them for an empty name), in /proc order.
    static std::vector<Process> list(const std::string& name);
    // SIGINT through the held process; false when it has ended. Its parent is held first: once
    // interrupted, the process may end and be reaped, and nothing could tell its parent then.
    static bool interrupt(const Process& process);
    static bool interruptParent(const Process& process);
    // The command name of the held parent; empty when it has ended or cannot be read.
    static std::string parentName(const Process& process);

private:
    static bool read(int32_t pid, int directory, Process& process);
    static const PidFd* holdParent(const Process& process);
};
