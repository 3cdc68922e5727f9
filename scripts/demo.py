#!/usr/bin/python3
"""The demo scenario: kxsentrixd in a test world, step by step, with its log shown live.

Each step is a function taking a Demo; SCENARIO lists them in order. To show more of the
daemon (D-Bus clients, for one), write a step and add it.
Run through scripts/demo, which builds the project first.
"""

import argparse
import os
import re
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "world"))
import world  # noqa: E402

LEVELS = {3: "ERROR", 4: "WARNING", 6: "INFO", 7: "DEBUG"}
CONFIG = """{
    "actionOnTokenDisabled": 1,
    "actionOnTokenDisabledRemote": 1,
    "debug": true,
    "forceSessionMatch": false,
    "ticketsCheckInterval": 1000
}
"""
TOKEN_IN = ("[INFO] Подключено новое устройство в слоте 5 label:Ivanov token "
            "model:Korvex Quill 4 (USB-C)")
TOKEN_OUT = "[INFO] Отключено устройство в слоте 5 label:Ivanov token model:Korvex Quill 4 (USB-C)"
LOCKED = re.compile(r"^\[INFO\] 1 сессия пользователей были успешно заблокированы")


class Demo:
    """The world, the running daemon, and the narration."""

    def __init__(self, sandbox):
        self.world = sandbox
        self.daemon = None
        self.colour = sys.stdout.isatty()

    def say(self, text):
        print(("\033[1m" + text + "\033[0m") if self.colour else text, flush=True)

    def expect(self, condition, what):
        if not condition:
            raise SystemExit(f"demo: unexpected: {what}")


class LiveLog(threading.Thread):
    """Prints every system log record of the world as it arrives."""

    def __init__(self, sandbox):
        super().__init__(daemon=True)
        self.world = sandbox
        self.printed = 0
        self.stopping = threading.Event()
        self.lock = threading.Lock()

    def run(self):
        while not self.stopping.wait(0.02):
            self.flush()

    def flush(self, sync=False):
        with self.lock:
            for record in self.world.records(since=self.printed, sync=sync):
                level = LEVELS.get(record.level, str(record.level))
                print(f"    log  {record.ident} {level:7} {record.text}", flush=True)
                self.printed += 1


# --- the steps ---------------------------------------------------------------------------------

def prepare_machine(demo):
    demo.say("A fresh world: local user ivanov logged in (a logind session), token logon with "
             "certificates set up in PAM, the daemon configured to lock sessions when a token "
             "is removed.")
    demo.world.add_user("ivanov", 1001, gecos="Иван Иванов")
    demo.world.logind.add_session("c1", 1001, "ivanov")
    demo.world.write(world.PAM_SYSTEM_AUTH, "auth sufficient pam_kx-tf-auth.so\n")
    demo.world.write_daemon_config(CONFIG)


def start_daemon(demo):
    demo.say("Starting kxsentrixd ...")
    demo.daemon = demo.world.start_daemon().wait_ready()
    # Its start-up lines belong under this title.
    demo.daemon.wait_for_log("Запуск основного цикла FileWatcher")
    pid = demo.world.read_pid_file().strip()
    demo.say(f"It runs with pid {demo.daemon.pid}; {world.PID_FILE} holds {pid}.")
    demo.expect(pid == str(demo.daemon.pid), "the pid file names another process")


def plug_token_in(demo):
    demo.say("ivanov gets a logon certificate (made with openssl inside the world) and plugs in "
             "his token, which kxsim puts into slot 5:")
    home = "/home/ivanov"
    made = demo.world.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                           "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30", "-keyout",
                           f"{home}/ivanov.key", "-out", f"{home}/ivanov.pem", "-subj",
                           "/CN=ivanov/O=Example Org/DC=example/DC=org"])
    demo.expect(made.returncode == 0, f"openssl failed: {made.stderr}")
    demo.world.write(f"{home}/.eid/authorized_certificates", demo.world.read(f"{home}/ivanov.pem"))
    demo.world.kxsim("insert", "5", "--label", "Ivanov token", "--model", "Korvex Quill",
                     "--isd", "KX123", "--user-pin", "1234", "--profile", "ivanov@example.org",
                     "--cert", f"{home}/ivanov.pem", "--cert-label", "ivanov logon")
    demo.daemon.wait_for_log(TOKEN_IN)


def pull_token_out(demo):
    demo.say("He pulls the token out again, and his session is locked:")
    demo.world.kxsim("remove", "5")
    demo.daemon.wait_for_log(TOKEN_OUT)
    demo.daemon.wait_for_log(LOCKED)
    calls = demo.world.logind.calls("LockSession")
    demo.expect(calls == [["c1"]], f"LockSession calls {calls}")


def refuse_second_instance(demo):
    demo.say("A second instance is refused:")
    status = demo.world.start_daemon().wait()
    demo.say(f"... it ended with status {status}.")
    demo.expect(status == 2, f"second instance status {status}")


def lock_command(demo):
    demo.say("The one-shot command 'kxsentrixd lock' locks every session:")
    status = demo.world.start_daemon("lock").wait()
    demo.say(f"... it ended with status {status}.")
    demo.expect(status == 0, f"lock command status {status}")


def stop_daemon(demo):
    demo.say("Stopping the daemon with SIGTERM:")
    status = demo.daemon.stop(signal.SIGTERM)
    demo.say(f"... it ended with status {status}; pid file present: "
             f"{demo.world.exists(world.PID_FILE)}.")
    demo.expect(status == 0, f"stop status {status}")


SCENARIO = [prepare_machine, start_daemon, plug_token_in, pull_token_out, refuse_second_instance,
            lock_command, stop_daemon]


def shell(demo):
    """An interactive shell in the daemon's machine, until the user leaves it."""
    prepare_machine(demo)
    start_daemon(demo)
    demo.say("A shell inside the world (exit to leave; the world goes with it). The log is "
             f"in {world.LOG_TEXT}: try  tail -f $KX_WORLD_LOG")
    demo.world.run(["/bin/bash", "--norc", "-i"], capture=False, timeout=None,
                   env={"PS1": "kxworld# ", "KX_DAEMON_PID": str(demo.daemon.pid)})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shell", action="store_true",
                        help="start the daemon and open a shell inside the world")
    args = parser.parse_args()
    started = time.monotonic()
    with world.World() as sandbox:
        demo = Demo(sandbox)
        if args.shell:
            shell(demo)
            return 0
        log = LiveLog(sandbox)
        log.start()
        try:
            for step in SCENARIO:
                step(demo)
                log.flush(sync=True)  # the step's records before the next title
        finally:
            log.stopping.set()
            log.join()
    demo.say(f"Done in {time.monotonic() - started:.1f} s; the world is gone.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
