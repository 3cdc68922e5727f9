#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "token/Token.h"

// Reads newly seen tokens (Token::tokenInfo) on a thread of its own and hands the records back,
// so that a token slow to read (many or huge certificates, a slow card) never holds up the slot
// loop and a stored token's removal behind it. It only reads: the store stays the loop's.
//
// Why that is safe with the store's lock: this thread never takes the store's mutex, so the
// loop's removal handling, which holds it for seconds, neither waits for a read nor is waited
// for by one; allTokens replies, which read the store under the same mutex, see a record only
// once the loop has put it in. The two threads share the vendor library through LibraryCall,
// one call at a time, so the loop waits for at most one call of a read, never for the whole.
class TokenReadWorker {
public:
    struct Read {
        CK_SLOT_ID slot;
        uint64_t ticket;  // the caller's, to tell a read it still waits for from one it gave up
        Token::Info info;
    };

    TokenReadWorker() = default;
    ~TokenReadWorker();
    TokenReadWorker(const TokenReadWorker&) = delete;
    TokenReadWorker& operator=(const TokenReadWorker&) = delete;

    void start();
    // Ends the thread once the read in progress is done; reads not started are dropped.
    void stop();
    bool running() const { return running_; }

    // Reads the token in the slot, after the reads asked for before, or (first) before them.
    void request(CK_SLOT_ID slot, uint64_t ticket, bool first = false);
    // The reads finished since the last call, in the order asked; cheap when there are none.
    std::vector<Read> takeFinished();

private:
    void run();

    std::thread thread_;
    std::atomic<bool> running_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::deque<std::pair<CK_SLOT_ID, uint64_t>> requested_;
    std::vector<Read> finished_;
    std::atomic<bool> anyFinished_{false};
};
