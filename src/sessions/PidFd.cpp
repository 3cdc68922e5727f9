#include "sessions/PidFd.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>

// Through syscall(): glibc 2.36 declares its wrappers without C linkage for C++.

PidFd::PidFd(pid_t pid) : BaseFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}

bool PidFd::sendSignal(int number) const {
    return valid() && syscall(SYS_pidfd_send_signal, fd_, number, nullptr, 0) == 0;
}
