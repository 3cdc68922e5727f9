#!/usr/bin/python3
"""Soak run: kxsentrixd, best from the sanitizer build, in a test world under load for a long
while, then checked for what such a run wears out.

Load, all at once:
  - CYCLES insert/remove cycles of simulated tokens with random content (labels and serials of
    every length up to the field's, Cyrillic, with NUL and control bytes, not UTF-8 at all;
    binary certificate ids; up to 100 certificates, some of them unreadable; profiles), each
    entry renamed into the token directory as kxsim does, about 6 tokens inserted at any time;
  - 8 clients (tests/soak/soak_client.cpp) calling "allTokens" and "lastDateUpdate" back to back;
  - the configuration file rewritten and renamed into place every second, the removal action
    always "lock", extended logging and the other settings changing;
  - a logind session of ivanov, whose certificate is on about a third of the tokens (local PKI
    logon), so their removals lock his session; and a session of petrov, whom no token matches.

Checked at the end, and printed: the daemon alive; its store ("allTokens") equal to the tokens
inserted at that moment; resident memory of the second half not above the first half beyond
noise; no sanitizer report on the daemon's or the clients' output (leaks are reported when the
daemon stops); every removal of one of ivanov's tokens followed by its LockSession and no other
(the logind mock's call record, and the daemon's records of each removal); every client call
answered with a valid reply. Exits non-zero when any check fails.

    scripts/soak [CYCLES]        (default 10000; builds build-asan/ and runs this file there)
    KX_BUILD_DIR=$PWD/build-asan /usr/bin/python3 tests/soak/soak.py [CYCLES]
"""

import base64
import ctypes
import hashlib
import os
import random
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "world"))
import world  # noqa: E402

TOKENS = "/run/kxsim/tokens"
CLIENTS = 8
TOKENS_INSERTED = 6
# Slot ids; the last is above 2^32 and goes out on D-Bus as its low 32 bits, 100.
SLOTS = list(range(1, 12)) + [2**32 + 100]
PAM_LOCAL_PKI = "auth sufficient pam_kx-tf-auth.so\n"
OWNER, OWNER_UID, OWNER_SESSION = "ivanov", 2001, "c1"
OTHER, OTHER_UID, OTHER_SESSION = "petrov", 2002, "c2"
RECORD_TIMEOUT = 60.0
# Memory of the second half may exceed the first by this much: allocator caches, the sanitizer's
# quarantine settling, the log of a few more calls.
RSS_NOISE_KIB = 4096
RSS_NOISE_SHARE = 0.05
# The heap as the sanitizer counts it varies with the tokens inserted and the encoded token list.
HEAP_NOISE_BYTES = 256 * 1024
HEAP_NOISE_SHARE = 0.10
# A shorter run (the smoke run of the suite) is mostly start-up: its memory is not judged.
MEMORY_SAMPLES_JUDGED = 60
HEAP_PROBE_OUTPUT = "/run/kxsoak-heap"
SANITIZER_REPORT = re.compile(r"Sanitizer|runtime error")


# --- token content ---------------------------------------------------------------------------

def valid_utf8(raw):
    try:
        raw.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


def wire_text(raw):
    """A field as the daemon sends it: up to its first NUL when UTF-8 throughout, else hex."""
    if all(valid_utf8(part) for part in raw.split(b"\0")):
        return raw.split(b"\0")[0].decode("utf-8")
    return raw.hex()


def token_field(raw, size):
    """A blank-padded token info field as the daemon reads it: trailing white space dropped."""
    return (raw + b" " * (size - len(raw))).rstrip(b" \t\n\v\f\r")


def random_text(rng, limit):
    """Bytes for a text field of at most limit bytes, never a line break."""
    kind = rng.randrange(7)
    if kind == 0:
        raw = b""
    elif kind == 1:
        raw = "Токен Иванова №7 рабочий".encode()
    elif kind == 2:
        raw = bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz ABC-_.0123") for _ in range(limit))
    elif kind == 3:
        raw = bytes(rng.choice([b for b in range(256) if b != 0x0A]) for _ in range(limit))
    elif kind == 4:
        raw = b"ctl\x01\x1b[31m\tend\0after"
    elif kind == 5:
        raw = b"trailing   \t"
    else:
        raw = b"bad \xff\xfe \xc3"
    raw = raw[:limit]
    while raw and kind == 1 and not valid_utf8(raw):
        raw = raw[:-1]  # Cyrillic cut at a character
    return raw


