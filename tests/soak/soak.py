#!/usr/bin/python3
"""Soak run (scripts/soak [CYCLES], default 10000): kxsentrixd from the sanitizer build in a test
world while, all at once, simulated tokens with random content are inserted and removed (about
6 in at a time), 8 clients (soak_client.cpp) call "allTokens" and "lastDateUpdate" back to back
and the configuration is rewritten and renamed into place every second; ivanov's certificate is
on a third of the tokens (local PKI logon). Then checked: the daemon alive; its store equal to
the tokens inserted; memory of the second half not above the first beyond noise; no sanitizer
report (leaks show when the daemon stops); every removal of ivanov's tokens followed by its
LockSession and no other; every client call answered with a valid reply.
"""

import base64
import collections
import hashlib
import os
import random
import re
import signal
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from types import SimpleNamespace

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "world"))
import world  # noqa: E402

TOKENS = "/run/kxsim/tokens"
CLIENTS = 8
# The last slot id is above 2^32 and goes out on D-Bus as its low 32 bits, 100.
SLOTS = list(range(1, 12)) + [2**32 + 100]
OWNER, OWNER_SESSION = "ivanov", "c1"
# Growth of the second half over the first that is noise: allocator caches, the sanitizer's
# quarantine settling; the heap varies with the tokens inserted and the encoded token list.
RSS_NOISE_KIB, RSS_NOISE_SHARE = 4096, 0.05
HEAP_NOISE_KIB, HEAP_NOISE_SHARE = 256, 0.10
# A shorter run (the suite's smoke run) is mostly start-up: its memory is not judged.
MEMORY_SAMPLES_JUDGED = 60
HEAP_PROBE_OUTPUT = "/run/kxsoak-heap"
SANITIZER_REPORT = re.compile(r"Sanitizer|runtime error")
INSERTED = "[INFO] Подключено новое устройство в слоте "
REMOVED = "[INFO] Отключено устройство в слоте "
LOCKED = "[INFO] 1 сессия пользователей были успешно"
NOT_LOCKED = "[WARNING] Не удалось заблокировать сессии"
MATCHED = f"[INFO] Сессия пользователя {OWNER} соответствует токену"
TEXTS = [b"", "Токен Иванова №7 рабочий".encode(), b"ctl\x01\x1b[31m\tend\0after",
         b"trailing   \t", b"bad \xff\xfe \xc3"]


def random_text(rng, limit):
    """Bytes for a text field of at most limit bytes, never a line break."""
    kind = rng.randrange(len(TEXTS) + 2)
    if kind == 0:
        return bytes(rng.choices(b"abcdefghijklmnopqrstuvwxyz ABC-_.0123", k=limit))
    if kind == 1:
        return rng.randbytes(limit).replace(b"\n", b" ")
    raw = TEXTS[kind - 2][:limit]
    return raw.decode(errors="ignore").encode() if kind == 3 else raw  # Cyrillic cut whole


def wire_text(raw, size=0):
    """A field as a client reads it: a blank-padded token info field of `size` without its
    trailing white space; up to its first NUL when that much is UTF-8, else all of it in hex."""
    raw = raw.ljust(size).rstrip(b" \t\n\v\f\r") if size else raw
    try:
        return raw.split(b"\0")[0].decode("utf-8")
    except UnicodeDecodeError:
        return raw.hex()


def certificates(directory):
    """(DER, fingerprint) of readable certificates of several shapes and of one the simulator
    accepts but OpenSSL cannot read (no fingerprint); and the owner's DER."""
    def make(subject):
        der = os.path.join(directory, "cert.der")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ed25519", "-nodes", "-keyout",
                        "/dev/null", "-utf8", "-subj", subject, "-outform", "DER", "-out", der,
                        "-addext", "subjectAltName=otherName:1.3.6.1.4.1.311.20.2.3;UTF8:u@CORP"
                        ",URI:urn:x"], check=True, capture_output=True)
        with open(der, "rb") as file:
            data = file.read()
        return data, hashlib.sha1(data).hexdigest().upper()

    pool = [make(subject) for subject in [
        "/CN=Алиса Иванова/O=Пример/DC=example/DC=org", f"/CN={'x' * 64}/O=Long Org",
        "/DC=org/DC=corp/DC=dept/CN=a/CN=b/O=Corp", "/CN=smith/O=EXAMPLE.ORG",
        "/CN=root CA/O=CA Org", "/CN=tab\tname/O=controls"]]
    tbs = b"\x02\x01\x01" + b"\x30\x00" * 4
    inner = b"\x30" + bytes([len(tbs)]) + tbs
    return pool + [(b"\x30" + bytes([len(inner)]) + inner, "")], make(f"/CN={OWNER}/O=Local")


