#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "daemon/DataBase.h"
#include "daemon/ElapsedTimer.h"
#include "daemon/StateFile.h"
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
//
// What it knows goes to the state file (StateFile) after every change, so that the daemon after
// it handles what left in between: a saved token no longer in its slot is removed at the start
// (never with a power-off), and a slot whose read never ended is not read again while its token
// stays. Under a service manager's watchdog, the passes are the heartbeat: a library call that
// hangs the loop, or a read that never ends, gets the daemon killed and started again.
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
    // A saved token not seen at the start is looked for once more after this long: a reader may
    // show up late after a start.
    static constexpr int64_t kSavedRecheckMs = 1000;
    // A check of a stored token still going after this long: the slot may hold another token
    // that copies the stored one's header and reads slowly, so the stored token's lock requests
    // leave now rather than when the check ends.
    static constexpr int64_t kCheckLockMs = 500;
    // A pass longer than this is said in the status line.
    static constexpr int64_t kLatePassMs = 3000;
    // A token read still going after this long (four times its bound) is stuck in a library call
    // that will not return: the watchdog is no longer told that the loop lives.
    static constexpr int64_t kReadHungMs = 20000;

    class Owner {
    public:
        virtual ~Owner() = default;
        // A configuration reload that is due, at a slot event.
        virtual void beforeEvent() = 0;
        // The stored token has left; the lock requests decided ahead for it are in `early`.
        virtual void removed(CK_SLOT_ID slot, Token::Info token, EarlyLocks early) = 0;
        // A token of the state file left while no daemon was watching.
        virtual void leftUnseen(CK_SLOT_ID slot, Token::Info token) = 0;
        // Something the loop could not find out may hide a removal: every session is locked,
        // with `why` as the error record.
        virtual void lostTrack(CK_SLOT_ID slot, std::string why) = 0;
        // The service manager's status line may have changed.
        virtual void statusChanged() = 0;
    };

    SlotLoop(Owner& owner, LockAhead& lockAhead, StateFile& state)
        : owner_(owner), lockAhead_(lockAhead), state_(state) {}
    SlotLoop(const SlotLoop&) = delete;
    SlotLoop& operator=(const SlotLoop&) = delete;

    // Takes over the state file, starts the library, scans the slots and settles the saved
    // tokens; false when the library refused (passes retry it).
    bool start();
    // One pass of the loop; `stop` ends a burst of events early.
    void pass(const std::atomic<bool>& stop);
    // Ends the reads; true when the library was finalised (or never started).
    bool finish();

    StatusReport::Loop status() const;
    // The store of the tokens the loop knows, to read through its views.
    const DataBase& store() const { return store_; }

    // Adds records for tokens not yet in the store (once read) and clears isNew on the others.
    void refreshTokensInfo(DataBase::Lock& store);

private:
    enum class ReadKind { First, Check, Reread };
    struct SlotRead {
        uint64_t ticket;
        ReadKind kind;
        bool changed;         // the slot had an event while it was read: look at it again
        uint64_t generation;  // the rescan that asked for it
        int attempt;          // a check that failed is tried once more
        ElapsedTimer since;   // when it was asked for
    };

    void passUnguarded(const std::atomic<bool>& stop);
    void retryLibrary();
    void scanAtStart(bool readHere);
    void loadSaved();
    // After the first listing: the saved tokens no longer in their slots, by two looks, are
    // handed to the owner.
    void checkSaved();
    bool stillThere(const Token::Info& saved);
    // The state file told what the loop knows, when that changed.
    void saveStateIfChanged();
    void saveState(const DataBase::Lock& store);
    // The service manager told, after a pass, that the loop lives (unless a read hangs) and when
    // a pass was late.
    void afterPass(int64_t passMs);
    void storeUnread(DataBase::Lock& store, CK_SLOT_ID slot);
    void pollSlotEvents(const std::atomic<bool>& stop);
    void onSlotEvent(CK_RV eventResult, CK_SLOT_ID slot);
    // What an event means for the slot.
    void onSlotChange(DataBase::Lock& store, CK_SLOT_ID slot, bool present,
                      std::optional<EarlyLocks> early = {});
    // An event in a slot whose token is being read: true when that decides it (the read is
    // marked to be looked at again, or the token left unread and every session is locked).
    bool readInFlightDecides(DataBase::Lock& store, CK_SLOT_ID slot, bool present);
    // Whether the token in the slot is still the stored one, at a glance; its full read is then
    // asked for.
    bool stillThere(DataBase::Lock& store, CK_SLOT_ID slot, const Token::Info& stored);
    // While the listing fails: whether the slot's state before this event is known.
    bool stateKnown(const DataBase::Lock& store, CK_SLOT_ID slot) const;
    void considerSlot(DataBase::Lock& store, CK_SLOT_ID slot);
    void requestRead(DataBase::Lock& store, CK_SLOT_ID slot, ReadKind kind, int attempt = 0);
    void takeFinishedReads();
    void onTokenRead(DataBase::Lock& store, TokenReadWorker::Read read);
    void onCheckRead(DataBase::Lock& store, const SlotRead& request,
                     DataBase::Storage::iterator stored, Token::Info info);
    void rereadIncomplete();
    // Sends the lock requests of stored tokens whose check has gone on past kCheckLockMs.
    void lockSlowChecks();
    void addRecord(DataBase::Lock& store, CK_SLOT_ID slot, Token::Info info, bool isNew);
    void replaceStored(DataBase::Lock& store, CK_SLOT_ID slot, Token::Info info);
    void ejectStored(DataBase::Lock& store, DataBase::Storage::iterator record,
                     std::optional<EarlyLocks> early = {});
    bool listSlots(std::vector<CK_SLOT_ID>& slots);
    void listingFailed(const char* format, unsigned long value);
    // C_WaitForSlotEvent failing: the stored slots are asked one by one; true when any answered.
    bool pollStoredSlots();
    void endWaitFailures();
    void watchBlindness(bool blind);
    void noteStatus(const DataBase::Lock& store);

    Owner& owner_;
    LockAhead& lockAhead_;
    DataBase store_;
    StateFile& state_;
    TokenReadWorker reader_{[this](std::optional<CK_SLOT_ID> slot) { state_.reading(slot); }};
    std::map<CK_SLOT_ID, SlotRead> reading_;  // the one read per slot waited for
    // The lock requests sent for stored tokens whose check was slow, until the check ends: the
    // removal, if it comes to one, takes their answers.
    std::map<CK_SLOT_ID, EarlyLocks> checkLocks_;
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
    CK_SLOT_ID eventSlot_ = 0;   // where C_WaitForSlotEvent leaves the slot
    uint64_t waitFailures_ = 0;  // in a row
    std::optional<ElapsedTimer> blindSince_;
    bool blindLocked_ = false;
    // Saved tokens not yet settled (the state file keeps them meanwhile), and whether that was
    // done.
    std::vector<Token::Info> saved_;
    bool savedChecked_ = false;
    // What the state file was last told from: the store's change count, and saved_'s.
    std::pair<uint64_t, uint64_t> stateSeen_{0, 0};
    uint64_t savedVersion_ = 0;
    uint64_t watchdogUsec_ = 0;  // none without a service manager's watchdog
    ElapsedTimer sinceWatchdog_;
    mutable std::mutex statusMutex_;
    StatusReport::Loop status_;  // a copy for status reports, under statusMutex_
};
