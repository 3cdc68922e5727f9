// Loaded into the sanitizer build's daemon by the soak run (LD_PRELOAD, after the sanitizer's
// runtime): appends the bytes the daemon's heap holds, as the sanitizer's allocator counts them,
// to the file named by KX_HEAP_PROBE once a second. The resident size of a sanitizer build also
// grows with the sanitizer's own bookkeeping (its record of allocation stacks, free memory spread
// over pages by the quarantine) by several MiB in a soak run, so it cannot tell a leak from
// noise; this count can.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

extern "C" size_t __sanitizer_get_current_allocated_bytes();

namespace {

void* probe(void* path) {
    int fd = open(static_cast<const char*>(path), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    while (fd >= 0) {
        sleep(1);
        char line[32];
        int length =
            std::snprintf(line, sizeof(line), "%zu\n", __sanitizer_get_current_allocated_bytes());
        if (write(fd, line, static_cast<size_t>(length)) != length) {
            break;
        }
    }
    return nullptr;
}

__attribute__((constructor)) void startProbe() {
    char* path = std::getenv("KX_HEAP_PROBE");
    if (path == nullptr) {
        return;
    }
    // The daemon's signals must reach the daemon's own threads, as without the probe.
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

}  // namespace
