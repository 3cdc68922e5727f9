#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daemon/ElapsedTimer.h"
#include "removal/Removal.h"

// The lock requests that left at the moment of a removal, before anything was decided (see
// LockAhead): the removal takes their answers instead of asking again.
struct EarlyLocks {
    std::map<std::string, UserSessions::Request> sessions;  // by session id
    UserSessions::Request all;                              // LockSessions
    ElapsedTimer since;                                     // when they left

    bool empty() const { return sessions.empty() && !all.sent(); }
};

// The actions of a removal on the machine itself: logind's lock calls and their wait, the MATE
// screen saver, signals to the remote-desktop clients, the power-off.
class SystemActions : public RemovalActions {
public:
    // `stopping`, when set, cuts a wait short: the daemon is stopping, so what did not report
    // locked is taken for not locked.
    explicit SystemActions(EarlyLocks early = {}, const std::atomic<bool>* stopping = nullptr);

    // `sent` runs once, when the removal's lock requests have gone out: before the wait for the
    // sessions, or with the request to lock every session.
    void whenRequestsSent(std::function<void()> sent) { sent_ = std::move(sent); }

    void note(const RemovalPlan::Record& record) override;
    void lock(const Session& session) override;
    void lockEverything() override;
    bool awaitLocked(const std::vector<Session>& sessions) override;
    std::optional<UserSessions::Kind> kindOf(const Session& session) override;
    bool terminate(const Session& session) override;
    std::vector<ProcessTable::Process> remoteClients() override;
    void interrupt(const RemovalPlan::Client& client) override;
    void prepareForPowerOff() override;
    void powerOff() override;

    // True when every session reported locked within the limit (the first look is after a
    // pause), or false once `stopping` (if given) turns true.
    static bool waitUntilLocked(const std::vector<Session>& sessions, int64_t limitMs,
                                const std::atomic<bool>* stopping = nullptr);
    // The wait of a removal: logs how long the sessions took since `sinceRequests`, or that
    // they did not report locked in time.
    static bool confirmLocked(const std::vector<Session>& sessions,
                              const ElapsedTimer& sinceRequests,
                              const std::atomic<bool>* stopping = nullptr);
    static bool isMateRunning();

private:
    class Flush;

    // Logind's answer to LockSessions: the one sent ahead, else asked now.
    bool lockAll(int timeoutMs);
    void requestsSent();

    EarlyLocks early_;
    const std::atomic<bool>* stopping_;
    std::optional<ElapsedTimer> sinceRequests_;  // from the first lock request
    std::chrono::steady_clock::time_point powerOffDeadline_;
    std::shared_ptr<Flush> flush_;
    std::function<void()> sent_;
};
