#include "removal/RemovalRunner.h"

#include <pthread.h>
#include <syslog.h>

#include <exception>
#include <system_error>

#include "daemon/SignalStack.h"
#include "log/KxLogger.h"

namespace {

// More removals at once than any machine has readers means threads are short: the next one
// runs on the caller's thread.
constexpr size_t kMaxRunning = 64;

struct Record {
    int level;
    std::string text;
};

}  // namespace

class RemovalRunner::Groups {
public:
    uint64_t open() {
        std::lock_guard<std::mutex> lock(mutex_);
        return next_++;
    }

    void record(uint64_t group, int level, std::string text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (group == writing_) {
            KxLogger::write(level, text);
        } else {
            held_[group].records.push_back({level, std::move(text)});
        }
    }

    void close(uint64_t group) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (group != writing_) {
            held_[group].closed = true;
            return;
        }
        // The next group's records so far go out, and so on while those groups have ended.
        for (++writing_; held_.count(writing_) != 0; ++writing_) {
            Held& next = held_[writing_];
            for (const Record& record : next.records) {
                KxLogger::write(record.level, record.text);
            }
            const bool closed = next.closed;
            held_.erase(writing_);
            if (!closed) {
                break;
            }
        }
    }

private:
    struct Held {
        std::vector<Record> records;
        bool closed = false;
    };

    std::mutex mutex_;
    uint64_t next_ = 0;
    uint64_t writing_ = 0;  // the group whose records are written as they come
    std::map<uint64_t, Held> held_;
};

namespace {

class GroupSink : public KxLogger::Sink {
public:
    explicit GroupSink(std::function<void(int, std::string)> write) : write_(std::move(write)) {}
    void record(int level, std::string text) override { write_(level, std::move(text)); }

private:
    std::function<void(int, std::string)> write_;
};

// The removal, with what it logs written through its group.
void runLogged(const std::function<void(int, std::string)>& write,
               const std::function<void()>& removal) {
    GroupSink sink(write);
    const KxLogger::Capture capture(sink);
    try {
        removal();
    } catch (const std::exception& error) {
        KxLogger::log(LOG_ERR, "Ошибка обработки отключения токена. %s", error.what());
    } catch (...) {
        KxLogger::log(LOG_ERR, "Ошибка обработки отключения токена");
    }
}

}  // namespace

RemovalRunner::RemovalRunner() : groups_(std::make_shared<Groups>()) {}

RemovalRunner::~RemovalRunner() {
    stop();
}

void RemovalRunner::run(std::function<void()> removal) {
    const uint64_t group = groups_->open();
    std::shared_ptr<Groups> groups = groups_;
    auto write = [groups, group](int level, std::string text) {
        groups->record(group, level, std::move(text));
    };
    std::lock_guard<std::mutex> lock(mutex_);
    reapEnded();
    if (running_.size() < kMaxRunning) {
        Running& slot = running_.emplace_back();
        try {
            slot.thread = std::thread([groups, group, write, removal, &slot] {
                pthread_setname_np(pthread_self(), "kx-removal");
                SignalStack signalStack;
                runLogged(write, removal);
                groups->close(group);
                slot.done = true;
            });
            return;
        } catch (const std::system_error&) {
            running_.pop_back();
        }
    }
    runLogged(write, removal);
    groups->close(group);
}

void RemovalRunner::reapEnded() {
    for (auto next = running_.begin(); next != running_.end();) {
        if (next->done) {
            next->thread.join();
            next = running_.erase(next);
        } else {
            ++next;
        }
    }
}

void RemovalRunner::stop() {
    stopping_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    for (Running& removal : running_) {
        if (removal.thread.joinable()) {
            removal.thread.join();
        }
    }
    running_.clear();
}
