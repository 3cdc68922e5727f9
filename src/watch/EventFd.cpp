#include "watch/EventFd.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>

EventFd::EventFd() {
    fd_ = eventfd(0, EFD_CLOEXEC);
    if (fd_ < 0) {
        fd_ = 0;
        throw std::runtime_error("Не удалось создать дескриптор eventfd");
    }
}

void EventFd::write(uint64_t value) {
    if (::write(fd_, &value, sizeof(value)) != static_cast<ssize_t>(sizeof(value))) {
        throw std::runtime_error("Не удалось записать в event_fd");
    }
}

uint64_t EventFd::read() {
    uint64_t value = 0;
    if (::read(fd_, &value, sizeof(value)) != static_cast<ssize_t>(sizeof(value))) {
        throw std::runtime_error("Ошибка чтения из eventfd. errno: " + std::to_string(errno));
    }
    return value;
}
