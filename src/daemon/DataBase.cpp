#include "daemon/DataBase.h"

#include <ctime>

void DataBase::Lock::updateTime() {
    base_.lastUpdate_ = static_cast<int64_t>(std::time(nullptr));
    ++base_.changeCount_;
}
