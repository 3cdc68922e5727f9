#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "daemon/DataBase.h"
#include "daemon/ElapsedTimer.h"
#include "daemon/StatusReport.h"
#include "daemon/TokenReadWorker.h"
#include "removal/LockAhead.h"
#include "token/kxpkcs11.h"

// The slot loop: the vendor library's start, slot events, rescans and the token store's changes.
// Every pass runs on the main thread; tokens are read on the reader's thread and stored here in
// the pass after their read ends; a removal is handed to the owner at its event, with the lock
// requests decided ahead already sent. So a token slow to read holds up neither another token's
// removal nor the loop, and the store changes only on this thread, under its mutex.
//
// What the loop cannot find out counts as a token's removal that locks every session: a token
// that leaves before it was read whole, an event on a slot whose earlier state is unknown while
// the slot list cannot be had, a loop blind for longer than kBlindMs, a pass that fails.
class SlotLoop {
public:
    // Slot events taken in one pass before the loop sleeps again.
    static constexpr int kMaxEventsPerPass = 64;
    // A slot list longer than this is a fault of the library, not a machine's readers.
    static constexpr CK_ULONG kMaxSlots = 4096;
    static constexpr int64_t kLibraryRetryMs = 1000;
    // An incomplete token is read again this often while present.
    static constexpr int64_t kIncompleteRereadMs = 30000;
    // Blind for this long (no library, or no slot event nor slot check answered), every session
    // is locked once: a removal may have gone unseen.
    static constexpr int64_t kBlindMs = 10000;

    class Owner {
    public:
        virtual ~Owner() = default;
        // A configuration reload that is due, at a slot event.
        virtual void beforeEvent() = 0;
        // The stored token has left; the lock requests decided ahead for it are in `early`.
        virtual void removed(CK_SLOT_ID slot, Token::Info token, EarlyLocks early) = 0;
        // Something the loop could not find out may hide a removal: every session is locked,
        // with `why` as the error record.
        virtual void lostTrack(CK_SLOT_ID slot, std::string why) = 0;
        // The service manager's status line may have changed.
        virtual void statusChanged() = 0;
    };

    SlotLoop(Owner& owner, LockAhead& lockAhead) : owner_(owner), lockAhead_(lockAhead) {}
    SlotLoop(const SlotLoop&) = delete;
    SlotLoop& operator=(const SlotLoop&) = delete;

    // Starts the library and scans the slots; false when the library refused (passes retry it).
    bool start();
    // One pass of the loop; `stop` ends a burst of events early.
    void pass(const std::atomic<bool>& stop);
    // Ends the reads; true when the library was finalised (or never started).
    bool finish();

    StatusReport::Loop status() const;

    // Adds records for tokens not yet in the store (once read) and clears isNew on the others.
    // The caller holds the store's mutex.
    void refreshTokensInfo();

private:
    enum class ReadKind { First, Check, Reread };
    struct SlotRead {
        uint64_t ticket;
        ReadKind kind;
        bool changed;         // the slot had an event while it was read: look at it again
        uint64_t generation;  // the rescan that asked for it
        int attempt;          // a check that failed is tried once more
    };

    void passUnguarded(const std::atomic<bool>& stop);
    void retryLibrary();
    void scanAtStart();
    void pollSlotEvents(const std::atomic<bool>& stop);
    void onSlotEvent(CK_RV eventResult, CK_SLOT_ID slot);
    // What an event means for the slot. The caller holds the store's mutex; so for the rest.
    void onSlotChange(CK_SLOT_ID slot, bool present, std::optional<EarlyLocks> early = {});
    // While the listing fails: whether the slot's state before this event is known.
    bool stateKnown(CK_SLOT_ID slot) const;
    void considerSlot(CK_SLOT_ID slot);
    void requestRead(CK_SLOT_ID slot, ReadKind kind, int attempt = 0);
    void takeFinishedReads();
    void onTokenRead(TokenReadWorker::Read read);
    void onCheckRead(const SlotRead& request, DataBase::Storage::iterator stored,
                     Token::Info info);
    void rereadIncomplete();
    void addRecord(CK_SLOT_ID slot, Token::Info info, bool isNew);
    void replaceStored(CK_SLOT_ID slot, Token::Info info);
    void ejectStored(DataBase::Storage::iterator record, std::optional<EarlyLocks> early = {});
    bool listSlots(std::vector<CK_SLOT_ID>& slots);
    void listingFailed(const char* format, unsigned long value);
    // C_WaitForSlotEvent failing: the stored slots are asked one by one; true when any answered.
    bool pollStoredSlots();
    void endWaitFailures();
    void watchBlindness(bool blind);
    void noteStatus();

    Owner& owner_;
    LockAhead& lockAhead_;
    TokenReadWorker reader_;
    std::map<CK_SLOT_ID, SlotRead> reading_;  // the one read per slot waited for
    uint64_t tickets_ = 0;
    // Slots that held a storage-only device when last looked at: a slot changes only with an
    // event of its own, so rescans need not ask again.
    std::set<CK_SLOT_ID> storageOnly_;
    // Slots whose token is not read again until it leaves (see onTokenRead).
    std::set<CK_SLOT_ID> unreadable_;
    std::map<CK_SLOT_ID, ElapsedTimer> incomplete_;  // since each incomplete token's last read
    // What the slots held: the slots of the last listing that succeeded (none before one), and
    // those seen empty at an event since.
    std::optional<std::set<CK_SLOT_ID>> lastListing_;
    std::set<CK_SLOT_ID> seenEmpty_;
    uint64_t generation_ = 0;  // counts the rescans; a record is new only when the latest asked
    bool libraryReady_ = false;
    ElapsedTimer sinceLibraryTried_;
    bool listingFailed_ = false;
    uint64_t slotsListed_ = 0;
    CK_SLOT_ID eventSlot_ = 0;  // where C_WaitForSlotEvent leaves the slot
    uint64_t waitFailures_ = 0;  // in a row
    std::optional<ElapsedTimer> blindSince_;
    bool blindLocked_ = false;
    mutable std::mutex statusMutex_;
    StatusReport::Loop status_;  // a copy for status reports, under statusMutex_
};
