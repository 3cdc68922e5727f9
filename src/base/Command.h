#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Runs a program without a shell: each argument reaches it as one argv entry, whatever it holds,
// so no caller's text can end its place and start another command.
class Command {
public:
    // The wait status of a program that could not be executed (not found, not executable): exit
    // code 127, as a shell answers for it.
    static const int kNotExecutable;

    // Starts argv[0], looked up in PATH, with standard output on `output` (inherited when -1).
    // The child gets no other descriptor of the daemon beyond 0 to 2 and default signal handling.
    // The process id, or -1 when no process could be made, with the reason in `error` (EAGAIN
    // or ENOMEM: no process; otherwise the program itself could not be run).
    static pid_t start(const std::vector<std::string>& argv, int output = -1,
                       int* error = nullptr);
    // Waits for a started child; its wait status, or -1 when there is none to wait for. A child
    // still running once the abandon event is set is killed first.
    static int wait(pid_t pid);
    // Reads a started child's output like read(2); 0, as at its end, once the abandon event is
    // set.
    static ssize_t read(int fd, void* buffer, size_t size);
    // start and wait: the wait status, kNotExecutable for a program that cannot be executed, or
    // -1 when no process could be made.
    static int run(const std::vector<std::string>& argv);

    // From now on, commands are abandoned while `eventFd` is readable (-1: never): the D-Bus
    // server's stop event, so that no command a client asked for holds up the daemon's stop.
    static void abandonWhen(int eventFd);
};
