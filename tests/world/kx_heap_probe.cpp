// Loaded into the sanitizer build's daemon by World.start_daemon(heap_probe=PATH) (LD_PRELOAD,
// after the sanitizer's runtime), e.g. for the soak run: appends the bytes the heap holds, as the
// sanitizer's allocator counts them, to the file KX_HEAP_PROBE names once a second. The resident
// size of a sanitizer build also grows with the sanitizer's own bookkeeping and cannot tell a leak
// from noise; this count can.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

extern "C" size_t __sanitizer_get_current_allocated_bytes();

namespace {

void* probe(void* path) {
    const int fd =
        open(static_cast<const char*>(path), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    while (fd >= 0 && sleep(1) == 0 &&
           dprintf(fd, "%zu\n", __sanitizer_get_current_allocated_bytes()) > 0) {
    }
    return nullptr;
}

__attribute__((constructor)) void startProbe() {
    if (char* path = std::getenv("KX_HEAP_PROBE")) {
        // Blocked in the probe's thread, the daemon's signals reach the daemon's threads.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        pthread_t thread;
        if (pthread_create(&thread, nullptr, probe, path) == 0) {
            pthread_detach(thread);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
}

}  // namespace
