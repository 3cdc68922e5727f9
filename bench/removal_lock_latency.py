#!/usr/bin/python3
"""How fast a removed token's session is locked, on a quiet machine and while local users and
tokens do their worst. kxsentrixd runs in a test world with local PKI logon, sessions locked and
remote clients closed on removal, against kx_logind_standin: a logind in C (bench/) that stamps
each call on arrival, so the figure is the daemon's and not a mock's. For each removal it
measures from just before the token's entry is unlinked from the simulated library's directory
to the stand-in's arrival stamp of LockSession for the owner's session: both CLOCK_MONOTONIC
(time.monotonic here). Beside that, the arrival of the daemon's removal record at the world's
/dev/log splits the figure into noticing the removal and handling it; "removal record to
LockSession" is the stamp of LockSession minus the record's arrival, negative when the lock
request leaves before the removal is logged, as it should.

The daemon decides each stored token's lock requests ahead, so that at the removal they leave
before anything is read or logged; deciding takes a moment after the token is stored. Before
each removal the benchmark therefore waits until the token's list is made: it asks
explainTokenRemoval for the slot, as root, until its "preparedLocks" names the owner's session
(or every session), pausing 20 ms between the calls, and only then starts the removal, so the
calls add nothing to the measurement. A daemon that answers no "preparedLocks" decides nothing
ahead: the benchmark says so and removes the token once it is stored, as it always did.

Each row is one world. Users user0..userN-1 have sessions, each with a certificate of their own
in ~/.eid, and the last one's is on the token, so the owner's session is the last one logind
lists. Rows with an attack measure twice in the same world, without and with the attack; their
target is the p99 with the attack within 5 ms (1 ms for proc5) of the p99 without it.

  small      1 matching session of 5
  crowded    50 sessions and 2,000 processes
  xfreerdp   + 200 processes of a user named xfreerdp, each with a command line of about 1 MB
  eid        + a user's session whose ~/.eid certificate is 1 MiB with 23,000 DC entries,
             touched every 0.5 s (without the attack: an ordinary certificate)
  eid5       the same with five sessions of that user
  proc5      + five sessions of a user, listed first, whose ~/.eid certificate is a link to
             /proc/PID/smaps_rollup of her process with 65,000 mappings (bench/many_mappings.py),
             which takes tens of milliseconds to read (without the attack: an ordinary one).
             The owner's certificate has a subject that is not her login ("Token Owner"): a
             token that names a user has her sessions looked at first, whatever logind's order
  token      + a token with a 760 KB certificate (23,000 DC entries) inserted 20 ms before each
             removal
  tokens10   the same with ten such tokens
  tmp        4 busy loops of a user, + 300,000 names krb5cc_* in /tmp that the user keeps
             replacing by new ones (the ticket guard warns about each)
  alltokens  + 8 users calling allTokens back to back
  second     + a first token, whose owner's session has no screen locker (the stand-in's "tty"
             session: its LockedHint stays false, so that removal waits its full 3 s for the
             lock), pulled first; the measured token is pulled about 0.3 s into that wait
  alltokens_wait  no measured removal: a user's allTokens calls, one every 10 ms, answered
             while a removal waits for a session without a screen locker to lock; the figure is
             the round trip of every call that overlaps the wait (from the owner's LockSession
             to the fallback's LockSessions, both as the stand-in stamps them); beside it the
             same calls' round trips over 10 s before the first removal
  log_rate   no removals: the records per second one user sustains in the daemon's log by
             calling allTokens back to back and recreating names in /tmp without pause

Beside the measurement a bare 5 ms sleep loop notes how late this machine wakes it
(benchlib.MachineProbe).

Run as root on an optimised build (build directory of your choice):
    cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo && ninja -C build-rel -j2
    KX_BUILD_DIR=$PWD/build-rel /usr/bin/python3 bench/removal_lock_latency.py ROW [removals] \
        [--json]
"""

import json
import os
import random
import re
import shlex
import statistics
import time
from dataclasses import dataclass
from typing import Optional

from benchlib import MachineProbe, Report, nearest_rank, world

