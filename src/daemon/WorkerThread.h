#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// One named background thread of the daemon and the means to wait for work and to end it.
//
// The thread carries its name (at most 15 characters, for ps and /proc), runs with its nice
// value and on an alternate signal stack, so that a stack overflow still ends in the
// fatal-signal handler. What its body lets escape is logged and ends the process, as an
// uncaught exception would: a worker that quietly vanished would leave the daemon running
// without, say, its token reads or its state file.
//
// The mutex guards the owner's shared state and the stop flag alike, so that one wait sees
// both: change the state under mutex(), then wake().
class WorkerThread {
public:
    explicit WorkerThread(const char* name, int nice = 0) : name_(name), nice_(nice) {}
    ~WorkerThread() { stop(); }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Runs `body` on a new thread; harmless while one runs.
    void start(std::function<void()> body);
    // Sets stopping(), wakes the body and waits for it to end; harmless when none runs.
    void stop();
    // As stop(), but a body that has not ended within `bound` (a call that hangs) is left to
    // end by itself: whatever it uses, this object included, must then be co-owned by the body
    // (a shared_ptr it holds). True when it ended in time.
    bool stopWithin(std::chrono::milliseconds bound);
    // A thread was started and not stopped since; for the thread that starts and stops it.
    bool started() const { return thread_.joinable(); }

    std::mutex& mutex() const { return mutex_; }
    void wake() { changed_.notify_all(); }
    // For the body: true once stop() was asked for; readable without the mutex.
    const std::atomic<bool>& stopping() const { return stopping_; }

    // For the body, with mutex() held: until `ready()` or stopping().
    template <class Ready>
    void wait(std::unique_lock<std::mutex>& lock, Ready ready) {
        changed_.wait(lock, [&] { return stopping_ || ready(); });
    }
    // As wait(), for at most `bound`: false when it ran out.
    template <class Ready>
    bool waitFor(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds bound, Ready ready) {
        return changed_.wait_for(lock, bound, [&] { return stopping_ || ready(); });
    }

private:
    void run(const std::function<void()>& body);
    void requestStop();

    const char* name_;
    int nice_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> stopping_{false};
    bool ended_ = false;  // the body has returned
};
