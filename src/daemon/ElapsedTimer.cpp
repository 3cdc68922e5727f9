#include "daemon/ElapsedTimer.h"

void ElapsedTimer::start() {
    start_ = std::chrono::steady_clock::now();
}

int64_t ElapsedTimer::elapsed() const {
    auto passed = std::chrono::steady_clock::now() - start_;
    return std::chrono::duration_cast<std::chrono::milliseconds>(passed).count();
}
