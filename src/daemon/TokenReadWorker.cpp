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
    stopping_ = false;
    running_ = true;
    thread_ = std::thread(&TokenReadWorker::run, this);
}

void TokenReadWorker::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        requested_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    running_ = false;
}

void TokenReadWorker::request(CK_SLOT_ID slot, uint64_t ticket,
                              std::shared_ptr<const Token::Info> expected) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_[slot] = Request{ticket, ++orders_, std::move(expected)};
    }
    changed_.notify_all();
}

std::vector<TokenReadWorker::Read> TokenReadWorker::takeFinished() {
    std::vector<Read> reads;
    if (!anyFinished_.exchange(false)) {
        return reads;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    reads.swap(finished_);
    return reads;
}

std::optional<TokenReadWorker::InProgress> TokenReadWorker::inProgress() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!current_) {
        return std::nullopt;
    }
    return InProgress{*current_, std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - currentSince_)
                                     .count()};
}

bool TokenReadWorker::next(CK_SLOT_ID& slot, Request& request) {
    auto chosen = requested_.end();
    for (auto candidate = requested_.begin(); candidate != requested_.end(); ++candidate) {
        const bool first = candidate->second.expected == nullptr;
        if (chosen == requested_.end()) {
            chosen = candidate;
            continue;
        }
        const bool chosenFirst = chosen->second.expected == nullptr;
        if (first != chosenFirst ? first : candidate->second.order < chosen->second.order) {
            chosen = candidate;
        }
    }
    if (chosen == requested_.end()) {
        return false;
    }
    slot = chosen->first;
    request = std::move(chosen->second);
    requested_.erase(chosen);
    return true;
}

void TokenReadWorker::run() {
    pthread_setname_np(pthread_self(), "kx-tokens");  // so ps and /proc tell the thread apart
    SignalStack signalStack;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kReadNice);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !requested_.empty(); });
        if (stopping_) {
            return;
        }
        CK_SLOT_ID slot = 0;
        Request request;
        next(slot, request);
        current_ = slot;
        currentSince_ = std::chrono::steady_clock::now();
        lock.unlock();
        if (reading_) {
            reading_(slot);
        }
        const auto deadline = currentSince_ + kReadBound;
        Token::Info info = Token::tokenInfo(slot, {deadline, request.expected.get()});
        const bool overran = std::chrono::steady_clock::now() > deadline;
        if (reading_) {
            reading_(std::nullopt);
        }
        lock.lock();
        current_.reset();
        finished_.push_back({slot, request.ticket, std::move(info), overran});
        anyFinished_ = true;
    }
}
