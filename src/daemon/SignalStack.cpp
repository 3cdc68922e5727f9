#include "daemon/SignalStack.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

namespace {

// Room for the logger's fixed buffers and a sanitizer's own frames.
constexpr size_t kMinimumSize = 128 * 1024;

}  // namespace

SignalStack::SignalStack() {
    long systemMinimum = sysconf(_SC_SIGSTKSZ);
    size_t size = std::max<size_t>(kMinimumSize, systemMinimum > 0 ? systemMinimum : 0);
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return;  // handlers then run on the thread's own stack, as without this
    }
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = size;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(memory, size);
        return;
    }
    memory_ = memory;
    size_ = size;
}

SignalStack::~SignalStack() {
    if (memory_ == nullptr) {
        return;
    }
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || current.ss_sp != memory_ ||
        (current.ss_flags & SS_ONSTACK) != 0) {
        return;
    }
    stack_t disabled{};
    disabled.ss_flags = SS_DISABLE;
    if (sigaltstack(&disabled, nullptr) == 0) {
        munmap(memory_, size_);
    }
}