TOKENS = "/run/kxsim/tokens"
SLOT = 5
CONSOLE_SLOT = 4  # the first token of the rows second and alltokens_wait
BENCH = "/run/kxbench"
CALLS = f"{BENCH}/logind-calls"
CONFIG = '{\n"actionOnTokenDisabled": 1,\n"actionOnTokenDisabledRemote": 1\n}\n'
FIRST_UID = 2000
CONSOLE = ("console", 2900)  # the user whose session has no screen locker
ATTACKER = 3000  # "mallory": the sessions, processes, files and calls of the attacks
CALLERS = range(3001, 3009)  # the users of the allTokens row
DAEMON = "kx.daemon.server"
LOGIND = "org.freedesktop.login1"
LOCKED = re.compile(r"^\[INFO\] 1 сессия пользователей были успешно заблокированы")
# The last record of a removal whose sessions did not report locked in time: the fallback.
LOCKED_ALL = re.compile(r"^\[INFO\] Попытка заблокировать все сессии\. ")
REMOVED = f"[INFO] Отключено устройство в слоте {SLOT} label:Bench token "
ATTACK_MARGIN_MS = 5.0
RECORD_TARGET_MS = 0.3
ALLTOKENS_TARGET_MS = 2.0
ALLTOKENS_PAUSE_MS = 10
IDLE_CALLS_S = 10
SECOND_PULL_S = 0.3  # into the first removal's wait
PREPARED_PAUSE_S = 0.020
LOG_RATE_TARGET = 10.0
MAPPINGS = 65000
# The certificate of the attacks: 23,000 DC entries, 760 KB in DER, 1 MiB in PEM.
BIG_SUBJECT = "".join(f"{n}.DC=d{n:014d}\n" for n in range(23000)) + "CN=mallory\n"


def as_attacker(argv, uid=ATTACKER):
    return ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", *argv]


def leave_running(sandbox, command, count=1, uid=ATTACKER, setup=""):
    """Starts `count` of a shell command as the user in the machine and leaves them running."""
    shell = f"{setup}for i in $(seq {count}); do {command} </dev/null >/dev/null 2>&1 & done"
    sandbox.run(as_attacker(["/bin/sh", "-c", shell], uid), check=True, timeout=600)


@dataclass
class BenchToken:
    """A token the benchmark inserts and pulls, and the session its removal locks."""
    slot: int
    label: str
    session: str
    certificate: str  # the owner's ~/.eid file, whose certificate the token holds

    def entry(self):
        return (f"label = {self.label}\nmodel = Korvex Quill\nisd = KX123\n\n[certificate]\n"
                f"file = {self.certificate}\n")

    def connected(self):
        return (f"[INFO] Подключено новое устройство в слоте {self.slot} label:{self.label} "
                "model:Korvex Quill 4 (USB-C)")