def quoted(raw):
    return b'"' + raw + b'"'


class Certificates:
    """A pool of certificate DER values made once: readable ones of several shapes, the
    owner's, and ones the simulator accepts but OpenSSL cannot read."""

    SUBJECTS = [
        "/CN=Алиса Иванова/O=Пример/DC=example/DC=org",
        "/CN=" + "x" * 64 + "/O=Long Org",
        "/DC=org/DC=corp/DC=dept/CN=a/CN=b/O=Corp",
        "/CN=smith/O=EXAMPLE.ORG",
        "/CN=root CA/O=CA Org",
        "/CN=tab\tname/O=controls",
    ]

    def __init__(self, directory):
        readable = [self._make(directory, f"c{number}", subject)
                    for number, subject in enumerate(self.SUBJECTS)]
        owner_pem = os.path.join(directory, "owner.pem")
        self.owner = self._make(directory, "owner", f"/CN={OWNER}/O=Local", pem=owner_pem)
        with open(owner_pem) as file:
            self.owner_pem = file.read()
        tbs = b"\x02\x01\x01" + b"\x30\x00" * 4
        inner = b"\x30" + bytes([len(tbs)]) + tbs
        unreadable = b"\x30" + bytes([len(inner)]) + inner
        # (DER, the fingerprint clients see: none for a certificate the daemon cannot read)
        self.pool = [(der, self.fingerprint(der)) for der in readable] + [(unreadable, "")]

    @staticmethod
    def fingerprint(der):
        return hashlib.sha1(der).hexdigest().upper()

    @staticmethod
    def _make(directory, name, subject, pem=None):
        der = os.path.join(directory, name + ".der")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", "/dev/null",
                        "-days", "30", "-utf8", "-subj", subject, "-addext",
                        "subjectAltName=otherName:1.3.6.1.4.1.311.20.2.3;UTF8:u@CORP,URI:urn:x",
                        "-outform", "DER", "-out", der], check=True, capture_output=True)
        if pem:
            subprocess.run(["openssl", "x509", "-inform", "DER", "-in", der, "-out", pem],
                           check=True, capture_output=True)
        with open(der, "rb") as file:
            return file.read()


class Token:
    """One token entry and what the daemon's store must show of it."""

    def __init__(self, rng, slot, certificates):
        self.slot = slot
        self.label = random_text(rng, 32)
        self.serial = random_text(rng, 16)
        self.model = rng.choice([b"Korvex Quill", b"Korvex Nacre", b"Korvex Linnet", b"??"])
        self.profiles = [(random_text(rng, 20).replace(b"@", b"") or b"u",
                          random_text(rng, 20).replace(b"@", b""))
                         for _ in range(rng.randrange(4))]
        count = rng.randrange(30, 101) if rng.random() < 0.05 else rng.randrange(9)
        self.certs = [(bytes(rng.randrange(256) for _ in range(rng.randrange(21))),
                       random_text(rng, 40), *rng.choice(certificates.pool))
                      for _ in range(count)]
        self.matches = rng.random() < 1 / 3
        if self.matches:
            owner = certificates.owner
            self.certs.insert(rng.randrange(len(self.certs) + 1),
                              (b"\x0a\x0b", b"owner", owner, certificates.fingerprint(owner)))

    def entry(self):
        lines = [b"label = " + quoted(self.label), b"serial = " + quoted(self.serial),
                 b"model = " + self.model, b"isd = KX123", b"user-pin = 1234"]
        lines += [b"profile = " + quoted(user + b"@" + domain) for user, domain in self.profiles]
        for cert_id, label, der, _ in self.certs:
            lines += [b"", b"[certificate]", b"id = " + cert_id.hex().encode(),
                      b"label = " + quoted(label), b"der = " + base64.b64encode(der)]
        return b"\n".join(lines) + b"\n"

    def expected(self):
        """(slot, label, serial, profiles, certificates) as a client reads them."""
        return (self.slot & 0xFFFFFFFF,
                wire_text(token_field(self.label, 32)),
                wire_text(token_field(self.serial, 16)),
                [(wire_text(user), wire_text(domain)) for user, domain in self.profiles
                 if domain],
                [(wire_text(cert_id), wire_text(label), fingerprint)
                 for cert_id, label, _, fingerprint in self.certs])


