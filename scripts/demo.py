#!/usr/bin/python3
"""The demo scenario: kxsentrixd in a test world, step by step, with its log shown live.

Two users, ivanov and petrov, are logged in (two logind sessions) with their tokens plugged in;
ivanov also runs a remote-desktop client. kxsentrixctl lists the tokens and has the daemon
explain what pulling ivanov's token would do; ivanov pulls it, and the daemon does just that: it
locks his session, leaves petrov's alone and interrupts his client. Each step is
a function taking a Demo; SCENARIO lists them in order. Run through scripts/demo, which builds
the project first; `scripts/demo --shell` sets the same machine up and leaves a shell in it.
"""

import argparse
import json
import os
import re
import signal
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "world"))
import world  # noqa: E402

LEVELS = {3: "ERROR", 4: "WARNING", 6: "INFO", 7: "DEBUG"}
# The configuration an install ships: lock the sessions, interrupt the remote-desktop clients.
CONFIG = os.path.join(HERE, "..", "dist", "config", "kxsentrixd.conf")
USERS = {"ivanov": (1001, "c1", 5), "petrov": (1002, "c2", 6)}  # uid, logind session, slot
LOCKED = re.compile(r"^\[INFO\] 1 сессия пользователей были успешно заблокированы")
SHELL_HELP = """\
A shell inside the world; exit to leave (the world goes with it). Try:
  kxsentrixctl tokens                 the daemon's tokens (--json for every field)
  kxsentrixctl explain 5              what pulling ivanov's token would do, and why
  kxsentrixctl status                 how the daemon is doing
  kxsentrixctl pin-status             PIN retries and expiry (ivanov's PIN is 1234)
  kxsentrixctl pin-check 5            asks the PIN without echo
  kxsim remove 5                      pull ivanov's token: his session c1 gets locked
  kxsim insert 7 --label Mine --model "Korvex Quill" --profile me@example.org
  kxsentrixctl lock-all               lock every session
  tail -f $KX_WORLD_LOG               the system log
"""


class Demo:
    """The world, the running daemon, and the narration."""

    def __init__(self, sandbox):
        self.world = sandbox
        self.daemon = None
        self.client = None  # ivanov's remote-desktop client
        self.explained = None  # the daemon's explanation of his token's removal
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

def tool_paths(demo):
    """kxsentrixctl and kxsim of this build first on PATH; lock-all runs this build's daemon."""
    build = demo.world.build_dir
    path = f"{build}/tools/kxsentrixctl:{build}/sim:" + demo.world.env()["PATH"]
    return {"PATH": path, "KXSENTRIXD": demo.world.daemon_path}


def kxsentrixctl(demo, *args):
    """Runs kxsentrixctl in the world and shows it with its output."""
    result = demo.world.run(["kxsentrixctl", *args], env=tool_paths(demo))
    print(f"    $ kxsentrixctl {' '.join(args)}", flush=True)
    for line in (result.stdout + result.stderr).splitlines():
        print(f"      {line}", flush=True)
    demo.expect(result.returncode == 0, f"kxsentrixctl {args[0]} status {result.returncode}")
    return result.stdout


def prepare_machine(demo):
    demo.say("A fresh world: local users ivanov and petrov logged in (two logind sessions), "
             "token logon with certificates set up in PAM, and the configuration file an install "
             "ships: lock the sessions of a removed token, interrupt its remote-desktop clients.")
    for user, (uid, session, _) in USERS.items():
        demo.world.add_user(user, uid, gecos=user.capitalize())
        demo.world.logind.add_session(session, uid, user)
        home = f"/home/{user}"
        # The logon certificate, made inside the world, bound to the account.
        made = demo.world.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                               "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30",
                               "-keyout", f"{home}/{user}.key", "-out", f"{home}/{user}.pem",
                               "-subj", f"/CN={user}/O=Example Org/DC=example/DC=org"])
        demo.expect(made.returncode == 0, f"openssl failed: {made.stderr}")
        demo.world.write(f"{home}/.eid/authorized_certificates",
                         demo.world.read(f"{home}/{user}.pem"))
    demo.world.write(world.PAM_SYSTEM_AUTH, "auth sufficient pam_kx-tf-auth.so\n")
    with open(CONFIG) as config:
        demo.world.write_daemon_config(config.read())


def start_daemon(demo):
    demo.say("Starting kxsentrixd ...")
    demo.daemon = demo.world.start_daemon().wait_ready()
    pid = demo.world.read_pid_file().strip()
    demo.say(f"It runs with pid {demo.daemon.pid}; {world.PID_FILE} holds {pid}.")
    demo.expect(pid == str(demo.daemon.pid), "the pid file names another process")


