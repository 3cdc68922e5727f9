#pragma once

#include <atomic>

#include "config/DaemonConfig.h"
#include "daemon/Pid.h"
#include "daemon/SignalStack.h"
#include "token/kxpkcs11.h"
#include "watch/FileWatcher.h"
#include "watch/TicketsWatcher.h"

// The process: owns the long-lived components, runs the start sequence, the slot loop and
// the stop sequence.
class Daemon {
public:
    static constexpr const char* kPidPath = "/var/run/kxauthd.pid";
    // Slot events taken in one pass of the loop before it sleeps again.
    static constexpr int kMaxEventsPerPass = 64;

    Daemon();
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Runs until SIGINT or SIGTERM; the result is the process exit status.
    int exec();

    // Adds records for tokens not yet in the store and clears isNew on the others. The caller
    // holds the store's mutex.
    void refreshTokensInfo();

    static void signalHandler(int signalNumber);

private:
    void initPid();
    void initSignalHandler();
    // Returns once no signal handler uses this object and none will.
    void releaseSignalHandler();
    // Loads the configuration when a reload is due and the file is there.
    void reloadConfig();
    // Handles the events the library has queued, up to kMaxEventsPerPass.
    void pollSlotEvents(CK_SLOT_ID& slot);
    // One slot event as C_WaitForSlotEvent reported it (any result but CKR_NO_EVENT).
    void onSlotEvent(CK_RV eventResult, CK_SLOT_ID slot);

    std::atomic<bool> stop_;
    // SIGHUP: reload the configuration at the next pass.
    std::atomic<bool> hangup_{false};
    SignalStack signalStack_;
    Pid pid_;
    DaemonConfig config_;
    FileWatcher fileWatcher_;
    TicketsWatcher ticketsWatcher_;
};

// The one daemon, for the signal handler; null before it is built and once it is going away.
extern std::atomic<Daemon*> gDaemon;
