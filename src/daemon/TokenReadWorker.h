#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "daemon/WorkerThread.h"
#include "token/Token.h"

// Reads tokens (Token::tokenInfo) on a thread of its own and hands the records back, so that a
// token slow to read (many or huge certificates, a slow card) never holds up the slot loop and a
// stored token's removal behind it. It only reads: the store stays the loop's.
//
// Each slot has at most one read waiting: a newer request replaces the older, so a token whose
// slot keeps changing cannot fill the queue. First reads of new tokens go before checks of stored
// ones, and every read is bounded in time (kReadBound), so such a token delays another token's
// first read by one read at most.
//
// Why that is safe with the store's lock: this thread never takes the store's mutex; allTokens
// replies, which read the store under the same mutex, see a record only once the loop has put it
// in. The library is shared through LibraryCall.
class TokenReadWorker {
public:
    // Generous for a slow real card (a dozen objects read in one to three seconds), short
    // enough that a token whose read went past it is known to be incomplete soon.
    static constexpr auto kReadBound = std::chrono::seconds(5);
    // A read stuck in a library call longer than this at stop is left behind: the process ends.
    static constexpr auto kStopWait = std::chrono::seconds(1);

    struct Read {
        CK_SLOT_ID slot;
        uint64_t ticket;  // the caller's, to tell a read it still waits for from one it gave up
        Token::Info info;
        bool overran;  // ended after its bound (a library call outlasted it)
    };

    // `reading`, when given, is told on this class's thread the slot of each read before it
    // starts, and nothing once it has ended; never after stop().
    using Reading = std::function<void(std::optional<CK_SLOT_ID>)>;
    explicit TokenReadWorker(Reading reading = nullptr) { shared_->reading = std::move(reading); }
    ~TokenReadWorker();
    TokenReadWorker(const TokenReadWorker&) = delete;
    TokenReadWorker& operator=(const TokenReadWorker&) = delete;

    void start();
    // Ends the thread once the read in progress is done; reads not started are dropped.
    void stop();
    bool running() const { return running_; }

    // Reads the token in the slot; with `expected`, a check of a stored token that stops at the
    // first thing read that is not that token's. Replaces what the slot had waiting.
    void request(CK_SLOT_ID slot, uint64_t ticket,
                 std::shared_ptr<const Token::Info> expected = nullptr);
    // The reads finished since the last call; cheap when there are none.
    std::vector<Read> takeFinished();

    // The read that has started and not ended, and for how long it has run.
    struct InProgress {
        CK_SLOT_ID slot;
        int64_t ms;
    };
    std::optional<InProgress> inProgress();

private:
    struct Request {
        uint64_t ticket = 0;
        uint64_t order = 0;  // first reads by this, then checks by this
        std::shared_ptr<const Token::Info> expected;
    };
    // What the thread shares with this object, the thread itself included; the thread holds it
    // too, so that a thread left behind in a stuck call outlives the object.
    struct Shared {
        // Below the slot loop's nice value (0): on a busy machine the loop's wake-ups, and so
        // the removals, come first; above the ticket guard's (19), since a token's owner waits
        // for its record. Its mutex guards what follows.
        WorkerThread worker{"kx-tokens", 10};
        uint64_t orders = 0;
        std::map<CK_SLOT_ID, Request> requested;
        std::vector<Read> finished;
        std::atomic<bool> anyFinished{false};
        Reading reading;
        std::optional<CK_SLOT_ID> current;
        std::chrono::steady_clock::time_point currentSince;
    };

    static void run(Shared& shared);
    // The next request, first reads first; false when there is none.
    static bool next(Shared& shared, CK_SLOT_ID& slot, Request& request);

    std::atomic<bool> running_{false};
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};
