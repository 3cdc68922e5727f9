#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <shared_mutex>

#include "token/Token.h"

// The process-wide store of inserted tokens, keyed by slot. Every access to the storage and
// every write of the last-update time holds the mutex exclusively; the last-update time is
// also read without it (an atomic, so the D-Bus thread never sees half a value).
class DataBase {
public:
    using Storage = std::map<CK_SLOT_ID, Token::Info>;

    static DataBase& getInstance();
    static Storage& storage();
    static std::shared_timed_mutex& mutex();
    // Wall-clock seconds of the last change attempt on the storage; 0 before the first scan.
    static std::atomic<int64_t>& lastUpdate();
    static void setLastUpdate(const int64_t& time);
    static void updateTime();
    // How often the last-update time was written. Every change of the storage is followed by
    // such a write under the same lock, so while the count stands still the storage is as it
    // was. Read it with the mutex held.
    static uint64_t changeCount();

private:
    DataBase() = default;

    std::shared_timed_mutex mutex_;
    Storage storage_;
    std::atomic<int64_t> lastUpdate_{0};
    std::atomic<uint64_t> changeCount_{0};
};
