#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sessions/PidFd.h"

// Running processes as /proc shows them. Every listed process, and its parent, is held by a
// pidfd from the moment its files are read, so what was read and what is later signalled are
// the same processes even if their pids are reused in between.
class ProcessTable {
public:
    struct Process {
        int32_t pid = 0;
        int32_t ppid = -1;    // -1 when the status file names no parent
        std::string name;     // first line of comm
        std::string cmdline;  // the whole command line, NUL bytes between arguments
        std::shared_ptr<const PidFd> handle;
        std::shared_ptr<const PidFd> parent;  // null when ppid is not above 0
    };

    // Processes whose command name is `name` (all of them for an empty name), in /proc order.
    static std::vector<Process> list(const std::string& name);
    // SIGINT through the held pidfd; false when the process has ended.
    static bool interrupt(const Process& process);
    static bool interruptParent(const Process& process);
    // The command name of the held parent; empty when it has ended or cannot be read.
    static std::string parentName(const Process& process);

private:
    static bool read(int32_t pid, Process& process);
};
