/* A stand-in process for tests: it idles until a signal ends it and records what happened.
 *
 * world.py starts it through a symlink whose name becomes its command name (comm), with any
 * argv the test chooses, so it can pose as "xfreerdp", "mate-panel" or a "kxsentrix" parent.
 * It appends "started PID PPID" and then "signal N" for each signal it receives to the file
 * named by KX_PROC_REPORT. SIGINT, SIGTERM and SIGHUP then end it the default way. When
 * KX_PROC_CHILD names a plan file (NUL-separated: report path, executable, argv...), it first
 * starts that child, so tests get a parent/child pair. */

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static int reportFd = -1;

static void report(const char* text) {
    if (reportFd >= 0) {
        (void)write(reportFd, text, strlen(text));
    }
}

static void onSignal(int number) {
    // Formatted by hand: snprintf is not async-signal-safe.
    char line[16] = "signal ";
    size_t length = strlen(line);
    if (number >= 10) {
        line[length++] = (char)('0' + number / 10);
    }
    line[length++] = (char)('0' + number % 10);
    line[length++] = '\n';
    if (reportFd >= 0) {
        (void)write(reportFd, line, length);
    }
    if (number == SIGINT || number == SIGTERM || number == SIGHUP) {
        signal(number, SIG_DFL);
        raise(number);
    }
}

static void onChild(int number) {
    (void)number;
    int saved = errno;
    while (waitpid(-1, NULL, WNOHANG) > 0) {
    }
    errno = saved;
}

/* Reads a plan file into a NULL-terminated vector of its NUL-separated fields. */
static char** readPlan(const char* path) {
    static char buffer[65536];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return NULL;
    }
    ssize_t size = read(fd, buffer, sizeof(buffer) - 1);
    close(fd);
    if (size <= 0) {
        return NULL;
    }
    buffer[size] = '\0';
    static char* fields[1024];
    size_t count = 0;
    for (char* field = buffer; field < buffer + size && count + 1 < 1024;
         field += strlen(field) + 1) {
        fields[count++] = field;
    }
    fields[count] = NULL;
    return count >= 3 ? fields : NULL;
}

static void startChild(const char* planPath) {
    char** plan = readPlan(planPath);
    if (plan == NULL) {
        report("error child plan\n");
        return;
    }
    pid_t child = fork();
    if (child == 0) {
        unsetenv("KX_PROC_CHILD");
        setenv("KX_PROC_REPORT", plan[0], 1);
        execv(plan[1], plan + 2);
        _exit(127);
    }
}

int main(void) {
    const char* reportPath = getenv("KX_PROC_REPORT");
    if (reportPath != NULL) {
        reportFd = open(reportPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    action.sa_handler = onSignal;
    int recorded[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGQUIT};
    for (size_t i = 0; i < sizeof(recorded) / sizeof(recorded[0]); ++i) {
        sigaction(recorded[i], &action, NULL);
    }
    action.sa_handler = onChild;
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, NULL);

    const char* childSpec = getenv("KX_PROC_CHILD");
    if (childSpec != NULL) {
        startChild(childSpec);
    }
    char line[64];
    snprintf(line, sizeof(line), "started %d %d\n", (int)getpid(), (int)getppid());
    report(line);
    for (;;) {
        pause();
    }
}