class Stage:
    """One world: accounts, certificates, the stand-in and the daemon, and removals timed."""

    def __init__(self, sandbox, sessions, attacker_sessions=0, processes=0, console=False,
                 owner_named=True):
        self.sandbox = sandbox
        sandbox.write(world.PAM_SYSTEM_AUTH, "auth sufficient pam_kx-tf-auth.so\n")
        sandbox.write_daemon_config(CONFIG)
        sandbox.mkdir(BENCH, mode=0o755)
        users = [(f"user{n}", FIRST_UID + n) for n in range(sessions)]
        users += [("mallory", ATTACKER)] + [CONSOLE] * console
        users += [(f"caller{uid}", uid) for uid in CALLERS]
        passwd, group = sandbox.read("/etc/passwd"), sandbox.read("/etc/group")
        for name, uid in users:
            passwd += f"{name}:x:{uid}:{uid}::/home/{name}:/bin/bash\n"
            group += f"{name}:x:{uid}:\n"
            sandbox.mkdir(f"/home/{name}/.eid", owner=(uid, uid))
        sandbox.write("/etc/passwd", passwd)
        sandbox.write("/etc/group", group)
        sandbox.run(["/bin/sh", "-c", "for name in $0 $@; do openssl req -x509 -newkey ec "
                     "-pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -keyout /dev/null "
                     "-subj /CN=$name -out /home/$name/.eid/authorized_certificates 2>/dev/null "
                     "|| exit 1; done", *(name for name, _ in users[:sessions + 1 + console])],
                    check=True, timeout=600)
        if not owner_named:
            # The daemon looks first at the sessions of the users a token names (its
            # certificate's subject, its profiles): a subject that is no login name leaves
            # logind's order.
            sandbox.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                         "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30", "-keyout",
                         "/dev/null", "-subj", "/CN=Token Owner", "-out",
                         f"/home/user{sessions - 1}/.eid/authorized_certificates"],
                        check=True, timeout=600)
        # The attacker's sessions come before the owner's in logind's list.
        listed = [f"a{n} {ATTACKER} mallory" for n in range(attacker_sessions)]
        listed += [f"t0 {CONSOLE[1]} {CONSOLE[0]} tty"] * console
        listed += [f"s{n} {uid} {name}" for n, (name, uid) in enumerate(users[:sessions])]
        sandbox.write(f"{BENCH}/sessions", "\n".join(listed) + "\n")
        self.owner = BenchToken(SLOT, "Bench token", f"s{sessions - 1}",
                                f"/home/user{sessions - 1}/.eid/authorized_certificates")
        self.console = BenchToken(CONSOLE_SLOT, "Console token", "t0",
                                  f"/home/{CONSOLE[0]}/.eid/authorized_certificates")
        self.decides_ahead = True  # until the daemon answers no "preparedLocks"
        if processes:
            sandbox.run(["/bin/sh", "-c", f"for i in $(seq {processes}); do sleep 100000 "
                         "</dev/null >/dev/null 2>&1 & done"], check=True)
        tool = os.path.join(sandbox.build_dir, "bench", "kx_logind_standin")
        sandbox.machine().launch([tool, f"{BENCH}/sessions", CALLS], env=sandbox.env(),
                                 output=f"{BENCH}/standin.out")
        world.wait_until(lambda: "ready" in sandbox.read(f"{BENCH}/standin.out"), 10,
                         "the logind stand-in")
        self.manager = sandbox.system_bus().get_object(LOGIND, "/org/freedesktop/login1",
                                                      introspect=False)
        self.daemon = sandbox.start_daemon().wait_ready()
        self.daemon.wait_for_log("Запуск основного цикла FileWatcher")

    def big_certificate(self, path, owner=(0, 0)):
        """Writes the attacks' certificate (PEM) to `path`."""
        if not self.sandbox.exists(f"{BENCH}/big.pem"):
            self.sandbox.write(f"{BENCH}/big.cnf", "[req]\ndistinguished_name=dn\nprompt=no\n"
                               "[dn]\n" + BIG_SUBJECT)
            self.sandbox.run(["/bin/sh", "-c", f"cd {BENCH} && openssl req -x509 -newkey ec "
                              "-pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -keyout "
                              "ca.key -subj /CN=Bench-CA -out ca.pem && openssl req -new -newkey "
                              "ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout /dev/null "
                              "-config big.cnf -out big.csr && openssl x509 -req -in big.csr -CA "
                              "ca.pem -CAkey ca.key -days 30 -out big.pem"], check=True,
                             timeout=600)
        self.sandbox.write(path, self.sandbox.read_bytes(f"{BENCH}/big.pem"), owner=owner)

    def calls(self, member, argument="-"):
        """The stand-in's arrival stamps of the calls of `member` with that first argument."""
        if not self.sandbox.exists(CALLS):
            return []
        return [float(line.split()[0]) for line in self.sandbox.read(CALLS).splitlines()
                if line.split()[1:] == [member, argument]]

    def lock_calls(self, token):
        return self.calls("LockSession", token.session)

    def put_token(self, slot, entry):
        hidden = f"{TOKENS}/.{slot}.tmp"
        self.sandbox.write(hidden, entry)
        os.rename(self.sandbox.host_path(hidden), self.sandbox.host_path(f"{TOKENS}/{slot}"))

    def insert(self, token):
        """Puts the token in its slot and waits until the daemon has stored it and decided its
        lock requests ahead."""
        mark = self.sandbox.log_mark()
        self.put_token(token.slot, token.entry())
        self.daemon.wait_for_log(token.connected(), since=mark, timeout=60)
        world.wait_until(lambda: self.prepared(token) or time.sleep(PREPARED_PAUSE_S), 60,
                         f"the lock requests decided ahead for slot {token.slot}")

    def prepared(self, token):
        """Whether the daemon's list for the token names its owner's session (or every one);
        true at once from a daemon that makes no such list."""
        answer = self.sandbox.system_bus().call_blocking(
            DAEMON, "/", DAEMON, "explainTokenRemoval", "s", [str(token.slot)], timeout=30)
        explained = json.loads(answer)["tokens"]
        if explained and "preparedLocks" not in explained[0]:
            self.decides_ahead = False
            return True
        locks = explained[0]["preparedLocks"] if explained else None
        return locks is not None and (token.session in locks["sessions"] or locks["everything"])

    def pull(self, token):
        """Unlinks the token's entry; returns the time just before."""
        before = time.monotonic()
        os.unlink(self.sandbox.host_path(f"{TOKENS}/{token.slot}"))
        return before

    def removal(self, attack):
        """One insertion and removal of the owner's token: (ms to LockSession, ms to the removal
        record)."""
        sandbox, daemon, token = self.sandbox, self.daemon, self.owner
        self.insert(token)
        attack.prepare(self)
        self.manager.UnlockSessions(dbus_interface=f"{LOGIND}.Manager")
        seen = len(self.lock_calls(token))
        mark = sandbox.log_mark()
        attack.before_removal(self)
        before = self.pull(token)
        world.wait_until(lambda: len(self.lock_calls(token)) > seen, 60, "LockSession")
        locked = self.lock_calls(token)[seen]
        daemon.wait_for_log(LOCKED, since=mark, timeout=60)  # the handling is over
        removed = next(record.received for record in daemon.records(since=mark)
                       if record.text.startswith(REMOVED))
        attack.after_removal(self)
        return (locked - before) * 1000, (removed - before) * 1000

    def waited_removal(self, token):
        """A removal whose session never reports locked: (the time just before the unlink, the
        stamp of LockSession, the stamp of the fallback's LockSessions at the end of the wait)."""
        self.insert(token)
        seen, seen_all = len(self.lock_calls(token)), len(self.calls("LockSessions"))
        mark = self.sandbox.log_mark()
        time.sleep(random.uniform(0.0, 0.010))
        before = self.pull(token)
        world.wait_until(lambda: len(self.calls("LockSessions")) > seen_all, 60, "LockSessions")
        self.daemon.wait_for_log(LOCKED_ALL, since=mark, timeout=60)
        return before, self.lock_calls(token)[seen], self.calls("LockSessions")[seen_all]


