/* Linked into the programs of a coverage build (KX_COVERAGE) in place of two ways out that skip
 * the exit handlers, where gcov writes its counts: the power-off, which in a test world's PID
 * namespace ends every process at once, and _exit, the fatal-signal handler's way out. */
#include <errno.h>
#include <unistd.h>

extern void __gcov_dump(void);
extern void __gcov_reset(void);
extern int __real_reboot(int command);
extern void __real__exit(int status) __attribute__((noreturn));

int __wrap_reboot(int command) {
    __gcov_dump();
    int result = __real_reboot(command);
    /* Still running (the power-off failed): the counts written are cleared, and what follows
     * is added to them at exit, which writes nothing after a dump otherwise. */
    int error = errno;
    __gcov_reset();
    errno = error;
    return result;
}

void __wrap__exit(int status) {
    __gcov_dump();
    __real__exit(status);
}