def random_token(rng, slot, pool, owner):
    """A token entry as kxsim reads it, and what the daemon's store must show of it."""
    label, serial = random_text(rng, 32), random_text(rng, 16)
    profiles = [(random_text(rng, 20).replace(b"@", b"") or b"u",
                 random_text(rng, 20).replace(b"@", b"")) for _ in range(rng.randrange(4))]
    count = rng.randrange(30, 101) if rng.random() < 0.05 else rng.randrange(9)
    certs = [(rng.randbytes(rng.randrange(21)), random_text(rng, 40), *rng.choice(pool))
             for _ in range(count)]
    matches = rng.random() < 1 / 3
    if matches:
        certs.insert(rng.randrange(len(certs) + 1), (b"\x0a\x0b", b"owner", *owner))
    lines = [b'label = "%s"' % label, b'serial = "%s"' % serial, b"isd = KX123",
             b"model = " + rng.choice([b"Korvex Quill", b"Korvex Nacre", b"Korvex Linnet", b"??"]),
             b"user-pin = 1234"] + [b'profile = "%s@%s"' % profile for profile in profiles]
    for cert_id, cert_label, der, _ in certs:
        lines += [b"", b"[certificate]", b"id = " + cert_id.hex().encode(),
                  b'label = "%s"' % cert_label, b"der = " + base64.b64encode(der)]
    expected = (slot & 0xFFFFFFFF, wire_text(label, 32), wire_text(serial, 16),
                [(wire_text(user), wire_text(domain)) for user, domain in profiles if domain],
                [(wire_text(i), wire_text(name), sha1) for i, name, _, sha1 in certs])
    return SimpleNamespace(slot=slot, entry=b"\n".join(lines) + b"\n", expected=expected,
                           matches=matches)


def store_view(tokens):
    return [(int(token[0]), str(token[1]), str(token[4]),
             [(str(user), str(domain)) for user, domain in token[8]],
             [(str(cert[0]), str(cert[1]), str(cert[9])) for cert in token[9]]) for token in tokens]


class DaemonLog:
    """The daemon's records as they come (only the daemon writes to the world's /dev/log here),
    counted: records, "3" errors, "4" warnings, lock fallbacks; error and warning texts by shape."""

    def __init__(self, sandbox):
        self.follower = world.LogFollower(sandbox)
        self.pending = []
        self.counts, self.problems = collections.Counter(), collections.Counter()

    def catch_up(self):
        records = self.follower.records()
        self.counts["records"] += len(records)
        for level, text in records:
            if level in ("3", "4"):
                self.counts[level] += 1
                self.problems[re.sub(r"/\S*|\b\d+\b", "#", text)] += 1
            self.counts["lock fallbacks"] += text.startswith(NOT_LOCKED)
        return [text for _level, text in records]

    def wait_for(self, prefix, timeout=60.0):
        deadline = time.monotonic() + timeout
        while True:
            while self.pending:
                if (text := self.pending.pop(0)).startswith(prefix):
                    return text
            self.pending = self.catch_up()
            if not self.pending:
                if time.monotonic() > deadline:
                    raise TimeoutError(f"no record {prefix!r} within {timeout} s")
                time.sleep(0.002)


def halves(samples):
    half = len(samples) // 2
    return statistics.median(samples[:half]), statistics.median(samples[half:])