# --- attacks: each starts once, and may act around every removal ------------------------------

class Attack:
    def start(self, stage):
        pass

    def prepare(self, stage):
        """After the owner's token is stored, before the sessions are unlocked."""

    def before_removal(self, stage):
        time.sleep(random.uniform(0.0, 0.010))  # removals at every phase of the slot loop

    def after_removal(self, stage):
        pass


class BusyLoops(Attack):
    def start(self, stage):
        leave_running(stage.sandbox, "/bin/sh -c 'while :; do :; done'", 4)


class RemoteClients(Attack):
    def start(self, stage):
        stage.sandbox.symlink("/bin/sleep", f"{BENCH}/xfreerdp")
        # sleep adds up its arguments: 100000 s, and eight of 128,000 zeros each.
        leave_running(stage.sandbox, f"{BENCH}/xfreerdp 100000 $A $A $A $A $A $A $A $A", 200,
                      setup="A=$(head -c 128000 /dev/zero | tr '\\0' 0); ")


class BigUserCertificate(Attack):
    def start(self, stage):
        path = "/home/mallory/.eid/authorized_certificates"
        stage.big_certificate(path, owner=(ATTACKER, ATTACKER))
        leave_running(stage.sandbox, f"/bin/sh -c 'while :; do touch {path}; sleep 0.5; done'")


