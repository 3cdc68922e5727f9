#pragma once

#include <atomic>

#include "daemon/Pid.h"

// The process: owns the long-lived components, runs the start sequence, the slot loop and
// the stop sequence.
class Daemon {
public:
    static constexpr const char* kPidPath = "/var/run/kxauthd.pid";

    Daemon();
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Runs until SIGINT or SIGTERM; the result is the process exit status.
    int exec();

    static void signalHandler(int signalNumber);

private:
    void initPid();
    void initSignalHandler();

    std::atomic<bool> stop_;
    Pid pid_;
};

// The one daemon, for the signal handler.
extern Daemon* gDaemon;
