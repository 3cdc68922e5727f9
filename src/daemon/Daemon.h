#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "config/DaemonConfig.h"
#include "daemon/ElapsedTimer.h"
#include "daemon/Pid.h"
#include "daemon/SignalStack.h"
#include "daemon/SlotLoop.h"
#include "daemon/StateFile.h"
#include "daemon/StatusReport.h"
#include "removal/TokenRemovals.h"
#include "token/kxpkcs11.h"
#include "watch/FileWatcher.h"
#include "watch/TicketsWatcher.h"

// The process: owns the long-lived components, runs the start sequence, the slot loop and
// the stop sequence.
class Daemon : private SlotLoop::Owner {
public:
    static constexpr const char* kPidPath = "/var/run/kxauthd.pid";
    // What a status report tells of the vendor library and the slot loop.
    using LoopStatus = StatusReport::Loop;

    Daemon();
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Runs until SIGINT or SIGTERM; the result is the process exit status.
    int exec();

    LoopStatus loopStatus() const;
    // How the daemon is doing now; all but the bus's part, which its server knows.
    StatusReport statusReport() const;
    // What daemonStatus answers: the report with the logon setup and the bus's part.
    std::string statusJson(bool busNameHeld) const;

    // Set when the start failed (its reason logged): the exit status to end with, and exec()
    // must not be called.
    std::optional<int> startFailure() const { return startFailure_; }

    static void signalHandler(int signalNumber);

    // The "lock" command; its exit status: 0 when every session was seen locked.
    static int lockAll() { return TokenRemovals::lockAll(); }

private:
    // False, with startFailure_ set, when another instance runs or the pid file cannot be had.
    bool initPid();
    // What runs beside the slot loop, started before it and stopped after it.
    void startServices();
    void stopServices();
    // The slot loop's passes, with reloads and status notices, until SIGINT or SIGTERM.
    void runLoop();
    // What explainTokenRemoval answers: for the token in the slot, or every token without one.
    std::string explain(std::optional<CK_SLOT_ID> slot) const;
    void initSignalHandler();
    // Returns once no signal handler uses this object and none will.
    void releaseSignalHandler();
    // Loads the configuration when a reload is due.
    void reloadConfig();
    // Warns when the configured action needs a token logon that the PAM stack does not name;
    // at the start, also says when the stack is Debian's common-auth.
    void noteLogonSetup(bool starting) const;

    // What the slot loop asks of the daemon (SlotLoop::Owner).
    void beforeEvent() override { reloadConfig(); }
    void removed(CK_SLOT_ID slot, Token::Info info, EarlyLocks early) override {
        removals_.removed(slot, std::move(info), std::move(early));
    }
    void leftUnseen(CK_SLOT_ID slot, Token::Info info) override {
        removals_.leftUnseen(slot, std::move(info));
    }
    void lostTrack(CK_SLOT_ID slot, std::string why) override {
        removals_.lostTrack(slot, std::move(why));
    }
    void statusChanged() override { statusChanged_ = true; }

    void noteRemoval(CK_SLOT_ID slot, StatusReport::Removal removal);
    // Tells the service manager the status line (after `first`, e.g. "READY=1\n"); without
    // `first`, only a line that differs from the one told before. False when nothing was told.
    bool notifyStatus(const char* first = "");

    std::optional<int> startFailure_;
    std::atomic<bool> stop_;
    const int64_t startedAt_;  // wall-clock seconds
    const ElapsedTimer running_;
    // The status line may have changed (tokens, configuration, a removal): the loop tells the
    // service manager, once. Main thread only: the line last told.
    std::atomic<bool> statusChanged_{false};
    std::string statusLine_;
    // SIGHUP: reload the configuration at the next pass.
    std::atomic<bool> hangup_{false};
    SignalStack signalStack_;
    Pid pid_;
    DaemonConfig config_;
    FileWatcher fileWatcher_;
    TicketsWatcher ticketsWatcher_;
    // What the daemon after this one must know of the tokens; before the removals, which hold
    // their tokens in it.
    StateFile stateFile_;
    // Each removal on a thread of its own; the lock requests of every stored token decided ahead.
    TokenRemovals removals_{config_, stateFile_,
                            [this](CK_SLOT_ID slot, RemovalOutcome done) { noteRemoval(slot, done); }};
    SlotLoop slotLoop_{*this, removals_.lockAhead(), stateFile_};
    // What the status tells of the removals, under statusMutex_.
    mutable std::mutex statusMutex_;
    StatusReport::Removal lastRemoval_;
    uint64_t removalsHandled_ = 0;
};

// The one daemon, for the signal handler; null before it is built and once it is going away.
extern std::atomic<Daemon*> gDaemon;
