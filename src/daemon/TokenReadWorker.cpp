#include "daemon/TokenReadWorker.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include "daemon/SignalStack.h"

namespace {

// Below the slot loop's (0): on a busy machine the loop's wake-ups, and so the removals, come
// first; above the ticket guard's (19), since a token's owner waits for its record.
constexpr int kReadNice = 10;

}  // namespace

TokenReadWorker::~TokenReadWorker() {
    stop();
}

void TokenReadWorker::start() {
    if (thread_.joinable()) {
        return;
    }
    shared_->stopping = false;
    shared_->ended = false;
    running_ = true;
    thread_ = std::thread(&TokenReadWorker::run, shared_);
}

void TokenReadWorker::stop() {
    Shared& shared = *shared_;
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.stopping = true;
    shared.requested.clear();
    shared.changed.notify_all();
    if (thread_.joinable()) {
        if (shared.changed.wait_for(lock, kStopWait, [&shared] { return shared.ended; })) {
            lock.unlock();
            thread_.join();
        } else {
            // Stuck in a library call: it keeps only `shared` alive, and tells no one when the
            // call ends (so the state file keeps the read as one that never ended).
            shared.reading = nullptr;
            thread_.detach();
        }
    }
    running_ = false;
}

void TokenReadWorker::request(CK_SLOT_ID slot, uint64_t ticket,
                              std::shared_ptr<const Token::Info> expected) {
    Shared& shared = *shared_;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.requested[slot] = Request{ticket, ++shared.orders, std::move(expected)};
    }
    shared.changed.notify_all();
}

std::vector<TokenReadWorker::Read> TokenReadWorker::takeFinished() {
    std::vector<Read> reads;
    Shared& shared = *shared_;
    if (!shared.anyFinished.exchange(false)) {
        return reads;
    }
    std::lock_guard<std::mutex> lock(shared.mutex);
    reads.swap(shared.finished);
    return reads;
}

std::optional<TokenReadWorker::InProgress> TokenReadWorker::inProgress() {
    Shared& shared = *shared_;
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (!shared.current) {
        return std::nullopt;
    }
    return InProgress{*shared.current, std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - shared.currentSince)
                                           .count()};
}

bool TokenReadWorker::next(Shared& shared, CK_SLOT_ID& slot, Request& request) {
    auto chosen = shared.requested.end();
    for (auto candidate = shared.requested.begin(); candidate != shared.requested.end();
         ++candidate) {
        if (chosen == shared.requested.end()) {
            chosen = candidate;
            continue;
        }
        const bool first = candidate->second.expected == nullptr;
        const bool chosenFirst = chosen->second.expected == nullptr;
        if (first != chosenFirst ? first : candidate->second.order < chosen->second.order) {
            chosen = candidate;
        }
    }
    if (chosen == shared.requested.end()) {
        return false;
    }
    slot = chosen->first;
    request = std::move(chosen->second);
    shared.requested.erase(chosen);
    return true;
}

void TokenReadWorker::run(std::shared_ptr<Shared> owned) {
    pthread_setname_np(pthread_self(), "kx-tokens");  // so ps and /proc tell the thread apart
    SignalStack signalStack;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kReadNice);
    Shared& shared = *owned;
    std::unique_lock<std::mutex> lock(shared.mutex);
    for (;;) {
        shared.changed.wait(lock,
                            [&shared] { return shared.stopping || !shared.requested.empty(); });
        if (shared.stopping) {
            break;
        }
        CK_SLOT_ID slot = 0;
        Request request;
        next(shared, slot, request);
        shared.current = slot;
        shared.currentSince = std::chrono::steady_clock::now();
        if (shared.reading) {
            shared.reading(slot);  // before the first call, which may never return
        }
        lock.unlock();
        const auto deadline = shared.currentSince + kReadBound;
        Token::Info info = Token::tokenInfo(slot, {deadline, request.expected.get()});
        const bool overran = std::chrono::steady_clock::now() > deadline;
        lock.lock();
        shared.current.reset();
        if (shared.reading) {
            shared.reading(std::nullopt);
        }
        shared.finished.push_back({slot, request.ticket, std::move(info), overran});
        shared.anyFinished = true;
    }
    shared.ended = true;
    shared.changed.notify_all();
}
