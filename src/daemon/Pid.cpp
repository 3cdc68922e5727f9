#include "daemon/Pid.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/Common.h"
#include "log/KxLogger.h"

namespace {

// Why the start failed, in the log and, for whoever started the daemon by hand, on the
// terminal.
void tell(int level, const std::string& text) {
    KxLogger::log(level, "%s", text.c_str());
    if (isatty(STDERR_FILENO) == 1) {
        dprintf(STDERR_FILENO, "kxsentrixd: %s\n", text.c_str());
    }
}

}  // namespace

Pid::Pid(std::string path) : path_(std::move(path)), fd_(-1) {}

Pid::~Pid() {
    unlock();
}

int Pid::lock() {
    while (true) {
        int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            int error = errno;
            tell(LOG_ERR, Common::format("Ошибка при открытии файла %s, error code: %d, error: %s",
                                         path_.c_str(), error, strerror(error)));
            return 2;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            close(fd);
            if (error == EWOULDBLOCK) {
                tell(LOG_WARNING,
                     "Korvex Daemon уже запущен. Может быть запущен только один экземпляр "
                     "демона.");
                return 1;
            }
            tell(LOG_ERR,
                 Common::format("Ошибка при блокировке файла %s, error code: %d, error: %s",
                                path_.c_str(), error, strerror(error)));
            return 2;
        }
        // A lock on a file that its last holder has just removed guards nothing: open the
        // path again.
        if (!stillAtPath(fd)) {
            close(fd);
            continue;
        }
        char text[256];
        int length = snprintf(text, sizeof(text), "%d\n", getpid());
        // A stale file from a killed daemon may hold a longer pid: drop its tail.
        (void)ftruncate(fd, 0);
        (void)pwrite(fd, text, static_cast<size_t>(length), 0);
        fd_ = fd;
        return 0;
    }
}

bool Pid::stillAtPath(int fd) const {
    struct stat locked {};
    struct stat named {};
    return fstat(fd, &locked) == 0 && stat(path_.c_str(), &named) == 0 &&
           locked.st_dev == named.st_dev && locked.st_ino == named.st_ino;
}

void Pid::unlock() {
    int fd = fd_.exchange(-1);
    if (fd < 0) {
        return;
    }
    // Removed while still locked: a new instance that opened the file a moment ago finds it
    // gone once it has the lock, and takes a file of its own.
    unlink(path_.c_str());
    close(fd);
}
