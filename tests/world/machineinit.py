#!/usr/bin/python3 -S
"""Init (pid 1) of the world's "machine": the PID namespace the daemon and its peer processes
run in. It only reaps orphans. When a process in here powers the machine off, the kernel kills
this init, and its parent sees it killed by SIGINT; nothing outside the namespace is harmed.
"""

import os
import signal

signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGCHLD, signal.SIGTERM})
while True:
    if signal.sigwaitinfo({signal.SIGCHLD, signal.SIGTERM}).si_signo == signal.SIGTERM:
        break
    try:
        while os.waitpid(-1, os.WNOHANG)[0] > 0:
            pass
    except ChildProcessError:
        pass