def store_view(tokens):
    """The "allTokens" reply reduced to what expected() holds."""
    view = []
    for slot, label, _model, _applet, serial, _isd, _message, _new, profiles, certs in tokens:
        view.append((int(slot), str(label), str(serial),
                     [(str(user), str(domain)) for user, domain in profiles],
                     [(str(cert[0]), str(cert[1]), str(cert[9])) for cert in certs]))
    return view


# --- the daemon's log ------------------------------------------------------------------------

FALLOC_FL_KEEP_SIZE, FALLOC_FL_PUNCH_HOLE = 0x01, 0x02
_libc = ctypes.CDLL(None, use_errno=True)
_libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_long, ctypes.c_long]


def punch_out(path, length):
    """Frees the first length bytes of a tmpfs file that another process appends to: the clients'
    calls are logged at well over a thousand records a second."""
    fd = os.open(path, os.O_WRONLY)
    try:
        _libc.fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, length)
    finally:
        os.close(fd)


class Removal:
    def __init__(self, slot, matches):
        self.slot, self.matches = slot, matches
        self.session_matched = False
        self.locked = False


class DaemonLog:
    """Follows the world's record file as it grows and keeps the figures of the checks. Only the
    daemon writes to the world's /dev/log in this run."""

    LEVELS = {"3": "errors", "4": "warnings"}

    def __init__(self, sandbox):
        self.path = sandbox.host_path(world.LOG_TEXT)
        self.json_path = sandbox.host_path(world.LOG_JSON)
        self.file = open(self.path, "rb")
        self.rest = b""
        self.pending = []  # records noted but not yet looked at by wait_for
        self.read_bytes = 0
        self.counts = {"records": 0, "errors": 0, "warnings": 0, "lock fallbacks": 0}
        self.problems = {}  # error and warning texts, numbers and paths left out, by count
        self.removals = []     # of ivanov's and others' tokens, in order
        self.current = None    # the removal being handled

    def _texts(self):
        """The records that arrived since the last call, each noted once."""
        data = self.file.read()
        self.read_bytes += len(data)
        lines = (self.rest + data).split(b"\n")
        self.rest = lines.pop()
        texts = []
        for line in lines:
            _facility, level, text = line.split(b" ", 2)
            texts.append(text.decode("utf-8", "replace"))
            self._note(level.decode(), texts[-1])
        return texts

    def _note(self, level, text):
        self.counts["records"] += 1
        kind = self.LEVELS.get(level)
        if kind:
            self.counts[kind] += 1
            shape = re.sub(r"/\S*|\b\d+\b", "#", text)
            self.problems[shape] = self.problems.get(shape, 0) + 1
        if text.startswith(("[INFO] Отключено устройство", "[INFO] Подключено новое устройство",
                            "[INFO] Token event")):
            self.current = None
        if text.startswith("[INFO] Отключено устройство в слоте "):
            slot = int(text.split()[5])
            self.current = next((r for r in reversed(self.removals) if r.slot == slot), None)
        elif self.current and text == f"[INFO] Сессия пользователя {OWNER} соответствует токену":
            self.current.session_matched = True
        elif self.current and re.match(r"\[INFO\] 1 сессия пользователей были успешно", text):
            self.current.locked = True
        elif text.startswith("[WARNING] Не удалось заблокировать сессии"):
            self.counts["lock fallbacks"] += 1

    def wait_for(self, prefix, timeout=RECORD_TIMEOUT):
        """Waits for the next record that starts with prefix (a str or a tuple of them)."""
        deadline = time.monotonic() + timeout
        while True:
            while self.pending:
                text = self.pending.pop(0)
                if text.startswith(prefix):
                    return text
            self.pending = self._texts()
            if not self.pending:
                if time.monotonic() > deadline:
                    raise TimeoutError(f"no record {prefix!r} within {timeout} s")
                time.sleep(0.002)

    def catch_up(self):
        self._texts()

    def release_read_part(self):
        punch_out(self.path, self.read_bytes - self.read_bytes % 4096)
        punch_out(self.json_path, os.path.getsize(self.json_path) // 4096 * 4096)


# --- background load -------------------------------------------------------------------------

class ConfigRewriter(threading.Thread):
    """Writes the configuration beside its place and renames it there, once a second."""

    def __init__(self, sandbox, seed):
        super().__init__(daemon=True)
        self.sandbox = sandbox
        self.rng = random.Random(seed)
        self.stopped = threading.Event()
        self.rewrites = 0

    def text(self):
        settings = {"actionOnTokenDisabled": "1",
                    "actionOnTokenDisabledRemote": self.rng.choice(["0", "1"]),
                    "debug": self.rng.choice(["true", "false", "0", "1"]),
                    "forceSessionMatch": "false",
                    "ticketsCheckInterval": str(self.rng.randrange(100, 5000))}
        if self.rng.random() < 0.5:
            return "{\n" + ",\n".join(f'"{key}": {value}' for key, value in settings.items()) + \
                "\n}\n"
        return "".join(f"{key}: {value}\n" for key, value in settings.items())

    def run(self):
        temporary = self.sandbox.host_path(os.path.dirname(world.DAEMON_CONFIG) + "/.conf.tmp")
        final = self.sandbox.host_path(world.DAEMON_CONFIG)
        while not self.stopped.wait(1.0):
            with open(temporary, "w") as file:
                file.write(self.text())
            os.rename(temporary, final)
            self.rewrites += 1


class MemorySampler(threading.Thread):
    def __init__(self, host_pid):
        super().__init__(daemon=True)
        self.host_pid = host_pid
        self.stopped = threading.Event()
        self.samples = []  # resident KiB, once a second

    def run(self):
        while not self.stopped.wait(1.0):
            try:
                with open(f"/proc/{self.host_pid}/status") as file:
                    rss = next(int(line.split()[1]) for line in file
                               if line.startswith("VmRSS:"))
            except (OSError, StopIteration):
                return
            self.samples.append(rss)


# --- the run ---------------------------------------------------------------------------------

def halves(samples):
    """Medians of the first and the second half of a series."""
    half = len(samples) // 2
    return statistics.median(samples[:half]), statistics.median(samples[half:])


def with_heap_probe(sandbox):
    """In the sanitizer build, makes the world start the daemon through a script that loads
    tests/soak/heap_probe.cpp into it (after the sanitizer's runtime, which must come first);
    False in a build without the probe."""
    probe = os.path.join(sandbox.build_dir, "tests", "soak", "kx_heap_probe.so")
    if not os.path.exists(probe):
        return False
    libraries = subprocess.run(["ldd", sandbox.daemon_path], check=True, capture_output=True,
                               text=True).stdout
    runtime = re.search(r"libasan\.so\S* => (\S+)", libraries).group(1)
    script = os.path.join(sandbox.build_dir, "tests", "soak", "kxsentrixd-with-heap-probe")
    with open(script, "w") as file:
        file.write(f"#!/bin/sh\nexport LD_PRELOAD={runtime}:{probe} "
                   f"KX_HEAP_PROBE={HEAP_PROBE_OUTPUT}\nexec {sandbox.daemon_path} \"$@\"\n")
    os.chmod(script, 0o755)
    sandbox.daemon_path = script  # exec keeps the pid: the daemon is the process started
    return True


class Soak:
    def __init__(self, sandbox, cycles, seed, scratch):
        self.sandbox = sandbox
        self.cycles = cycles
        self.rng = random.Random(seed)
        self.certificates = Certificates(scratch)
        self.inserted = {}  # slot -> Token
        self.failures = []
        self.figures = []

    def prepare(self):
        sandbox = self.sandbox
        sandbox.write(world.PAM_SYSTEM_AUTH, PAM_LOCAL_PKI)
        sandbox.write_daemon_config('{\n"actionOnTokenDisabled": 1\n}\n')
        sandbox.add_user(OWNER, OWNER_UID)
        sandbox.add_user(OTHER, OTHER_UID)
        sandbox.write(f"/home/{OWNER}/.eid/authorized_certificates",
                      self.certificates.owner_pem, owner=OWNER)
        sandbox.logind.add_session(OWNER_SESSION, OWNER_UID, OWNER)
        sandbox.logind.add_session(OTHER_SESSION, OTHER_UID, OTHER)
        sandbox.mkdir(TOKENS)
        for slot in self.rng.sample(SLOTS, TOKENS_INSERTED):
            self.write_entry(Token(self.rng, slot, self.certificates))

    def write_entry(self, token):
        temporary = self.sandbox.host_path(f"{TOKENS}/.{token.slot}.tmp")
        with open(temporary, "wb") as file:
            file.write(token.entry())
        os.rename(temporary, self.sandbox.host_path(f"{TOKENS}/{token.slot}"))
        self.inserted[token.slot] = token

    def insert(self, log):
        slot = self.rng.choice([slot for slot in SLOTS if slot not in self.inserted])
        self.write_entry(Token(self.rng, slot, self.certificates))
        log.wait_for(f"[INFO] Подключено новое устройство в слоте {slot} ")

    def remove(self, log):
        slot = self.rng.choice(sorted(self.inserted))
        token = self.inserted.pop(slot)
        log.removals.append(Removal(slot, token.matches))
        os.unlink(self.sandbox.host_path(f"{TOKENS}/{slot}"))
        log.wait_for(f"[INFO] Отключено устройство в слоте {slot} ")
        if token.matches:
            log.wait_for(("[INFO] 1 сессия пользователей были успешно заблокированы",
                          "[WARNING] Не удалось заблокировать сессии"))
            self.sandbox.logind.set_session(OWNER_SESSION, LockedHint=False)

    def run(self):
        self.prepare()
        sandbox = self.sandbox
        probed = with_heap_probe(sandbox)
        daemon = sandbox.start_daemon().wait_ready(timeout=30)
        log = DaemonLog(sandbox)
        for slot in sorted(self.inserted):  # the first scan goes through the slots in order
            log.wait_for(f"[INFO] Подключено новое устройство в слоте {slot} ")
        client_tool = os.path.join(sandbox.build_dir, "tests", "soak", "kx_soak_client")
        clients = sandbox.machine().popen_in([client_tool, str(CLIENTS)], env=sandbox.env())
        sampler = MemorySampler(daemon.host_pid)
        rewriter = ConfigRewriter(sandbox, self.rng.random())
        sampler.start()
        rewriter.start()
        began = time.monotonic()
        done = 0
        try:
            for done in range(1, self.cycles + 1):
                self.insert(log)
                self.remove(log)
                if done % 500 == 0 or done == self.cycles:
                    log.release_read_part()
                    elapsed = time.monotonic() - began
                    rss = sampler.samples[-1] if sampler.samples else 0
                    heap = self.heap_samples()[-1:] if probed else []
                    print(f"  {done:6d} cycles  {elapsed:7.0f} s  {done / elapsed:5.1f} cycles/s  "
                          f"resident {rss / 1024:6.1f} MiB" +
                          "".join(f"  heap {kib:7.0f} KiB" for kib in heap), flush=True)
        except TimeoutError as error:
            self.failures.append(f"cycle {done}: {error}")
        elapsed = time.monotonic() - began
        rewriter.stopped.set()
        rewriter.join()
        time.sleep(1.0)  # the last rewrite's reload and a few more calls
        sampler.stopped.set()
        sampler.join()
        log.catch_up()
        self.figures.append(("cycles", f"{done} in {elapsed:.0f} s ({done / elapsed:.1f}/s)"))
        self.figures.append(("configuration rewrites", str(rewriter.rewrites)))

        self.check_alive(daemon)
        if daemon.running():
            self.check_store()
        self.check_memory(sampler.samples, self.heap_samples() if probed else None)
        self.check_clients(clients)
        self.check_locks(log)
        self.check_log(log)
        self.check_sanitizers(daemon)

    # --- checks ------------------------------------------------------------------------------

    def check(self, name, holds, figure, detail=""):
        self.figures.append((name, f"{figure}  {'ok' if holds else 'FAILED'}"))
        if not holds:
            self.failures.append(f"{name}: {detail or figure}")

    def check_alive(self, daemon):
        alive = daemon.running() and not daemon.powered_off()
        self.check("daemon alive", alive, "running" if alive else
                   f"ended with status {daemon.returncode}")

    def check_store(self):
        reply = self.sandbox.system_bus().call_blocking(
            "kx.daemon.server", "/", "kx.daemon.server", "allTokens", "", (), timeout=60)
        stored = store_view(reply)
        expected = [self.inserted[slot].expected() for slot in sorted(self.inserted)]
        same = stored == expected
        detail = ""
        if not same:
            detail = f"store {stored!r:.2000}\nexpected {expected!r:.2000}"
        self.check("store equals inserted tokens", same,
                   f"{len(stored)} tokens, {sum(len(t[4]) for t in stored)} certificates",
                   detail)

    def heap_samples(self):
        path = self.sandbox.host_path(HEAP_PROBE_OUTPUT)
        with open(path) as file:
            return [int(line) / 1024 for line in file.read().split()]

    def check_memory(self, resident, heap):
        """Resident memory is judged in a plain build; in the sanitizer build, where the
        sanitizer's own bookkeeping grows it, the heap as the sanitizer counts it is."""
        if len(resident) < MEMORY_SAMPLES_JUDGED:
            self.figures.append(("resident memory", f"not judged: {len(resident)} samples, "
                                 f"{MEMORY_SAMPLES_JUDGED} needed"))
            return
        rss = halves(resident)
        rss_figure = (f"median {rss[0] / 1024:.1f} -> {rss[1] / 1024:.1f} MiB, peak "
                      f"{max(resident) / 1024:.1f} MiB ({len(resident)} samples")
        if heap is None:
            allowed = max(RSS_NOISE_KIB, rss[0] * RSS_NOISE_SHARE)
            self.check("resident memory, second half over first", rss[1] - rss[0] <= allowed,
                       f"{rss_figure}, allowed +{allowed / 1024:.1f} MiB)")
            return
        self.figures.append(("resident memory (sanitizer build, not judged)", rss_figure + ")"))
        live = halves(heap)
        allowed = max(HEAP_NOISE_BYTES / 1024, live[0] * HEAP_NOISE_SHARE)
        self.check("heap, second half over first", live[1] - live[0] <= allowed,
                   f"median {live[0]:.0f} -> {live[1]:.0f} KiB, peak {max(heap):.0f} KiB "
                   f"({len(heap)} samples, allowed +{allowed:.0f} KiB)")

    def check_clients(self, clients):
        stdout, stderr = clients.communicate(timeout=120)
        summary = stdout.decode(errors="replace").strip()
        self.check(f"{CLIENTS} clients, calls answered and valid", clients.returncode == 0,
                   summary.replace("\n", "; "), stderr.decode(errors="replace")[-3000:])
        self.check("sanitizer reports of the clients",
                   not SANITIZER_REPORT.search(stderr.decode(errors="replace")), "none"
                   if not SANITIZER_REPORT.search(stderr.decode(errors="replace")) else "found")

    def check_locks(self, log):
        owners = [removal for removal in log.removals if removal.matches]
        calls = self.sandbox.logind.calls("LockSession")
        handled = all(removal.session_matched == removal.matches and
                      removal.locked == removal.matches for removal in log.removals)
        self.check("LockSession per removal of the owner's tokens",
                   calls == [[OWNER_SESSION]] * len(owners) and handled,
                   f"{len(owners)} of {len(log.removals)} removals, {len(calls)} LockSession calls",
                   f"calls {calls[:5]}..., removals not handled as expected: "
                   f"{[r.slot for r in log.removals if not (r.session_matched == r.matches)]}")
        fallback = len(self.sandbox.logind.calls("LockSessions"))
        self.check("no lock-all fallback", fallback == 0 and log.counts["lock fallbacks"] == 0,
                   f"{fallback} LockSessions calls, {log.counts['lock fallbacks']} timeouts")

    def check_log(self, log):
        self.figures.append(("daemon log records", f"{log.counts['records']}, "
                             f"{log.counts['errors']} errors, {log.counts['warnings']} warnings"))
        for shape, count in sorted(log.problems.items(), key=lambda item: -item[1])[:6]:
            self.figures.append((f"  {count} times", shape[:120]))

    def check_sanitizers(self, daemon):
        status = daemon.stop(signal.SIGTERM, timeout=60) if daemon.running() else daemon.returncode
        output = daemon.output()
        found = SANITIZER_REPORT.search(output)
        self.check("daemon stopped cleanly, no sanitizer report", status == 0 and not found,
                   f"status {status}, " + ("report found" if found else "no report"),
                   output[-5000:])


def main():
    cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    seed = int(os.environ.get("KX_SOAK_SEED", time.time_ns() % 2**32))
    print(f"soak: {cycles} cycles, {CLIENTS} clients, daemon {world.build_dir()}/src/kxsentrixd, "
          f"seed {seed}", flush=True)
    with tempfile.TemporaryDirectory() as scratch, world.World() as sandbox:
        soak = Soak(sandbox, cycles, seed, scratch)
        try:
            soak.run()
        except Exception as error:  # a broken run is a failed one, with what it had so far
            soak.failures.append(f"run ended early: {type(error).__name__}: {error}")
    print("soak summary:")
    for name, figure in soak.figures:
        print(f"  {name:45} {figure}")
    for failure in soak.failures:
        print(f"FAILED: {failure}")
    print("soak: " + ("passed" if not soak.failures else f"{len(soak.failures)} checks failed"))
    return 0 if not soak.failures else 1


if __name__ == "__main__":
    sys.exit(main())
