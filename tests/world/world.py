"""Sandboxed test worlds for kxsentrixd. See README.md beside this file.

A `World` is a throw-away Linux system inside private namespaces: overlays over /etc,
/usr/local, /var and /root, fresh /tmp, /run and /home, a private /dev whose /dev/log records
every system log record, a private system bus with a logind mock and a session bus with a MATE
screensaver mock, and stub commands. The daemon under test, the shipped build/src/kxsentrixd, runs
there with its real paths inside a nested PID namespace, the world's "machine", which a power-off
ends without harming anything else. Nothing a world does reaches the host, and everything it
started is gone when it stops, also when the test runner is killed.
"""

import ctypes
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from typing import List, Optional

from mocks import Logind, ScreenSaver

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
PYTHON = "/usr/bin/python3"

STATE = "/run/kxworld"
LOG_TEXT = f"{STATE}/log/records.txt"
LOG_JSON = f"{STATE}/log/records.jsonl"
MARK_IDENT = b"kxworld-mark"  # the log barrier's records: see World.sync_log
SYSTEM_BUS_SOCKET = "/run/dbus/system_bus_socket"
SESSION_BUS_SOCKET = f"{STATE}/session_bus_socket"

# The daemon's own paths, as it uses them.
PID_FILE = "/var/run/kxauthd.pid"
DAEMON_CONFIG = "/usr/local/etc/kxsentrix/kxsentrixd.conf"
PAM_SYSTEM_AUTH = "/etc/pam.d/system-auth"
LOGIN_DEFS = "/etc/login.defs"
# While this file exists, the world's directory service, consulted after /etc/passwd and
# /etc/group, answers as a service that is down.
NSS_UNAVAILABLE = f"{STATE}/nss-unavailable"

LOG_LOCAL7 = 23
LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG = 3, 4, 6, 7

STUBBED_COMMANDS = ("systemctl", "adcli", "journalctl")
WORLD_NAMESPACES = ("--mount", "--pid", "--uts", "--ipc", "--net")
# Host variables that world processes still get (sanitizer settings, terminal).
PASSED_VARIABLES = ("TERM", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS",
                    "KX_BUILD_DIR")

_libc = ctypes.CDLL(None, use_errno=True)
_libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_long, ctypes.c_long]
_PR_SET_PDEATHSIG = 1


def build_dir():
    return os.path.abspath(os.environ.get("KX_BUILD_DIR") or os.path.join(SOURCE_DIR, "build"))


def _die_with_parent():
    """preexec_fn of every process the host starts for a world: it dies with its parent, so a
    killed test runner takes its worlds along. nsenter and unshare hand a child's killing signal
    on by raising it on themselves; an inherited "ignore" must not swallow it."""
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
        _libc.signal(number, ctypes.c_void_p(0))  # SIG_DFL


def _cache_says(build, line):
    """Whether the build directory's CMakeCache.txt has this line."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as cache:
            return line + "\n" in cache.read()
    except FileNotFoundError:
        return False


def _children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as file:
        return [int(child) for child in file.read().split()]


def _wait_for_child(process, timeout=5.0):
    """Host pid of the first child of a running host process (nsenter, unshare)."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            children = _children(process.pid)
        except FileNotFoundError:
            children = []
        if children:
            return children[0]
        if process.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError(f"{process.args[0]} started no child (status {process.poll()})")
        time.sleep(0.0005)


def _namespace_pids(host_pid):
    """The pid of a process in each PID namespace from the host's down to its own."""
    with open(f"/proc/{host_pid}/status") as file:
        for line in file:
            if line.startswith("NSpid:"):
                return [int(pid) for pid in line.split()[1:]]
    raise RuntimeError(f"no NSpid for {host_pid}")


