#include "daemon/TokenReadWorker.h"

#include <mutex>

TokenReadWorker::~TokenReadWorker() {
    stop();
}

void TokenReadWorker::start() {
    running_ = true;
    std::shared_ptr<Shared> owned = shared_;
    shared_->worker.start([owned] { run(*owned); });
}

void TokenReadWorker::stop() {
    Shared& shared = *shared_;
    {
        std::lock_guard<std::mutex> lock(shared.worker.mutex());
        shared.requested.clear();
    }
    if (!shared.worker.stopWithin(kStopWait)) {
        // Stuck in a library call: it keeps only `shared` alive, and tells no one when the
        // call ends (so the state file keeps the read as one that never ended).
        std::lock_guard<std::mutex> lock(shared.worker.mutex());
        shared.reading = nullptr;
    }
    running_ = false;
}

void TokenReadWorker::request(CK_SLOT_ID slot, uint64_t ticket,
                              std::shared_ptr<const Token::Info> expected) {
    Shared& shared = *shared_;
    {
        std::lock_guard<std::mutex> lock(shared.worker.mutex());
        shared.requested[slot] = Request{ticket, ++shared.orders, std::move(expected)};
    }
    shared.worker.wake();
}

std::vector<TokenReadWorker::Read> TokenReadWorker::takeFinished() {
    std::vector<Read> reads;
    Shared& shared = *shared_;
    if (!shared.anyFinished.exchange(false)) {
        return reads;
    }
    std::lock_guard<std::mutex> lock(shared.worker.mutex());
    reads.swap(shared.finished);
    return reads;
}

std::optional<TokenReadWorker::InProgress> TokenReadWorker::inProgress() {
    Shared& shared = *shared_;
    std::lock_guard<std::mutex> lock(shared.worker.mutex());
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

void TokenReadWorker::run(Shared& shared) {
    std::unique_lock<std::mutex> lock(shared.worker.mutex());
    for (;;) {
        shared.worker.wait(lock, [&shared] { return !shared.requested.empty(); });
        if (shared.worker.stopping()) {
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
}