class BigTokens(Attack):
    def __init__(self, count):
        self.slots = range(SLOT + 1, SLOT + 1 + count)

    def start(self, stage):
        stage.big_certificate(f"{BENCH}/token.pem")

    def before_removal(self, stage):
        self.mark = stage.sandbox.log_mark()
        for slot in self.slots:
            stage.put_token(slot, f"label = Big {slot}\nmodel = Korvex Quill\nisd = KX123\n\n"
                                  f"[certificate]\nfile = {BENCH}/token.pem\n")
        time.sleep(0.020)

    def after_removal(self, stage):
        for slot in self.slots:
            stage.daemon.wait_for_log(f"[INFO] Подключено новое устройство в слоте {slot} "
                                      f"label:Big {slot} model:Korvex Quill 4 (USB-C)",
                                      since=self.mark, timeout=120)
        mark = stage.sandbox.log_mark()
        for slot in self.slots:
            os.unlink(stage.sandbox.host_path(f"{TOKENS}/{slot}"))
        for slot in self.slots:
            stage.daemon.wait_for_log(re.compile(f"^\\[INFO\\] Отключено устройство в слоте "
                                                 f"{slot} "), since=mark, timeout=120)


class SlowProcFile(Attack):
    """The attacker's certificate becomes a link to smaps_rollup of her process with many
    mappings, which the kernel walks at every read."""

    def start(self, stage):
        path = "/home/mallory/.eid/authorized_certificates"
        helper = os.path.join(os.path.dirname(os.path.abspath(__file__)), "many_mappings.py")
        with open(helper) as source:
            stage.sandbox.write(f"{BENCH}/many_mappings.py", source.read())
        leave_running(stage.sandbox, f"/usr/bin/python3 {BENCH}/many_mappings.py {MAPPINGS} "
                                     f"{path}")
        link = stage.sandbox.host_path(path, follow=False)
        world.wait_until(lambda: os.path.islink(link), 120, "the link to smaps_rollup")
        # Lists decided ahead are made anew every few seconds: past that, they were made with the
        # link in place.
        time.sleep(6)


class SecondToken(Attack):
    """A first token, whose owner's session never reports locked, is pulled first; the owner's
    token follows about 0.3 s into that removal's wait for the lock."""

    def prepare(self, stage):
        stage.insert(stage.console)

    def before_removal(self, stage):
        self.mark = stage.sandbox.log_mark()
        seen = len(stage.lock_calls(stage.console))
        stage.pull(stage.console)
        world.wait_until(lambda: len(stage.lock_calls(stage.console)) > seen, 60,
                         "the first token's LockSession")
        waiting = stage.lock_calls(stage.console)[seen]
        time.sleep(max(0.0, waiting + SECOND_PULL_S + random.uniform(0.0, 0.010) -
                       time.monotonic()))

    def after_removal(self, stage):
        stage.daemon.wait_for_log(LOCKED_ALL, since=self.mark, timeout=60)


def recreate_names(sandbox, count):
    """The user puts `count` names into /tmp for the ticket guard to warn about, and then
    replaces them one by one without pause, each by a name the guard has not judged yet."""
    sandbox.write(f"{BENCH}/names.py", "import itertools, os, sys\n"
                  "count = int(sys.argv[1])\n"
                  "for generation in itertools.count():\n"
                  "    for n in range(count):\n"
                  "        if generation:\n"
                  "            os.unlink(f'/tmp/krb5cc_x{n}_{generation - 1}')\n"
                  "        name = f'/tmp/krb5cc_x{n}_{generation}'\n"
                  "        os.close(os.open(name, os.O_CREAT | os.O_WRONLY, 0o600))\n")
    # At the lowest priority: what the names cost the daemon, not what the user's CPU time does.
    leave_running(sandbox, f"nice -n 19 /usr/bin/python3 {BENCH}/names.py {count}")
    world.wait_until(lambda: sandbox.exists("/tmp/krb5cc_x0_0"), 60, "the names")


