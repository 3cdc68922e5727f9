#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "daemon/SavedTokens.h"
#include "daemon/WorkerThread.h"

// The file in which the daemon keeps what it knows of the inserted tokens for the daemon after
// it (a restart, an upgrade, a crash, a kill by the service manager's watchdog), so that a token
// pulled meanwhile is still acted on. Root's alone: the directory 0700, the file 0600, replaced
// whole (AtomicFile). /run is emptied by a reboot, so nothing outlives the machine's run.
//
// Written on a thread of its own, so that the slot loop only hands over a copy of what it knows
// and never waits for the file. A removed token stays in the file, held, until its removal's
// lock requests have gone out: a crash in between leaves it to the next daemon.
class StateFile {
public:
    static constexpr const char* kDirectory = "/run/kxsentrix";
    static constexpr const char* kPath = "/run/kxsentrix/tokens";

    enum class Found {
        Nothing,  // no file: the first start since the machine booted
        Saved,
        Refused,  // not to be trusted (logged, and removed): what was inserted is unknown
    };
    // Before start(): also makes the directory.
    Found load(SavedTokens& saved);

    StateFile() = default;
    ~StateFile() { stop(); }
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    void start();
    // Writes what is still pending, then ends the thread.
    void stop();

    // What the slot loop knows now; replaces what it handed over before.
    void save(SavedTokens known);
    // The slot of the token read now, if any: a read that never ends (a library call that
    // hangs) is not tried by the next daemon.
    void reading(std::optional<CK_SLOT_ID> slot);
    // A token whose removal has yet to send its lock requests; in the file until released.
    uint64_t hold(const Token::Info& token);
    void release(uint64_t held);

private:
    void run();
    bool write(const SavedTokens& state, bool wasFailing);

    WorkerThread worker_{"kx-state"};  // its mutex guards what follows, up to failing_
    bool dirty_ = false;
    std::optional<SavedTokens> known_;  // none until the loop first hands it over
    std::map<uint64_t, Token::Info> held_;
    std::optional<CK_SLOT_ID> reading_;
    uint64_t holds_ = 0;
    bool failing_ = false;  // the last write failed: logged once, until one succeeds again
    // The directory is root's, 0700: written by load() before the thread starts, then the
    // thread's alone.
    bool directoryTrusted_ = false;
};
