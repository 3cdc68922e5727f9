#include "daemon/DataBase.h"

#include <ctime>

DataBase& DataBase::getInstance() {
    static DataBase instance;
    return instance;
}

DataBase::Storage& DataBase::storage() {
    return getInstance().storage_;
}

std::shared_timed_mutex& DataBase::mutex() {
    return getInstance().mutex_;
}

std::atomic<int64_t>& DataBase::lastUpdate() {
    return getInstance().lastUpdate_;
}

void DataBase::setLastUpdate(const int64_t& time) {
    getInstance().lastUpdate_ = time;
    ++getInstance().changeCount_;
}

uint64_t DataBase::changeCount() {
    return getInstance().changeCount_;
}

void DataBase::updateTime() {
    setLastUpdate(static_cast<int64_t>(std::time(nullptr)));
}