class TmpNames(Attack):
    def __init__(self, count):
        self.count = count

    def start(self, stage):
        recreate_names(stage.sandbox, self.count)


class AllTokensCallers(Attack):
    def start(self, stage):
        tool = os.path.join(stage.sandbox.build_dir, "bench", "kx_dbus_call_bench")
        for uid in CALLERS:
            leave_running(stage.sandbox, f"{tool} allTokens 100000000 1", uid=uid)


# --- rows -------------------------------------------------------------------------------------

@dataclass
class Row:
    what: str
    sessions: int = 5
    processes: int = 0
    attacker_sessions: int = 0
    console: bool = False  # a session without a screen locker, and its user's token
    owner_named: bool = True  # the token's certificate names the owner's login
    load: Optional[Attack] = None    # in both runs
    attack: Optional[Attack] = None  # in the second run only
    rounds: int = 100
    median_target: Optional[float] = None
    p99_target: Optional[float] = None
    record_target: Optional[float] = None  # the median from the removal record to LockSession
    attack_margin: float = ATTACK_MARGIN_MS


ROWS = {
    "small": Row("1 matching session of 5", median_target=3.0, p99_target=6.0, rounds=200,
                 record_target=RECORD_TARGET_MS),
    "crowded": Row("50 sessions and 2,000 processes", sessions=50, processes=2000,
                   p99_target=10.0),
    "xfreerdp": Row("200 xfreerdp processes with 1 MB command lines", attack=RemoteClients()),
    "eid": Row("a user's session with a 1 MiB ~/.eid certificate touched every 0.5 s",
               attacker_sessions=1, attack=BigUserCertificate()),
    "eid5": Row("five such sessions", attacker_sessions=5, attack=BigUserCertificate()),
    "proc5": Row("five sessions of a user, listed first, whose ~/.eid certificate links to "
                 f"smaps_rollup of her process with {MAPPINGS:,} mappings", attacker_sessions=5,
                 attack=SlowProcFile(), attack_margin=1.0, owner_named=False),
    "token": Row("a 760 KB certificate's token inserted 20 ms before", attack=BigTokens(1),
                 rounds=40),
    "tokens10": Row("ten such tokens", attack=BigTokens(10), rounds=20),
    "tmp": Row("300,000 names krb5cc_* in /tmp beside 4 busy loops", load=BusyLoops(),
               attack=TmpNames(300000)),
    "alltokens": Row("8 users calling allTokens back to back", attack=AllTokensCallers()),
    "second": Row("the token pulled 0.3 s into another removal's wait for a session without a "
                  "screen locker", console=True, attack=SecondToken()),
}


def describe(measured):
    ordered = sorted(measured)
    return (f"min {ordered[0]:7.2f}   median {statistics.median(ordered):7.2f}   "
            f"p99 {nearest_rank(ordered, 0.99):7.2f}   max {ordered[-1]:7.2f}")


def say_waited(stage, report):
    if not stage.decides_ahead:
        report.say("  the daemon answers no \"preparedLocks\": it decides nothing ahead, and "
                   "each removal followed the insertion at once")


def measure(stage, attack, rounds, report, title):
    with MachineProbe(stage.sandbox.build_dir) as probe:
        results = [stage.removal(attack) for _ in range(rounds)]
    locks, records = [lock for lock, _ in results], [record for _, record in results]
    report.say(f"{title}, {rounds} removals (ms):")
    report.say(f"  to LockSession          {describe(locks)}")
    report.say(f"  to the removal record   {describe(records)}")
    report.say(f"  record to LockSession   {describe([l - r for l, r in results])}")
    report.say(f"  {probe.describe()}")
    say_waited(stage, report)
    return sorted(locks), [lock - record for lock, record in results], probe


