#include "watch/EventFd.h"

#include <sys/eventfd.h>
#include <unistd.h>

EventFd::EventFd() : BaseFd(eventfd(0, EFD_CLOEXEC)) {}

bool EventFd::write(uint64_t value) {
    return ::write(fd_, &value, sizeof(value)) == static_cast<ssize_t>(sizeof(value));
}

bool EventFd::read(uint64_t& value) {
    return ::read(fd_, &value, sizeof(value)) == static_cast<ssize_t>(sizeof(value));
}
