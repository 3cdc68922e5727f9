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

void TokenReadWorker::request(CK_SLOT_ID slot, uint64_t ticket, bool first) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (first) {
            requested_.emplace_front(slot, ticket);
        } else {
            requested_.emplace_back(slot, ticket);
        }
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
        auto [slot, ticket] = requested_.front();
        requested_.pop_front();
        lock.unlock();
        Read read{slot, ticket, Token::tokenInfo(slot)};
        lock.lock();
        finished_.push_back(std::move(read));
        anyFinished_ = true;
    }
}