def run_row(name, rounds, report):
    row = ROWS[name]
    with world.World(logind=False) as sandbox:
        stage = Stage(sandbox, row.sessions, row.attacker_sessions, row.processes, row.console,
                      row.owner_named)
        load = row.load or Attack()
        load.start(stage)
        base, base_gaps, probe = measure(stage, load, rounds, report,
                                         f"{name}: {row.what}" if row.attack is None
                                         else f"{name}: without the attack")
        if row.attack is not None:
            row.attack.start(stage)
            attacked, _, attacked_probe = measure(stage, row.attack, rounds, report,
                                                  f"{name}: {row.what}")
        assert stage.daemon.stop() == 0

    median, p99 = statistics.median(base), nearest_rank(base, 0.99)
    gap = statistics.median(base_gaps)
    ahead = "" if stage.decides_ahead else "; the daemon decides nothing ahead"
    note = (f"median {median:.2f} ms, p99 {p99:.2f} ms, max {base[-1]:.2f} ms; from the removal "
            f"record to LockSession {gap:.2f} ms median; {probe.describe()}{ahead}")
    if row.median_target is not None:
        report.figure(f"removal to LockSession, {row.what}, median", round(median, 2), "ms",
                      row.median_target, note=note)
    if row.p99_target is not None:
        report.figure(f"removal to LockSession, {row.what}, p99", round(p99, 2), "ms",
                      row.p99_target, note=note)
    if row.record_target is not None:
        report.figure(f"removal record to LockSession, {row.what}, median", round(gap, 2), "ms",
                      row.record_target, note=f"negative: the lock request arrives before the "
                      f"removal record; {note}")
    if row.attack is not None:
        attacked_p99 = nearest_rank(attacked, 0.99)
        alone = " (busy loops alone)" if row.load else ""
        report.figure(f"removal to LockSession with {row.what}, p99", round(attacked_p99, 2),
                      "ms", round(p99 + row.attack_margin, 2),
                      note=f"target: the p99 without the attack{alone}, {p99:.2f} ms, + "
                           f"{row.attack_margin:.0f} ms; with it median "
                           f"{statistics.median(attacked):.2f} ms, max {attacked[-1]:.2f} ms; "
                           f"without it median {median:.2f} ms; {attacked_probe.describe()}"
                           f"{ahead}")


def paced_calls(sandbox, method, output):
    """A user's client that calls `method` every ALLTOKENS_PAUSE_MS and writes each call's
    stamps to `output`."""
    tool = os.path.join(sandbox.build_dir, "bench", "kx_dbus_call_bench")
    command = shlex.join(as_attacker([tool, method, "100000000", str(ALLTOKENS_PAUSE_MS),
                                      "--paced"], CALLERS[0]))
    sandbox.run(["/bin/sh", "-c", f"{command} </dev/null >{output} 2>{output}.err &"],
                check=True)
    world.wait_until(lambda: sandbox.read(output), 30, f"the calls of {method}")


def calls_during(sandbox, output, waits):
    """Round trips (ms) of the calls that overlap one of the waits, and how many failed."""
    times, failed = [], 0
    for line in sandbox.read(output).splitlines():
        fields = line.split()
        began, ended = float(fields[0]), float(fields[1])
        if any(began < end and ended > start for start, end in waits):
            times.append((ended - began) * 1000)
            failed += fields[2:] == ["failed"]
    return sorted(times), failed


