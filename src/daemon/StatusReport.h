#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/DaemonConfig.h"
#include "removal/Removal.h"
#include "token/kxpkcs11.h"

// How the daemon is doing, as the daemonStatus method answers it (JSON) and, in one line, as the
// service manager shows it (STATUS=). Made of plain values read from the parts that own them;
// wall-clock times in seconds since the epoch, 0 for never.
struct StatusReport {
    // What the handling of a removal did.
    using Removal = RemovalOutcome;

    // The vendor library and the slot loop.
    struct Loop {
        bool libraryReady = false;  // C_Initialize succeeded; otherwise it is retried
        int64_t librarySince = 0;   // when it succeeded, or first failed
        CK_RV libraryError = CKR_OK;
        // It would not lock for threaded callers, so its calls go one at a time.
        bool librarySerialised = false;
        bool listingFailed = false;  // the last C_GetSlotList failed; retried at every pass
        uint64_t slotsListed = 0;    // slots with a token in the last listing that succeeded
        uint64_t tokensStored = 0;
        uint64_t readsInProgress = 0;
        uint64_t incompleteTokens = 0;   // stored, but not read whole: read again
        bool slotEventsFailing = false;  // C_WaitForSlotEvent fails: slots are asked one by one
        bool blind = false;  // nothing seen of the slots for long: every session was locked
        // The last pass of the loop that took longer than a few seconds; at 0: none.
        int64_t latePassAt = 0;
        int64_t latePassMs = 0;
        // A token read that does not end (a library call that hangs): its slot.
        std::optional<CK_SLOT_ID> hungRead;
        int64_t lastEventAt = 0;
        CK_SLOT_ID lastEventSlot = 0;
        CK_RV lastEventResult = CKR_OK;
        CK_FLAGS lastEventFlags = 0;
        Removal lastRemoval;  // at 0: none yet
        uint64_t removalsHandled = 0;  // since the start, each once its handling ended
    };

    std::string version;
    int64_t startedAt = 0;
    int64_t uptimeSeconds = 0;
    Loop loop;
    DaemonConfig::Status config;
    bool configActedOn = true;  // DaemonConfig::exists(): else a removal powers off
    std::string authType;       // its name in the log
    std::string authFile;       // the PAM file it was read from; empty when there is none
    bool authRead = true;       // false: that file could not be read (a removal locks all)
    std::string busName;
    bool busNameHeld = false;
    uint64_t logDropped = 0;   // records the log did not take since the start
    uint64_t logHeldBack = 0;  // users' records held back for summaries since the start

    // Every field, for clients (docs/dbus-api.md).
    std::string json() const;
    // The library, the tokens, the configuration, the last removal and lost records: what
    // `systemctl status` shows.
    std::string line() const;

    // Why a removal set to lock or power off touches no session when the PAM stack names no
    // token logon: `file` is the one read (empty: neither exists).
    static std::string logonNotConfigured(const std::string& file,
                                          DaemonConfig::TokenEjectActionSystem action);
};
