#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Runs each removal on a thread of its own, so that a removal waiting for its sessions to lock
// holds up neither the slot loop nor another removal's requests. What a removal logs goes out
// as one group, in the order the removals started: a group is written as it comes while the
// removals before it have ended, and held until they have otherwise.
class RemovalRunner {
public:
    RemovalRunner();
    ~RemovalRunner();
    RemovalRunner(const RemovalRunner&) = delete;
    RemovalRunner& operator=(const RemovalRunner&) = delete;

    void run(std::function<void()> removal);
    // Cuts the removals' waits short (stopping() turns true) and waits for them to end.
    void stop();
    // Set once the daemon stops: a removal's wait ends at once.
    const std::atomic<bool>& stopping() const { return stopping_; }

private:
    class Groups;
    struct Running {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void reapEnded();

    std::shared_ptr<Groups> groups_;
    std::mutex mutex_;
    std::list<Running> running_;
    std::atomic<bool> stopping_{false};
};
