#include "base/Command.h"

#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

std::atomic<int> gAbandonEvent{-1};

// Waits until `fd` is readable or the abandon event is set; false when the event is set.
bool readableBeforeAbandon(int fd) {
    int event = gAbandonEvent.load();
    if (event < 0) {
        return true;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {event, POLLIN, 0}};
    while (poll(fds, 2, -1) < 0) {
        if (errno != EINTR) {
            return true;  // then the caller simply blocks as without the event
        }
    }
    return (fds[1].revents & POLLIN) == 0;
}

}  // namespace

const int Command::kNotExecutable = W_EXITCODE(127, 0);

pid_t Command::start(const std::vector<std::string>& argv, int output, int* error) {
    if (argv.empty()) {
        if (error != nullptr) {
            *error = EINVAL;
        }
        return -1;
    }
    std::vector<char*> pointers;
    for (const std::string& arg : argv) {
        pointers.push_back(const_cast<char*>(arg.c_str()));
    }
    pointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (output >= 0) {
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    }
    // The daemon's own descriptors (pid file lock, bus connection, inotify) stay its own.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // libdbus ignores SIGPIPE and the D-Bus thread may block signals; a child must not inherit
    // either.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    // glibc reports a failed exec as the spawn's error; a failed fork shows as a lack of memory
    // or processes.
    const int failed =
        posix_spawnp(&pid, pointers[0], &actions, &attributes, pointers.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != nullptr) {
        *error = failed;
    }
    return failed == 0 ? pid : -1;
}

int Command::wait(pid_t pid) {
    // A pidfd becomes readable when the child ends. Only this waiter reaps the child, so its pid
    // cannot name another process before the kill.
    int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidFd >= 0) {
        if (!readableBeforeAbandon(pidFd)) {
            kill(pid, SIGKILL);
        }
        close(pidFd);
    }
    int status = 0;
    // The daemon's signal handlers run without SA_RESTART.
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

ssize_t Command::read(int fd, void* buffer, size_t size) {
    if (!readableBeforeAbandon(fd)) {
        return 0;
    }
    return ::read(fd, buffer, size);
}

void Command::abandonWhen(int eventFd) {
    gAbandonEvent = eventFd;
}

int Command::run(const std::vector<std::string>& argv) {
    int error = 0;
    pid_t pid = start(argv, -1, &error);
    if (pid < 0) {
        return error == EAGAIN || error == ENOMEM ? -1 : kNotExecutable;
    }
    return wait(pid);
}