class Soak:
    def __init__(self, sandbox, seed, scratch):
        self.sandbox, self.rng = sandbox, random.Random(seed)
        self.pool, self.owner = certificates(scratch)
        self.inserted = {}  # slot -> random_token
        self.removals = []  # whether each removed token was ivanov's
        self.failures, self.figures = [], []
        self.stopped, self.rewrites, self.resident = threading.Event(), 0, []

    def every_second(self, host_pid, seed):
        """Writes the configuration beside its place and renames it there, the removal action
        always "lock" and the other settings changing; samples the daemon's resident KiB."""
        config = self.sandbox.host_path(world.DAEMON_CONFIG)
        temporary, rng = os.path.join(os.path.dirname(config), ".conf.tmp"), random.Random(seed)
        while not self.stopped.wait(1.0):
            settings = {"actionOnTokenDisabled": 1, "actionOnTokenDisabledRemote": rng.choice("01"),
                        "debug": rng.choice(["true", "false", "0", "1"]),
                        "forceSessionMatch": "false",
                        "ticketsCheckInterval": rng.randrange(100, 5000)}
            json = rng.random() < 0.5
            text = (",\n" if json else "\n").join(f'"{key}": {value}' if json else f"{key}: {value}"
                                                  for key, value in settings.items())
            with open(temporary, "w") as file:
                file.write("{\n" + text + "\n}\n" if json else text + "\n")
            os.rename(temporary, config)
            self.rewrites += 1
            try:
                with open(f"/proc/{host_pid}/status") as file:
                    self.resident.append(int(re.search(r"VmRSS:\s*(\d+)", file.read())[1]))
            except (OSError, TypeError):
                pass  # the daemon is gone: the checks say so

    def insert(self, slot):
        token = random_token(self.rng, slot, self.pool, self.owner)
        temporary = self.sandbox.host_path(f"{TOKENS}/.{slot}.tmp")
        with open(temporary, "wb") as file:
            file.write(token.entry)
        os.rename(temporary, self.sandbox.host_path(f"{TOKENS}/{slot}"))
        self.inserted[slot] = token

    def cycle(self, log):
        slot = self.rng.choice([slot for slot in SLOTS if slot not in self.inserted])
        self.insert(slot)
        log.wait_for(f"{INSERTED}{slot} ")
        slot = self.rng.choice(sorted(self.inserted))
        token = self.inserted.pop(slot)
        self.removals.append(token.matches)
        os.unlink(self.sandbox.host_path(f"{TOKENS}/{slot}"))
        log.wait_for(f"{REMOVED}{slot} ")
        if token.matches:  # a lock without its record, or a record of another removal, times out
            log.wait_for(MATCHED)
            log.wait_for((LOCKED, NOT_LOCKED))
            self.sandbox.logind.set_session(OWNER_SESSION, LockedHint=False)

    def run(self, cycles):
        sandbox = self.sandbox
        sandbox.write(world.PAM_SYSTEM_AUTH, "auth sufficient pam_kx-tf-auth.so\n")
        sandbox.write_daemon_config('{\n"actionOnTokenDisabled": 1\n}\n')
        for user, uid, session in [(OWNER, 2001, OWNER_SESSION), ("petrov", 2002, "c2")]:
            sandbox.add_user(user, uid)
            sandbox.logind.add_session(session, uid, user)
        sandbox.write(f"/home/{OWNER}/.eid/authorized_certificates",
                      ssl.DER_cert_to_PEM_cert(self.owner[0]), owner=OWNER)
        sandbox.mkdir(TOKENS)
        for slot in self.rng.sample(SLOTS, 6):
            self.insert(slot)
        probed = os.path.exists(os.path.join(sandbox.build_dir, "tests", "world",
                                             "kx_heap_probe.so"))
        daemon = sandbox.start_daemon(heap_probe=HEAP_PROBE_OUTPUT if probed else None)
        daemon.wait_ready(timeout=30)
        log = DaemonLog(sandbox)
        for slot in sorted(self.inserted):  # the first scan goes through the slots in order
            log.wait_for(f"{INSERTED}{slot} ")
        clients = sandbox.machine().popen_in(
            [os.path.join(sandbox.build_dir, "tests", "soak", "kx_soak_client"), str(CLIENTS)],
            env=sandbox.env())
        ticker = threading.Thread(target=self.every_second, daemon=True,
                                  args=(daemon.host_pid, self.rng.random()))
        ticker.start()
        began, done = time.monotonic(), 0
        try:
            for done in range(1, cycles + 1):
                self.cycle(log)
                if done % 500 == 0 or done == cycles:
                    log.follower.release()  # the clients' calls log over 1000 records/s
                    elapsed = time.monotonic() - began
                    rss = self.resident[-1] if self.resident else 0
                    heap = f"  heap {self.heap()[-1]:7.0f} KiB" if probed and self.heap() else ""
                    print(f"  {done:6d} cycles  {elapsed:7.0f} s  {done / elapsed:5.1f} cycles/s  "
                          f"resident {rss / 1024:6.1f} MiB{heap}", flush=True)
        except TimeoutError as error:
            self.failures.append(f"cycle {done}: {error}")
        elapsed = time.monotonic() - began
        self.stopped.set()
        ticker.join()
        time.sleep(1.0)  # the last rewrite's reload and a few more calls
        log.catch_up()
        self.figures += [("cycles", f"{done} in {elapsed:.0f} s ({done / elapsed:.1f}/s)"),
                         ("configuration rewrites", str(self.rewrites))]

        alive = daemon.running() and not daemon.powered_off()
        self.check("daemon alive", alive,
                   "running" if alive else f"ended with status {daemon.returncode}")
        if daemon.running():
            stored = store_view(sandbox.system_bus().call_blocking(
                "kx.daemon.server", "/", "kx.daemon.server", "allTokens", "", (), timeout=60))
            expected = [self.inserted[slot].expected for slot in sorted(self.inserted)]
            self.check("store equals inserted tokens", stored == expected,
                       f"{len(stored)} tokens, {sum(len(t[4]) for t in stored)} certificates",
                       f"store {stored!r:.2000}\nexpected {expected!r:.2000}")
        self.check_memory(self.resident, self.heap() if probed else None)

        stdout, stderr = (out.decode(errors="replace") for out in clients.communicate(timeout=120))
        self.check(f"{CLIENTS} clients, calls answered and valid", clients.returncode == 0,
                   stdout.strip().replace("\n", "; "), stderr[-3000:])
        found = SANITIZER_REPORT.search(stderr)
        self.check("sanitizer reports of the clients", not found, "found" if found else "none")

        owners, calls = sum(self.removals), sandbox.logind.calls("LockSession")
        self.check("LockSession per removal of the owner's tokens",
                   calls == [[OWNER_SESSION]] * owners,
                   f"{owners} of {len(self.removals)} removals, {len(calls)} LockSession calls")
        fallback = len(sandbox.logind.calls("LockSessions"))
        self.check("no lock-all fallback", fallback == 0 and log.counts["lock fallbacks"] == 0,
                   f"{fallback} LockSessions calls, {log.counts['lock fallbacks']} timeouts")

        self.figures.append(("daemon log records", f"{log.counts['records']}, "
                             f"{log.counts['3']} errors, {log.counts['4']} warnings"))
        for shape, count in log.problems.most_common(6):
            self.figures.append((f"  {count} times", shape[:120]))
        status = daemon.stop(signal.SIGTERM, timeout=60) if daemon.running() else daemon.returncode
        output = daemon.output()
        found = SANITIZER_REPORT.search(output)
        self.check("daemon stopped cleanly, no sanitizer report", status == 0 and not found,
                   f"status {status}, " + ("report found" if found else "no report"),
                   output[-5000:])

    def check(self, name, holds, figure, detail=""):
        self.figures.append((name, f"{figure}  {'ok' if holds else 'FAILED'}"))
        if not holds:
            self.failures.append(f"{name}: {detail or figure}")

    def heap(self):
        with open(self.sandbox.host_path(HEAP_PROBE_OUTPUT)) as file:
            return [int(line) / 1024 for line in file.read().split()]

    def check_memory(self, resident, heap):
        """Resident memory is judged in a plain build; in the sanitizer build, whose own
        bookkeeping grows it, the heap as the sanitizer counts it is."""
        if len(resident) < MEMORY_SAMPLES_JUDGED:
            return self.figures.append(("resident memory", f"not judged: {len(resident)} samples, "
                                        f"{MEMORY_SAMPLES_JUDGED} needed"))
        rss = halves(resident)
        rss_figure = (f"median {rss[0] / 1024:.1f} -> {rss[1] / 1024:.1f} MiB, peak "
                      f"{max(resident) / 1024:.1f} MiB ({len(resident)} samples")
        if heap is None:
            allowed = max(RSS_NOISE_KIB, rss[0] * RSS_NOISE_SHARE)
            return self.check("resident memory, second half over first", rss[1] - rss[0] <= allowed,
                              f"{rss_figure}, allowed +{allowed / 1024:.1f} MiB)")
        self.figures.append(("resident memory (sanitizer build, not judged)", rss_figure + ")"))
        live = halves(heap)
        allowed = max(HEAP_NOISE_KIB, live[0] * HEAP_NOISE_SHARE)
        self.check("heap, second half over first", live[1] - live[0] <= allowed,
                   f"median {live[0]:.0f} -> {live[1]:.0f} KiB, peak {max(heap):.0f} KiB "
                   f"({len(heap)} samples, allowed +{allowed:.0f} KiB)")


def main():
    cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    seed = int(os.environ.get("KX_SOAK_SEED", time.time_ns() % 2**32))
    print(f"soak: {cycles} cycles, {CLIENTS} clients, daemon {world.build_dir()}/src/kxsentrixd, "
          f"seed {seed}", flush=True)
    with tempfile.TemporaryDirectory() as scratch, world.World() as sandbox:
        soak = Soak(sandbox, seed, scratch)
        try:
            soak.run(cycles)
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
