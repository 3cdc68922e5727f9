#pragma once

// One library call made on a thread of its own and watched from the test's thread: whether it
// has returned, or sleeps inside the library (blocked in poll(2), where a library waits for a
// slow card), as the kernel tells it rather than a clock.

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "TestFiles.h"
#include "kxpkcs11.h"

namespace testthreads {

class CallThread {
public:
    explicit CallThread(std::function<CK_RV()> call)
        : thread_([this, call = std::move(call)] {
              tid_ = gettid();
              rv_ = call();
              done_ = true;
          }) {}
    ~CallThread() { join(); }
    CallThread(const CallThread&) = delete;
    CallThread& operator=(const CallThread&) = delete;

    bool done() const { return done_; }
    // Waits until the call sleeps in the library or has returned; true when it sleeps.
    bool sleepsInLibrary() const {
        while (!done_ && !asleepInPoll()) {
            std::this_thread::yield();
        }
        return !done_;
    }
    CK_RV join() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return rv_;
    }

private:
    bool asleepInPoll() const {
        pid_t tid = tid_;
        std::string syscall =
            tid == 0 ? ""
                     : testfiles::contentOf("/proc/self/task/" + std::to_string(tid) + "/syscall");
        auto in = [&syscall](long number) {
            return syscall.rfind(std::to_string(number) + " ", 0) == 0;
        };
#ifdef SYS_poll
        return in(SYS_poll) || in(SYS_ppoll);
#else
        return in(SYS_ppoll);
#endif
    }

    std::atomic<pid_t> tid_{0};
    std::atomic<bool> done_{false};
    CK_RV rv_ = CKR_GENERAL_ERROR;
    std::thread thread_;  // last: it starts with the members above in place
};

}  // namespace testthreads
