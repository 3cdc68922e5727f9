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
    // The process id, or -1 when no process could be made; `notExecutable` then tells whether the
    // program itself could not be run.
    static pid_t start(const std::vector<std::string>& argv, int output = -1,
                       bool* notExecutable = nullptr);
    // Waits for a started child; its wait status, or -1 when there is none to wait for.
    static int wait(pid_t pid);
    // start and wait: the wait status, kNotExecutable for a program that cannot be executed, or
    // -1 when no process could be made.
    static int run(const std::vector<std::string>& argv);
};
