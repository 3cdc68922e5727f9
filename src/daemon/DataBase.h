#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "token/Token.h"

// The store of inserted tokens, keyed by slot: the slot loop owns it and alone changes it, the
// D-Bus service reads it. Nothing reaches the records but through a view that holds the store's
// mutex for as long as it lives, so that what needs the mutex says so in
// its parameters. The last-update time is also read without it (an atomic, so the D-Bus thread
// never sees half a value).
class DataBase {
public:
    using Storage = std::map<CK_SLOT_ID, Token::Info>;

    // The records as they are while it lives.
    class View {
    public:
        explicit View(const DataBase& base) : lock_(base.mutex_), base_(base) {}
        const Storage& storage() const { return base_.storage_; }
        // Counts the changes: while it stands still, the records are as they were.
        uint64_t changeCount() const { return base_.changeCount_; }

    private:
        std::lock_guard<std::mutex> lock_;
        const DataBase& base_;
    };

    // The records to change, while it lives; the slot loop's.
    class Lock {
    public:
        explicit Lock(DataBase& base) : lock_(base.mutex_), base_(base) {}
        Storage& storage() { return base_.storage_; }
        const Storage& storage() const { return base_.storage_; }
        // Every change of the records is followed by this: the last-update time becomes now.
        void updateTime();

    private:
        std::lock_guard<std::mutex> lock_;
        DataBase& base_;
    };

    DataBase() = default;
    DataBase(const DataBase&) = delete;
    DataBase& operator=(const DataBase&) = delete;

    // Wall-clock seconds of the last change attempt on the records; 0 before the first scan.
    int64_t lastUpdate() const { return lastUpdate_; }
    // As View::changeCount; without the mutex for the slot loop, which alone changes it.
    uint64_t changeCount() const { return changeCount_; }

private:
    mutable std::mutex mutex_;
    Storage storage_;
    std::atomic<int64_t> lastUpdate_{0};
    std::atomic<uint64_t> changeCount_{0};
};
