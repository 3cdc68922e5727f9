/* Preloaded into a daemon (LD_PRELOAD) to stand for a machine whose file systems never finish
 * a flush: sync() blocks for ever. A real hung file system cannot serve here, as sync() waits
 * for every file system of the host, not only the world's. */
#include <unistd.h>

void sync(void) {
    for (;;) {
        pause();
    }
}