def _alive(host_pid):
    try:
        with open(f"/proc/{host_pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except (FileNotFoundError, ProcessLookupError):  # gone before or while it was read
        return False


def _dying(host_pid):
    """True when the process is gone, ending, or has SIGKILL pending (as the init of a PID
    namespace has right after a power-off in it)."""
    kill_bit = 1 << (signal.SIGKILL - 1)
    try:
        with open(f"/proc/{host_pid}/status") as file:
            fields = dict(line.split(":", 1) for line in file if ":" in line)
        with open(f"/proc/{host_pid}/stat") as file:
            flags = int(file.read().rsplit(")", 1)[1].split()[6])
    except (FileNotFoundError, ProcessLookupError):
        return True
    pending = int(fields["ShdPnd"], 16) | int(fields["SigPnd"], 16)
    return fields["State"].split()[0] in ("Z", "X") or bool(pending & kill_bit) or bool(
        flags & 0x4)  # PF_EXITING


def wait_until(predicate, timeout=5.0, what="condition"):
    """Polls until predicate() returns something true and returns it."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.005)


@dataclass
class Record:
    """One system log record as the world's /dev/log received it."""
    seq: int
    facility: int
    level: int
    ident: str
    pid: Optional[int]      # from the "ident[pid]:" tag, when the sender put one there
    sender: Optional[int]   # the sending process (pid in the world's namespace)
    text: str
    received: Optional[float] = None  # arrival at /dev/log, CLOCK_MONOTONIC (as time.monotonic)

    def __str__(self):
        return f"{self.facility} {self.level} {self.ident}[{self.sender}]: {self.text}"


def _matches(record, pattern, level, ident, sender):
    if level is not None and record.level != level:
        return False
    if ident is not None and record.ident != ident:
        return False
    if sender is not None and record.sender != sender:
        return False
    if pattern is None:
        return True
    if isinstance(pattern, re.Pattern):
        return pattern.search(record.text) is not None
    return record.text == pattern


class World:
    """One sandboxed world. Use it as a context manager, or call start() and stop()."""

    def __init__(self, hostname="kxworld", logind=True, screensaver=True):
        self.hostname = hostname
        self.options = {"logind": logind, "screensaver": screensaver}
        self.build_dir = build_dir()
        self.daemon_path = os.path.join(self.build_dir, "src", "kxsentrixd")
        self.coverage = _cache_says(self.build_dir, "KX_COVERAGE:BOOL=ON")
        self.init_pid = None
        self._unshare = None
        self._machine = None
        self._machines = []
        self._processes = []     # host-side nsenter processes of daemons, helpers, commands
        self._counter = 0
        self._records = []
        self._log_offset = 0
        self._marks_sent = 0
        self._marks_seen = 0
        self._log_lock = threading.Lock()  # a demo may follow the log from another thread
        self._buses = {}
        self.daemons = []

    # --- lifecycle ---------------------------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *_):
        self.stop()

    def start(self, timeout=10.0):
        reader, writer = os.pipe()
        options = dict(self.options, hostname=self.hostname, ready_fd=writer,
                       keep=sorted(p for p in {SOURCE_DIR, self.build_dir} if os.path.isdir(p)),
                       env=self.env(),
                       stubs=list(STUBBED_COMMANDS))
        argv = ["unshare", *WORLD_NAMESPACES, "--fork", "--mount-proc", "--kill-child", "--",
                PYTHON, os.path.join(HERE, "worldinit.py"), json.dumps(options)]
        self._unshare = subprocess.Popen(argv, pass_fds=[writer], stdin=subprocess.DEVNULL,
                                         stderr=subprocess.PIPE, env=self.env(),
                                         preexec_fn=_die_with_parent, start_new_session=True)
        os.close(writer)
        try:
            with os.fdopen(reader) as pipe:
                ready = select.select([pipe], [], [], timeout)[0]
                line = pipe.readline().strip() if ready else "error: no answer in time"
                if line.startswith("error:"):
                    line += "\n" + pipe.read()  # the rest of a multi-line report
            if line != "ready":
                raise RuntimeError(f"the world did not start: {line or 'init died'}")
            self.init_pid = _wait_for_child(self._unshare)
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        """Ends every process of the world at once; its mounts go with the last of them. In a
        coverage build the daemons still running are stopped first: a killed one writes no
        counts."""
        for daemon in self.daemons if self.coverage else ():
            try:
                daemon.stop()
            except subprocess.TimeoutExpired:
                pass
        for bus in self._buses.values():
            bus.close()
        self._buses.clear()
        if self.init_pid is not None:
            try:
                os.kill(self.init_pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for process in [self._unshare, *self._machines, *self._processes]:
            if process is None:
                continue
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if self._unshare is not None:
            self._report_init_errors()
        self._unshare = None
        self._machines, self._processes = [], []
        self.init_pid = None

    def _report_init_errors(self):
        # unshare complains when it cannot hand the init's SIGKILL on; that is how we stop.
        errors = self._unshare.stderr.read().decode("utf-8", "replace")
        self._unshare.stderr.close()
        lines = [line for line in errors.splitlines() if "sigprocmask unblock failed" not in line]
        if lines:
            sys.stderr.write("world init: " + "\n".join(lines) + "\n")

    def env(self, extra=None):
        """The environment of processes in the world; values of None in extra remove a name."""
        env = {
            "PATH": f"{STATE}/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": "/root",
            "LANG": "C.UTF-8",
            "PYTHONDONTWRITEBYTECODE": "1",
            "DBUS_SYSTEM_BUS_ADDRESS": f"unix:path={SYSTEM_BUS_SOCKET}",
            "DBUS_SESSION_BUS_ADDRESS": f"unix:path={SESSION_BUS_SOCKET}",
            "KX_WORLD_LOG": LOG_TEXT,
            # Where glibc finds the world's directory service (NSS_UNAVAILABLE).
            "LD_LIBRARY_PATH": os.path.join(self.build_dir, "tests", "world", "nss"),
        }
        env.update({name: os.environ[name] for name in PASSED_VARIABLES if name in os.environ})
        for name, value in (extra or {}).items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env

    # --- files -------------------------------------------------------------------------------

    def host_path(self, path, follow=True):
        """The host's path to a world path. Symlinks are resolved inside the world: through
        /proc/PID/root an absolute link would otherwise lead back to the host."""
        if self.init_pid is None:
            raise RuntimeError("the world is not running")
        root = f"/proc/{self.init_pid}/root"
        pending = [part for part in path.split("/") if part]
        resolved = []
        links = 0
        while pending:
            part = pending.pop(0)
            if part == ".":
                continue
            if part == "..":
                if resolved:
                    resolved.pop()
                continue
            candidate = "/".join([root, *resolved, part])
            if (pending or follow) and os.path.islink(candidate):
                links += 1
                if links > 40:
                    raise OSError(40, "too many levels of symbolic links", path)
                target = os.readlink(candidate)
                if target.startswith("/"):
                    resolved = []
                pending = [p for p in target.split("/") if p] + pending
            else:
                resolved.append(part)
        return "/".join([root, *resolved])

    def write(self, path, content, mode=0o644, owner=None):
        """Writes a file in the world (str as UTF-8, or bytes), creating its directory."""
        host = self.host_path(path)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        data = content.encode() if isinstance(content, str) else content
        with open(host, "wb") as file:
            file.write(data)
        os.chmod(host, mode)
        if owner is not None:
            os.chown(host, *self._owner_ids(owner))

    def read(self, path):
        with open(self.host_path(path), encoding="utf-8") as file:
            return file.read()

    def read_bytes(self, path):
        with open(self.host_path(path), "rb") as file:
            return file.read()

    def exists(self, path):
        return os.path.lexists(self.host_path(path, follow=False))

    def stat(self, path, follow=True):
        return os.stat(self.host_path(path, follow), follow_symlinks=follow)

    def listdir(self, path):
        return sorted(os.listdir(self.host_path(path)))

    def mkdir(self, path, mode=0o755, owner=None):
        host = self.host_path(path)
        os.makedirs(host, exist_ok=True)
        os.chmod(host, mode)
        if owner is not None:
            os.chown(host, *self._owner_ids(owner))

    def symlink(self, target, path):
        os.symlink(target, self.host_path(path, follow=False))

    def remove(self, path):
        """Removes a file, a symlink or a whole directory tree."""
        host = self.host_path(path, follow=False)
        if os.path.isdir(host) and not os.path.islink(host):
            for parent, directories, files in os.walk(host, topdown=False):
                for name in files:
                    os.unlink(os.path.join(parent, name))
                for name in directories:
                    entry = os.path.join(parent, name)
                    os.unlink(entry) if os.path.islink(entry) else os.rmdir(entry)
            os.rmdir(host)
        elif os.path.lexists(host):
            os.unlink(host)

    def write_daemon_config(self, text):
        self.write(DAEMON_CONFIG, text)

    def read_pid_file(self):
        """The daemon's pid file content, or None when there is none."""
        return self.read(PID_FILE) if self.exists(PID_FILE) else None

    # --- accounts ----------------------------------------------------------------------------

    def _table(self, path):
        return [line.split(":") for line in self.read(path).splitlines() if line]

    def _write_table(self, path, rows):
        self.write(path, "".join(":".join(row) + "\n" for row in rows))

    def add_group(self, name, gid, members=()):
        rows = [row for row in self._table("/etc/group") if row[0] != name]
        rows.append([name, "x", str(gid), ",".join(members)])
        self._write_table("/etc/group", rows)

    def add_user(self, name, uid, gid=None, groups=(), gecos="", home=None, shell="/bin/bash"):
        """Adds an account to the world's /etc/passwd, with a primary group of its own unless
        gid names an existing one, membership in the given (existing) groups and a home."""
        group_rows = self._table("/etc/group")
        if gid is None:
            gid = uid
        if not any(row[2] == str(gid) for row in group_rows):
            group_rows.append([name, "x", str(gid), ""])
        for row in group_rows:
            if row[0] in groups:
                members = [member for member in row[3].split(",") if member]
                row[3] = ",".join(members + [name])
        missing = set(groups) - {row[0] for row in group_rows}
        if missing:
            raise ValueError(f"no such groups: {sorted(missing)}")
        self._write_table("/etc/group", group_rows)
        home = home or f"/home/{name}"
        passwd = [row for row in self._table("/etc/passwd") if row[0] != name]
        passwd.append([name, "x", str(uid), str(gid), gecos, home, shell])
        self._write_table("/etc/passwd", passwd)
        self.mkdir(home, 0o755, (uid, gid))

    def _owner_ids(self, owner):
        if isinstance(owner, str):
            for row in self._table("/etc/passwd"):
                if row[0] == owner:
                    return int(row[2]), int(row[3])
            raise KeyError(f"no user {owner} in the world")
        return owner

    def set_hostname(self, name):
        self.run(["hostname", name], check=True)
        self.write("/etc/hostname", name + "\n")

    # --- stub commands -----------------------------------------------------------------------

    def stub(self, name, stdout="", status=0, stderr=""):
        """Makes NAME on the world's PATH a stub answering with this output and status."""
        self.write(f"{STATE}/stubs/{name}/answer.json",
                   json.dumps({"stdout": stdout, "stderr": stderr, "status": status}))
        command = f"{STATE}/bin/{name}"
        if not self.exists(command):
            with open(os.path.join(HERE, "stub.py"), "rb") as stub:
                self.write(command, stub.read(), mode=0o755)

    def stub_calls(self, name):
        """The argument lists of every call of stub NAME so far."""
        path = f"{STATE}/stubs/{name}/calls.jsonl"
        if not self.exists(path):
            return []
        return [json.loads(line)["argv"] for line in self.read(path).splitlines()]

    # --- the machine: the daemon's PID namespace ---------------------------------------------

    def machine(self):
        """The running machine, booted now if there is none (first use, or powered off)."""
        if self._machine is None or self._machine.popen.poll() is not None:
            self._machine = Machine(self)
            self._machines.append(self._machine.popen)
        return self._machine

    def machine_powered_off(self):
        """True when the last machine ended through a power-off (its init killed by SIGINT)."""
        return self._machine is not None and self._machine.powered_off()

    def fuse_mount(self, directory, answer):
        """Mounts a FUSE file system on the world directory (as a user may on one of hers) whose
        every lookup hangs ("hang") or fails with the named errno ("EMFILE"); returns the
        server's host pid: killing it ends what the mount holds up."""
        if not os.path.exists("/dev/fuse"):
            import pytest
            pytest.skip("no /dev/fuse")
        output = f"{STATE}/procs/fuse-{self._next_id()}.out"
        launched = self.machine().launch(
            [PYTHON, os.path.join(HERE, "kx_fuse_world.py"), directory, answer],
            env=self.env(), output=output)
        wait_until(lambda: self.exists(output) and "ready" in self.read(output)
                   or launched.popen.poll() is not None, what="the FUSE mount")
        if launched.popen.poll() is not None:
            raise RuntimeError(f"the FUSE server ended: {self.read(output)}")
        return launched.host_pid

    def hung_flush_env(self):
        """The daemon's environment for file systems whose flush never ends (kx_hung_sync,
        preloaded; a sanitizer's runtime then need not come first)."""
        return {"LD_PRELOAD": os.path.join(self.build_dir, "tests", "world", "libkx_hung_sync.so"),
                "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}

    def _next_id(self):
        self._counter += 1
        return self._counter

    def start_daemon(self, *args, env=None, drop_capabilities=(), refuse_syscalls=(),
                     heap_probe=None):
        """Starts build/src/kxsentrixd with these arguments in the machine. Capabilities named
        in drop_capabilities (e.g. "sys_boot") are taken from it, still as root; system calls
        named in refuse_syscalls (e.g. "pidfd_open") fail for it with ENOSYS. With heap_probe (a
        world path; the sanitizer build only) it appends the bytes its heap holds there once a
        second (kx_heap_probe.cpp)."""
        if not os.access(self.daemon_path, os.X_OK):
            raise FileNotFoundError(f"{self.daemon_path} is not built (KX_BUILD_DIR?)")
        number = self._next_id()
        output = f"{STATE}/procs/daemon-{number}.out"
        machine = self.machine()
        argv = [self.daemon_path, *args]
        if drop_capabilities:
            # setpriv execs the daemon in its own process, so its pid stays the one launched.
            dropped = ",".join(f"-{name}" for name in drop_capabilities)
            argv = ["setpriv", f"--bounding-set={dropped}", f"--inh-caps={dropped}", "--", *argv]
        if refuse_syscalls:
            argv = [PYTHON, os.path.join(HERE, "refuse_syscalls.py"), *refuse_syscalls, "--", *argv]
        if heap_probe:  # env execs the daemon, after the sanitizer's runtime, which must come first
            runtime = re.search(r"libasan\.so\S* => (\S+)", subprocess.run(
                ["ldd", self.daemon_path], check=True, capture_output=True, text=True).stdout)[1]
            probe = os.path.join(self.build_dir, "tests", "world", "kx_heap_probe.so")
            argv = ["env", f"LD_PRELOAD={runtime}:{probe}", f"KX_HEAP_PROBE={heap_probe}", *argv]
        launched = machine.launch(argv, env=self.env(env), output=output)
        daemon = Daemon(self, machine, launched, output)
        self.daemons.append(daemon)
        return daemon

    def spawn(self, argv, name=None, parent=None, parent_name=None):
        """Starts a stand-in process in the machine with exactly this argv as its command line
        and NAME (default: the last part of argv[0]) as its command name. With parent (an argv),
        a stand-in parent is started first and the process becomes its child."""
        proc = os.path.join(self.build_dir, "tests", "world", "kx_world_proc")
        if not os.access(proc, os.X_OK):
            raise FileNotFoundError(f"{proc} is not built (KX_BUILD_DIR?)")
        child = self._proc_spec(argv, name, proc)
        if parent is None:
            launched = self.machine().launch(
                argv, executable=child["exe"], env=self.env({"KX_PROC_REPORT": child["report"]}))
            return FakeProcess(self, child["report"], launched.host_pid)
        plan_path = child["report"] + ".plan"
        self.write(plan_path, "\0".join([child["report"], child["exe"], *argv]))
        outer = self._proc_spec(parent, parent_name, proc)
        launched = self.machine().launch(
            parent, executable=outer["exe"],
            env=self.env({"KX_PROC_REPORT": outer["report"], "KX_PROC_CHILD": plan_path}))
        parent_process = FakeProcess(self, outer["report"], launched.host_pid)
        return FakeProcess(self, child["report"], None, parent_process)

    def _proc_spec(self, argv, name, proc):
        number = self._next_id()
        name = name or os.path.basename(argv[0])
        directory = f"{STATE}/procs/{number}"
        self.mkdir(directory)
        self.symlink(proc, f"{directory}/{name}")
        return {"exe": f"{directory}/{name}", "report": f"{directory}/report"}

    def run(self, argv, check=False, capture=True, input=None, timeout=60, cwd=None, env=None):
        """Runs a command in the machine and waits for it (subprocess.CompletedProcess)."""
        popen = self.machine().popen_in(argv, env=self.env(env), cwd=cwd, capture=capture,
                                        interactive=not capture)
        self._processes.append(popen)
        try:
            stdout, stderr = popen.communicate(input.encode() if input else None, timeout)
        except subprocess.TimeoutExpired:
            popen.kill()
            popen.wait()
            raise
        result = subprocess.CompletedProcess(argv, popen.returncode,
                                             stdout.decode() if capture else None,
                                             stderr.decode() if capture else None)
        if check:
            result.check_returncode()
        return result

    def kxsim(self, *args, check=True):
        """Runs the simulated token library's tool build/sim/kxsim in the world; skips the
        calling test when it is not built."""
        tool = os.path.join(self.build_dir, "sim", "kxsim")
        if not os.path.exists(tool):
            import pytest
            pytest.skip("build/sim/kxsim is not built")
        return self.run([tool, *args], check=check)

    # --- system log --------------------------------------------------------------------------

    def records(self, pattern=None, level=None, ident=None, sender=None, since=0,
                sync=True) -> List[Record]:
        """Log records (from index since), filtered like wait_for_log. With sync, every record
        sent before this call is included."""
        if sync:
            self.sync_log()
        else:
            self._read_new_records()
        return [record for record in self._records[since:]
                if _matches(record, pattern, level, ident, sender)]

    def log_mark(self):
        """Index of the next record: pass it as since= to look only at what follows."""
        self.sync_log()
        return len(self._records)

    def sync_log(self, timeout=5.0):
        """Waits until the receiver has written every record sent before this call: /dev/log
        keeps datagrams in order, so a marker sent now comes out after them."""
        self._marks_sent += 1
        mark = self._marks_sent
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
            sender.sendto(b"<191>%s: %d" % (MARK_IDENT, mark), self.host_path("/dev/log"))

        def arrived():
            self._read_new_records()
            return self._marks_seen >= mark
        wait_until(arrived, timeout, "the log receiver")

    def wait_for_log(self, pattern, level=None, ident=None, sender=None, since=0, timeout=5.0):
        """Waits for a record whose text equals pattern (a str) or matches it (a compiled
        regular expression), and returns it."""
        def found():
            matching = self.records(pattern, level, ident, sender, since, sync=False)
            return matching[0] if matching else None
        return wait_until(found, timeout, f"log record {pattern!r}")

    def _read_new_records(self):
        if self.init_pid is None:
            return
        with self._log_lock:
            with open(self.host_path(LOG_JSON), "rb") as file:
                file.seek(self._log_offset)
                data = file.read()
            complete = data[:data.rfind(b"\n") + 1]
            self._log_offset += len(complete)
            self._parse_records(complete)

    def _parse_records(self, complete):
        for line in complete.decode().splitlines():
            entry = json.loads(line)
            if "mark" in entry:
                self._marks_seen = max(self._marks_seen, entry["mark"])
            else:
                self._records.append(Record(**entry))

    def dump(self):
        """Everything useful after a failure: log records and the daemons' output."""
        lines = ["--- world log records (facility level ident[sender]: text) ---"]
        try:
            lines += [str(record) for record in self.records()]
            for daemon in self.daemons:
                output = daemon.output()
                if output:
                    lines += [f"--- output of daemon pid {daemon.pid} ---", output]
        except (OSError, RuntimeError) as error:
            lines.append(f"(world not readable: {error})")
        return "\n".join(lines)

    # --- buses and mocks ---------------------------------------------------------------------

    def _bus(self, kind, socket_path):
        if kind not in self._buses:
            import dbus.bus
            self._buses[kind] = dbus.bus.BusConnection(f"unix:path={self.host_path(socket_path)}")
        return self._buses[kind]

    def system_bus(self):
        """A connection from the host to the world's system bus (python-dbus)."""
        return self._bus("system", SYSTEM_BUS_SOCKET)

    def session_bus(self):
        return self._bus("session", SESSION_BUS_SOCKET)

    def restart_system_bus(self):
        """Restarts the system bus with its logind mock: every connection to the bus ends, and
        the new mock has no sessions."""
        bus = self._buses.pop("system", None)
        if bus is not None:
            bus.close()
        restart = Machine._enter(self.init_pid, WORLD_NAMESPACES,
                                 [PYTHON, os.path.join(HERE, "worldinit.py"),
                                  "--restart-system-bus", json.dumps(self.env())], self.env(),
                                 capture=True)
        _, errors = restart.communicate(timeout=30)
        if restart.returncode != 0:
            raise RuntimeError(f"the system bus did not restart: {errors.decode()}")

    @property
    def logind(self):
        """The logind mock on the system bus (mocks.Logind)."""
        return Logind(self.system_bus())

    @property
    def screensaver(self):
        """The MATE screensaver mock on the session bus (mocks.ScreenSaver)."""
        return ScreenSaver(self.session_bus())


class LogFollower:
    """Follows a world's record file from its start without keeping the records, for runs that log
    more than memory should hold (tests/soak): records() gives (level, text) of each record come
    since its last call; release() frees what was read of the record files, which live in memory."""

    def __init__(self, world):
        self.path, self.json_path = world.host_path(LOG_TEXT), world.host_path(LOG_JSON)
        self.file = open(self.path, "rb")
        self.rest, self.read_bytes = b"", 0

    def records(self):
        data = self.file.read()
        self.read_bytes += len(data)
        lines = (self.rest + data).split(b"\n")
        self.rest = lines.pop()
        return [tuple(line.decode("utf-8", "replace").split(" ", 2)[1:]) for line in lines]

    def release(self):
        for path, length in ((self.path, self.read_bytes),
                             (self.json_path, os.path.getsize(self.json_path))):
            fd = os.open(path, os.O_WRONLY)
            _libc.fallocate(fd, 0x02 | 0x01, 0, length // 4096 * 4096)  # PUNCH_HOLE | KEEP_SIZE
            os.close(fd)


class Machine:
    """A PID and mount namespace inside the world with its own /proc, where the daemon and its
    peer processes run. reboot(RB_POWER_OFF) in here kills only this namespace."""

    def __init__(self, world):
        self.world = world
        argv = ["unshare", "--pid", "--mount", "--fork", "--mount-proc", "--kill-child", "--",
                PYTHON, "-S", os.path.join(HERE, "machineinit.py")]
        self.popen = self._enter(world.init_pid, WORLD_NAMESPACES, argv, world.env())
        unshare = _wait_for_child(self.popen)
        self.init_pid = _wait_for_child(_Pid(unshare))
        # /proc is mounted by the time the init runs its own program.
        wait_until(lambda: b"machineinit" in self._cmdline(), what="the machine's init")

    def _cmdline(self):
        try:
            with open(f"/proc/{self.init_pid}/cmdline", "rb") as file:
                return file.read()
        except FileNotFoundError:
            raise RuntimeError("the machine's init died while booting")

    @staticmethod
    def _enter(target, namespaces, argv, env, cwd=None, capture=False, interactive=False,
               stdin=subprocess.DEVNULL, output=None):
        wd = [f"--wd={cwd}"] if cwd else []
        command = ["nsenter", f"--target={target}", *namespaces, *wd, "--", *argv]
        pipe = subprocess.PIPE if capture else output
        return subprocess.Popen(command, env=env, stdin=None if interactive else stdin,
                                stdout=pipe, stderr=pipe, preexec_fn=_die_with_parent,
                                start_new_session=not interactive)

    def popen_in(self, argv, env, cwd=None, capture=True, interactive=False):
        stdin = subprocess.PIPE if capture else subprocess.DEVNULL
        return self._enter(self.init_pid, WORLD_NAMESPACES, argv, env, cwd, capture,
                           interactive, stdin)

    def launch(self, argv, env, executable=None, output=None):
        """Starts a long-running process in the machine, held before its exec until the host
        has read its pids, so even a process that ends at once can be told apart in the log."""
        hold = ["/bin/bash", "-c", 'read -r _; exec -a "$0" "$@"', argv[0],
                executable or argv[0], *argv[1:]]
        out = open(self.world.host_path(output), "wb") if output else subprocess.DEVNULL
        popen = self._enter(self.init_pid, WORLD_NAMESPACES, hold, env,
                            stdin=subprocess.PIPE, output=out)
        if output:
            out.close()
        self.world._processes.append(popen)
        host_pid = _wait_for_child(popen)
        launched = Launched(popen, host_pid, _namespace_pids(host_pid))
        popen.stdin.write(b"\n")
        popen.stdin.close()
        return launched

    def powered_off(self):
        if self.popen.poll() is None and _dying(self.init_pid):
            self.popen.wait(timeout=5)  # let the news of the init's end travel up
        return self.popen.poll() == -signal.SIGINT


class _Pid:
    """Just enough of a Popen for _wait_for_child on a process the host did not start."""

    def __init__(self, pid):
        self.pid = pid
        self.args = [f"pid {pid}"]

    def poll(self):
        return None if os.path.exists(f"/proc/{self.pid}") else 0


@dataclass
class Launched:
    popen: subprocess.Popen
    host_pid: int
    pids: List[int]   # host, world, machine


# x86_64 numbers of nanosleep and clock_nanosleep, as /proc/<pid>/syscall shows them.
_SLEEP_SYSCALLS = {"35", "230"}
# The D-Bus thread's last start-up record: it has connected and claimed its name, or given up.
_SERVICE_OUTCOME = re.compile(r"^\[(INFO|WARNING)\] (Установлено соединение с dbus\. Запущен "
                              r"интерфейс|Не удалось получить подключение к dbus)")


class Daemon:
    """A daemon started in a world's machine."""

    def __init__(self, world, machine, launched, output):
        self.world = world
        self.machine = machine
        self.popen = launched.popen
        self.host_pid = launched.host_pid
        self.world_pid = launched.pids[1]
        self.pid = launched.pids[-1]  # as the daemon sees itself: what it writes to its pid file
        self._output = output

    @property
    def returncode(self):
        return self.popen.poll()

    def running(self):
        return self.popen.poll() is None

    def stop(self, number=signal.SIGTERM, timeout=10.0):
        """Sends a signal (SIGTERM by default) and waits for the daemon to end."""
        self.signal(number)
        return self.wait(timeout)

    def signal(self, number):
        if self.popen.poll() is None:
            os.kill(self.host_pid, number)

    def wait(self, timeout=10.0):
        """Exit status, or minus the number of the signal that killed it."""
        return self.popen.wait(timeout)

    def powered_off(self):
        """True when this daemon's machine was powered off."""
        return self.machine.powered_off()

    def records(self, pattern=None, level=None, since=0):
        return self.world.records(pattern, level, sender=self.world_pid, since=since)

    def wait_for_log(self, pattern, level=None, since=0, timeout=5.0):
        return self.world.wait_for_log(pattern, level, sender=self.world_pid, since=since,
                                       timeout=timeout)

    def wait_for_pid_file(self, timeout=5.0):
        """Waits until the pid file starts with this daemon's pid."""
        return wait_until(lambda: (self.world.read_pid_file() or "").startswith(f"{self.pid}\n"),
                          timeout, f"pid file with {self.pid}")

    def caught_signals(self):
        """Numbers of the signals the daemon has handlers for (SigCgt in /proc)."""
        with open(f"/proc/{self.host_pid}/status") as file:
            mask = next(int(line.split()[1], 16) for line in file if line.startswith("SigCgt:"))
        return {number for number in range(1, 65) if mask & (1 << (number - 1))}

    def in_slot_loop(self):
        """True while the main thread sleeps between two passes of the slot loop: nothing else
        on that thread sleeps, so once seen, start-up (and its log lines) is over."""
        try:
            with open(f"/proc/{self.host_pid}/syscall") as file:
                return file.read().split()[0] in _SLEEP_SYSCALLS
        except (OSError, IndexError):
            return False

    def wait_ready(self, timeout=5.0):
        """Waits until the daemon holds the pid file, handles SIGINT and SIGTERM, runs its
        slot loop and has its D-Bus service up (or has given up on the bus), so a stop signal
        sent now takes the orderly way and every start-up record has been sent."""
        def ready():
            if not self.running():
                raise RuntimeError(f"the daemon ended with status {self.returncode} at start")
            held = (self.world.read_pid_file() or "").startswith(f"{self.pid}\n")
            return (held and {signal.SIGINT, signal.SIGTERM} <= self.caught_signals()
                    and self.in_slot_loop()
                    and self.world.records(_SERVICE_OUTCOME, sender=self.world_pid, sync=False))
        wait_until(ready, timeout, "the daemon to hold its pid file and run its slot loop")
        return self

    def output(self):
        """What the daemon wrote to stdout and stderr (sanitizer reports land here)."""
        return self.world.read_bytes(self._output).decode("utf-8", "replace")


class FakeProcess:
    """A stand-in process started by World.spawn; it records the signals it receives."""

    def __init__(self, world, report, host_pid, parent=None):
        self.world = world
        self.report = report
        self.parent = parent
        started = wait_until(lambda: self._started(), what=f"start of {report}")
        self.pid, self.ppid = started
        self.host_pid = host_pid if host_pid is not None else self._find_host_pid()

    def _lines(self):
        return self.world.read(self.report).splitlines() if self.world.exists(self.report) else []

    def _started(self):
        for line in self._lines():
            if line.startswith("started "):
                return tuple(int(value) for value in line.split()[1:3])
        return None

    def _find_host_pid(self):
        for child in _children(self.parent.host_pid):
            if _namespace_pids(child)[-1] == self.pid:
                return child
        raise RuntimeError(f"no host pid for stand-in process {self.pid}")

    def signals(self):
        """Numbers of the signals received so far, in order."""
        return [int(line.split()[1]) for line in self._lines() if line.startswith("signal ")]

    def wait_for_signal(self, number, timeout=5.0):
        wait_until(lambda: number in self.signals(), timeout, f"signal {number} to {self.pid}")

    def alive(self):
        return _alive(self.host_pid)