def alltokens_wait(report, rounds):
    """A user's allTokens calls while removals wait for a session to lock."""
    with world.World(logind=False) as sandbox:
        stage = Stage(sandbox, 5, console=True)
        output = f"{BENCH}/alltokens-calls"
        paced_calls(sandbox, "allTokens", output)
        # The same calls while no removal runs: what the service and the machine give anyway.
        with MachineProbe(sandbox.build_dir) as idle_probe:
            quiet = (time.monotonic(), time.sleep(IDLE_CALLS_S) or time.monotonic())
        with MachineProbe(sandbox.build_dir) as probe:
            removals = [stage.waited_removal(stage.console) for _ in range(rounds)]
        times, failed = calls_during(sandbox, output, [(lock, end) for _, lock, end in removals])
        idle, _ = calls_during(sandbox, output, [quiet])
        assert stage.daemon.stop() == 0
    waits = [(end - lock) * 1000 for _, lock, end in removals]
    report.say(f"alltokens_wait: a user's allTokens, one call every {ALLTOKENS_PAUSE_MS} ms, "
               f"during {rounds} removals' waits for a session without a screen locker")
    report.say(f"  the removal to LockSession (ms)  "
               f"{describe([(lock - before) * 1000 for before, lock, _ in removals])}")
    report.say(f"  the wait (ms)                    {describe(waits)}")
    report.say(f"  allTokens round trip (ms)        {describe(times)}")
    report.say(f"  {len(times)} calls overlapped the waits, {failed} of them failed")
    report.say(f"  {probe.describe()}")
    report.say(f"  with no removal, {IDLE_CALLS_S} s (ms)    {describe(idle)}")
    report.say(f"  {idle_probe.describe()}")
    say_waited(stage, report)
    p99 = nearest_rank(times, 0.99)
    ahead = "" if stage.decides_ahead else "; the daemon decides nothing ahead"
    report.figure("allTokens answered during a removal's wait for the lock, p99", round(p99, 2),
                  "ms", ALLTOKENS_TARGET_MS,
                  note=f"{len(times)} calls of one user, one every {ALLTOKENS_PAUSE_MS} ms, that "
                       f"overlapped {rounds} waits of {statistics.median(waits):.0f} ms; median "
                       f"{statistics.median(times):.2f} ms, max {times[-1]:.2f} ms, {failed} "
                       f"failed; {probe.describe()}; with no removal the same calls take "
                       f"{statistics.median(idle):.2f} ms median, {nearest_rank(idle, 0.99):.2f} "
                       f"ms p99{ahead}")


def log_rate(report, seconds):
    """Records per second the daemon logs while one user floods it with calls and names."""
    with world.World() as sandbox:
        sandbox.add_user("mallory", ATTACKER)
        sandbox.write_daemon_config("{}\n")
        daemon = sandbox.start_daemon().wait_ready()
        daemon.wait_for_log("Запуск основного цикла FileWatcher")
        tool = os.path.join(sandbox.build_dir, "bench", "kx_dbus_call_bench")
        sandbox.mkdir(BENCH)
        leave_running(sandbox, f"{tool} allTokens 100000000 1")
        recreate_names(sandbox, 1000)
        time.sleep(10)  # past a quiet user's burst allowance
        mark = sandbox.log_mark()
        time.sleep(seconds)
        records = daemon.records(since=mark)
        assert daemon.stop() == 0
    kinds = {"D-Bus call lines": lambda text: text.startswith("[INFO] dbus: "),
             "ticket cache lines": lambda text: "/tmp/krb5cc_" in text or "valid uid" in text,
             "summaries": lambda text: text.startswith("[WARNING] Пропущено")}
    counts = {kind: sum(1 for record in records if test(record.text))
              for kind, test in kinds.items()}
    rate = len(records) / seconds
    breakdown = ", ".join(f"{kind} {count / seconds:.1f}/s" for kind, count in counts.items())
    report.say(f"log records of the daemon during one user's flood: {rate:.1f} per second "
               f"({breakdown}; {seconds} s)")
    report.figure("log records per second sustained by one user's flood (D-Bus calls, /tmp "
                  "names)", round(rate, 1), "records/s", LOG_RATE_TARGET,
                  note=f"{breakdown}; counted over {seconds} s after 10 s of flood")


def main():
    report = Report("removal_lock_latency")
    name = report.arg(0, "small", str)
    if name == "log_rate":
        log_rate(report, report.arg(1, 30))
    elif name == "alltokens_wait":
        alltokens_wait(report, report.arg(1, 50))
    elif name in ROWS:
        run_row(name, report.arg(1, ROWS[name].rounds), report)
    else:
        raise SystemExit(f"no row {name}: {', '.join([*ROWS, 'alltokens_wait', 'log_rate'])}")
    report.say_figures()
    report.finish()


if __name__ == "__main__":
    main()