def plug_tokens_in(demo):
    demo.say("Each plugs in his token, with his certificate and a login profile on it "
             "(kxsim puts them into slots 5 and 6):")
    for user, (_, _, slot) in USERS.items():
        demo.world.kxsim("insert", str(slot), "--label", f"{user.capitalize()} token",
                         "--model", "Korvex Quill", "--isd", "KX123", "--serial", f"00{slot}",
                         "--user-pin", "1234", "--profile", f"{user}@example.org",
                         "--cert", f"/home/{user}/{user}.pem", "--cert-label", f"{user} logon")
        demo.daemon.wait_for_log(re.compile(rf"^\[INFO\] Подключено новое устройство в слоте "
                                            rf"{slot} "))


def list_tokens(demo):
    demo.say("kxsentrixctl asks the daemon for its tokens over the system bus:")
    kxsentrixctl(demo, "tokens")


def connect_remote_desktop(demo):
    demo.say("ivanov also opens a remote desktop: an xfreerdp client started by kxsentrix.")
    demo.client = demo.world.spawn(
        ["xfreerdp", "/v:rdp.example.org", "/u:ivanov", "/d:example.org"],
        parent=["kxsentrix", "--connect", "rdp.example.org"])
    demo.say(f"... xfreerdp runs with pid {demo.client.pid}, its parent kxsentrix with pid "
             f"{demo.client.ppid}.")


def explain_removal(demo):
    demo.say("Before ivanov pulls his token, the daemon tells what its removal would do and why, "
             "by the rules it will follow then:")
    kxsentrixctl(demo, "explain", "5")
    demo.explained = json.loads(demo.world.run(["kxsentrixctl", "explain", "--json", "5"],
                                               env=tool_paths(demo)).stdout)["tokens"][0]


def pull_token_out(demo):
    demo.say("ivanov pulls his token out:")
    demo.world.kxsim("remove", "5")
    demo.daemon.wait_for_log(re.compile(r"^\[INFO\] Отключено устройство в слоте 5 "))
    demo.daemon.wait_for_log(LOCKED, timeout=10)
    locked = demo.world.logind.calls("LockSession")
    sessions = {session: demo.world.logind.session(session)["LockedHint"]
                for _, session, _ in USERS.values()}
    demo.client.wait_for_signal(signal.SIGINT)
    demo.client.parent.wait_for_signal(signal.SIGINT)
    demo.say(f"logind was asked to lock {locked}; locked now: {sessions}. xfreerdp and its "
             "kxsentrix parent got SIGINT.")
    demo.expect(locked == [["c1"]], f"LockSession calls {locked}")
    demo.expect(sessions == {"c1": True, "c2": False}, f"sessions {sessions}")
    demo.say("Just as explained.")
    demo.expect([[session["id"]] for session in demo.explained["sessions"]
                 if session["verdict"] == "lock"] == locked, "not as explained: sessions")
    demo.expect([(client["pid"], client["parent"]["verdict"])
                 for client in demo.explained["remoteClients"] if client["verdict"] == "interrupt"]
                == [(demo.client.pid, "interrupt")], "not as explained: remote clients")
    demo.say("The daemon's token list now holds petrov's token alone:")
    demo.expect("Ivanov" not in kxsentrixctl(demo, "tokens"), "ivanov's token still listed")
    demo.say("The daemon's status names the removal and what it did:")
    demo.expect("Last removal:     slot 5 " in kxsentrixctl(demo, "status"), "no last removal")


def refuse_second_instance(demo):
    demo.say("A second instance is refused:")
    status = demo.world.start_daemon().wait()
    demo.say(f"... it ended with status {status}.")
    demo.expect(status == 2, f"second instance status {status}")


def lock_command(demo):
    demo.say("kxsentrixctl lock-all runs the one-shot command 'kxsentrixd lock', which locks "
             "every session:")
    kxsentrixctl(demo, "lock-all")


def stop_daemon(demo):
    demo.say("Stopping the daemon with SIGTERM:")
    status = demo.daemon.stop(signal.SIGTERM)
    demo.say(f"... it ended with status {status}; pid file present: "
             f"{demo.world.exists(world.PID_FILE)}.")
    demo.expect(status == 0, f"stop status {status}")


SETUP = [prepare_machine, start_daemon, plug_tokens_in, connect_remote_desktop]
SCENARIO = [*SETUP, list_tokens, explain_removal, pull_token_out, refuse_second_instance, lock_command,
            stop_daemon]


def shell(demo):
    """An interactive shell in the daemon's machine, until the user leaves it."""
    for step in SETUP:
        step(demo)
    print(SHELL_HELP, flush=True)
    demo.world.run(["/bin/bash", "--norc", "-i"], capture=False, timeout=None,
                   env={"PS1": "kxworld# ", "KX_DAEMON_PID": str(demo.daemon.pid),
                        **tool_paths(demo)})


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
