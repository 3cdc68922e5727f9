#include "sessions/PidFd.h"

#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/KxLogger.h"
#include "base/UntrustedFile.h"

namespace {

// The line is some 300 bytes; the bound only keeps a reader from trusting that.
constexpr size_t kStatLimit = 4096;

// Through syscall(): glibc 2.36 declares its wrappers without C linkage for C++.
int pidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int pidfdSendSignal(int fd, int number) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, fd, number, nullptr, 0));
}

// Whether both pidfd calls work here, tried once on the daemon itself. Older kernels lack them
// (ENOSYS) and seccomp filters may refuse them (EPERM); the process list must not go empty then.
bool pidfdsWork() {
    static const bool work = [] {
        int fd = pidfdOpen(getpid());
        int error = errno;
        if (fd >= 0) {
            if (pidfdSendSignal(fd, 0) != 0) {
                error = errno;
                close(fd);
                fd = -1;
            } else {
                close(fd);
            }
        }
        if (fd < 0) {
            KxLogger::log(LOG_WARNING,
                          "pidfd недоступен (%s), сигналы процессам отправляются через kill с "
                          "проверкой времени их запуска",
                          std::strerror(error));
            return false;
        }
        return true;
    }();
    return work;
}

}  // namespace

bool PidFd::available() {
    return pidfdsWork();
}

PidFd::PidFd(pid_t pid) : pid_(pid) {
    if (available()) {
        fd_ = std::max(pidfdOpen(pid), 0);
        if (fd_ > 0 || errno == ESRCH) {
            return;
        }
    }
    ProcStat stat;
    startTime_ = stat.read(pid) ? stat.startTime : 0;
}

bool PidFd::sendSignal(int number) const {
    if (fd_ > 0) {
        return pidfdSendSignal(fd_, number) == 0;
    }
    // Between this look and kill() the process would have to end, be reaped and have its pid
    // given to a new process within the same clock tick of its start time.
    ProcStat stat;
    return startTime_ != 0 && stat.read(pid_) && stat.startTime == startTime_ &&
           kill(pid_, number) == 0;
}

bool ProcStat::read(pid_t pid) {
    std::string stat;
    return pid > 0 &&
           UntrustedFile::read("/proc/" + std::to_string(pid) + "/stat", stat, kStatLimit) &&
           parse(stat);
}

bool ProcStat::readIn(int processDirectory) {
    std::string stat;
    return UntrustedFile::readProcessFile(processDirectory, "stat", stat, kStatLimit) &&
           parse(stat);
}

bool ProcStat::parse(const std::string& stat) {
    // The command name in parentheses may hold blanks and parentheses itself: the fields are
    // counted from after its last ")". The parent is the 4th field, the start time the 22nd.
    const size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return false;
    }
    name = stat.substr(open + 1, close - open - 1);
    size_t field = close;
    for (int number = 3; number <= 22 && field != std::string::npos; ++number) {
        field = stat.find(' ', field + 1);
        if (field != std::string::npos && number == 4) {
            ppid = static_cast<int32_t>(std::strtol(stat.c_str() + field + 1, nullptr, 10));
        }
    }
    if (field == std::string::npos) {
        return false;
    }
    startTime = std::strtoull(stat.c_str() + field + 1, nullptr, 10);
    return true;
}
