#include "daemon/Pid.h"

#include <fcntl.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/KxLogger.h"

Pid::Pid(std::string path) : path_(std::move(path)), fd_(-1) {}

Pid::~Pid() {
    unlock();
}

int Pid::lock() {
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        int error = errno;
        KxLogger::log(LOG_ERR, "Ошибка при открытии файла %s, error code: %d, error: %s",
                      path_.c_str(), error, strerror(error));
        return 2;
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if (error == EWOULDBLOCK) {
            KxLogger::log(LOG_WARNING,
                          "Korvex Daemon уже запущен. Может быть запущен только один "
                          "экземпляр демона.");
            return 1;
        }
        KxLogger::log(LOG_ERR, "Ошибка при блокировке файла %s, error code: %d, error: %s",
                      path_.c_str(), error, strerror(error));
        return 2;
    }
    char text[256];
    int length = snprintf(text, sizeof(text), "%d\n", getpid());
    // A stale file from a killed daemon may hold a longer pid: drop its tail.
    (void)ftruncate(fd_, 0);
    (void)pwrite(fd_, text, static_cast<size_t>(length), 0);
    return 0;
}

void Pid::unlock() {
    if (fd_ < 0) {
        return;
    }
    close(fd_);
    unlink(path_.c_str());
    fd_ = -1;
}
