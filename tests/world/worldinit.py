#!/usr/bin/python3
"""Init (pid 1) of a test world.

Started by world.py through `unshare --mount --pid --fork --mount-proc ...`, so it runs in fresh
mount, PID, UTS, IPC and network namespaces. It turns the inherited view of the host into a
sandbox (overlays over /etc, /usr/local, /var and /root, fresh /tmp, /run and /home, a private
/dev with a recording /dev/log), starts the private buses and their mocks, reports "ready" on the
pipe it was given, and then reaps orphans until it is killed. Killing it ends every process of
the world, and the mounts vanish with the last of them.
"""

import ctypes
import json
import os
import re
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
STATE = "/run/kxworld"

MS_NOSUID = 0x2
SO_TIMESTAMPNS = 35  # and SCM_TIMESTAMPNS; Python does not name them
MS_NODEV = 0x4
MS_BIND = 0x1000
MS_MOVE = 0x2000
MS_REC = 0x4000

# Directories the world replaces. Host paths it must keep (the source and build trees) are
# bind-mounted back when they lie below one of them.
OVERLAID = ("/etc", "/usr/local", "/var", "/root")
FRESH = {"/run": "0755", "/tmp": "1777", "/home": "0755"}

_libc = ctypes.CDLL(None, use_errno=True)


def mount(source, target, fstype=None, flags=0, data=None):
    encode = lambda text: text.encode() if text is not None else None
    if _libc.mount(encode(source), encode(target), encode(fstype), flags, encode(data)) != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"mount {fstype or source} on {target}: {os.strerror(error)}")


def is_below(path, directory):
    return path == directory or path.startswith(directory.rstrip("/") + "/")


def set_up_filesystem(keep_paths):
    # Take hold of the host paths to keep before anything is mounted over them.
    kept = [(path, os.open(path, os.O_PATH)) for path in keep_paths]

    mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=" + FRESH["/run"])
    # Overlay upper and work directories must not live on an overlay: this tmpfs is theirs.
    for directory in OVERLAID:
        name = directory.strip("/").replace("/", "-")
        upper, work = f"{STATE}/overlay/{name}/upper", f"{STATE}/overlay/{name}/work"
        os.makedirs(upper)
        os.makedirs(work)
        mount("overlay", directory, "overlay", 0,
              f"lowerdir={directory},upperdir={upper},workdir={work}")
    for directory, mode in FRESH.items():
        if directory != "/run":
            mount("tmpfs", directory, "tmpfs", MS_NOSUID | MS_NODEV, "mode=" + mode)
    set_up_dev()

    # Debian's /var/run is a symlink to /run; anywhere else, make it one in effect.
    if os.path.realpath("/var/run") != "/run":
        os.makedirs("/var/run", exist_ok=True)
        mount("/run", "/var/run", None, MS_BIND)

    replaced = OVERLAID + tuple(FRESH) + ("/dev",)
    for path, fd in kept:
        if any(is_below(path, directory) for directory in replaced):
            os.makedirs(path, exist_ok=True)
            mount(f"/proc/self/fd/{fd}", path, None, MS_BIND | MS_REC)
        os.close(fd)


def set_up_dev():
    """A private /dev: the usual character devices, the host's ptys, fresh shm, our /dev/log."""
    staging = f"{STATE}/dev"
    os.makedirs(staging)
    mount("tmpfs", staging, "tmpfs", MS_NOSUID, "mode=0755")
    for name in ("null", "zero", "full", "random", "urandom", "tty"):
        device = os.stat("/dev/" + name)
        os.mknod(f"{staging}/{name}", stat.S_IFCHR | 0o666, device.st_rdev)
        os.chmod(f"{staging}/{name}", 0o666)
    if os.path.exists("/dev/fuse"):  # for root's FUSE mounts in the world (World.fuse_mount)
        os.mknod(f"{staging}/fuse", stat.S_IFCHR | 0o600, os.stat("/dev/fuse").st_rdev)
    for name, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                         ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2"),
                         ("ptmx", "pts/ptmx")):
        os.symlink(target, f"{staging}/{name}")
    os.mkdir(f"{staging}/pts")
    mount("/dev/pts", f"{staging}/pts", None, MS_BIND)
    os.mkdir(f"{staging}/shm")
    mount("tmpfs", f"{staging}/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777")
    mount(staging, "/dev", None, MS_MOVE)


def write_text(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)
    os.chmod(path, mode)


def set_up_system_files(options):
    socket.sethostname(options["hostname"])
    # Accounts come from the world's own files, so tests control them fully, and from the
    # world's directory service (kx_nss_world.c), which knows none but can be made to fail.
    write_text("/etc/nsswitch.conf", "passwd: files kxworld\ngroup: files kxworld\n"
               "shadow: files\nhosts: files\n")
    write_text("/etc/hostname", options["hostname"] + "\n")
    try:
        # As on a systemd machine: a burst of log records must find room, since the daemon does
        # not wait for the log (the kernel default, 10, would drop a removal's records).
        write_text("/proc/sys/net/unix/max_dgram_qlen", "512\n")
    except OSError:
        pass
    os.makedirs(f"{STATE}/bin")
    os.makedirs(f"{STATE}/stubs")
    os.makedirs(f"{STATE}/procs")
    os.makedirs(f"{STATE}/services")
    # Copies, not links: what the world writes to its commands stays in the world.
    for name in options["stubs"]:
        shutil.copyfile(os.path.join(HERE, "stub.py"), f"{STATE}/bin/{name}")
        os.chmod(f"{STATE}/bin/{name}", 0o755)


# --- system log ------------------------------------------------------------------------------

HEADER = re.compile(rb"<(\d{1,3})>")
TIMESTAMP = re.compile(rb"[A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d ")
MARK_IDENT = b"kxworld-mark"
# Records sent only to keep the log busy (a test's flood): received, never kept, so that the
# test side does not read millions of them on every look at the log.
NOISE_IDENT = b"kxworld-noise"
TAG = re.compile(rb"([^:\[\s]*)(?:\[(\d+)\])?: ")


def parse_record(data):
    """Splits a syslog datagram "<PRI>Mmm dd hh:mm:ss ident[pid]: text"."""
    data = data.rstrip(b"\0")
    header = HEADER.match(data)
    priority = int(header.group(1)) if header else 13  # user.notice, as syslogd assumes
    rest = data[header.end():] if header else data
    timestamp = TIMESTAMP.match(rest)
    if timestamp:
        rest = rest[timestamp.end():]
    tag = TAG.match(rest)
    ident, pid = b"", None
    if tag:
        ident = tag.group(1)
        pid = int(tag.group(2)) if tag.group(2) else None
        rest = rest[tag.end():]
    return priority >> 3, priority & 7, ident, pid, rest


class LogReceiver(threading.Thread):
    """Receives every datagram sent to /dev/log and appends it to two files, one write per
    record: records.txt ("<facility> <level> <text>", for C++ tests) and records.jsonl (with the
    ident, the sender's pid and the arrival time, for Python tests)."""

    def __init__(self, directory):
        super().__init__(daemon=True)
        os.makedirs(directory)
        self.text_path = f"{directory}/records.txt"
        self.json_path = f"{directory}/records.jsonl"
        flags = os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC
        self.text_fd = os.open(self.text_path, flags, 0o644)
        self.json_fd = os.open(self.json_path, flags, 0o644)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        # The kernel's arrival time of each record: when this thread gets to run is no part
        # of a daemon's reaction time.
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.bind("/dev/log")
        os.chmod("/dev/log", 0o666)

    def run(self):
        ucred_size = struct.calcsize("3i")
        timespec_size = struct.calcsize("2q")
        sequence = 0
        while True:
            data, ancillary, _, _ = self.sock.recvmsg(
                65536, socket.CMSG_SPACE(ucred_size) + socket.CMSG_SPACE(timespec_size))
            # Both clocks read now: the kernel stamp, in CLOCK_REALTIME, goes to the
            # CLOCK_MONOTONIC of time.monotonic() with the offset between them.
            received, now = time.monotonic(), time.time()
            sender = None
            for level, kind, payload in ancillary:
                if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                    sender = struct.unpack("3i", payload[:ucred_size])[0]
                elif level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    seconds, nanoseconds = struct.unpack("2q", payload[:timespec_size])
                    received -= now - (seconds + nanoseconds / 1e9)
            facility, severity, ident, pid, text = parse_record(data)
            if ident == NOISE_IDENT:
                continue
            if ident == MARK_IDENT:
                # The test side's barrier: every record sent before it has been written now.
                os.write(self.json_fd, b'{"mark": %d}\n' % int(text))
                continue
            escaped = text.replace(b"\\", b"\\\\").replace(b"\n", b"\\n")
            os.write(self.text_fd, b"%d %d %s\n" % (facility, severity, escaped))
            record = {"seq": sequence, "facility": facility, "level": severity,
                      "ident": ident.decode("utf-8", "replace"), "pid": pid, "sender": sender,
                      "text": text.decode("utf-8", "replace"), "received": received}
            os.write(self.json_fd, (json.dumps(record, ensure_ascii=False) + "\n").encode())
            sequence += 1


# --- buses and mocks -------------------------------------------------------------------------

def start_with_ready_pipe(argv, env, ready_option, output):
    """Starts a service that writes a line to a pipe when it is ready; returns the reader.
    Its own output goes to a file under /run/kxworld/services."""
    reader, writer = os.pipe()
    log_path = f"{STATE}/services/{output}"
    with open(log_path, "wb") as log:
        process = subprocess.Popen(argv + [ready_option.format(fd=writer)], env=env,
                                   pass_fds=[writer], stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=log)
    os.close(writer)
    return process, reader, log_path


def wait_ready(name, process, reader, log_path):
    with os.fdopen(reader) as pipe:
        line = pipe.readline()
    if not line:
        with open(log_path, encoding="utf-8", errors="replace") as log:
            output = log.read()[-2000:]
        raise RuntimeError(f"{name} did not start (status {process.wait()}): {output}")
    return line.strip()


def start_buses(env, names=("system", "session")):
    os.makedirs("/run/dbus", exist_ok=True)
    buses = {}
    for name in names:
        argv = ["dbus-daemon", f"--config-file={HERE}/{name}-bus.conf", "--nofork",
                "--nopidfile", "--nosyslog"]
        buses[name] = start_with_ready_pipe(argv, env, "--print-address={fd}",
                                            f"{name}-bus.log")
    return {name: wait_ready(f"{name} dbus-daemon", *started) for name, started in buses.items()}


def start_mocks(options, env):
    mocks = {}
    for name, (bus, template) in (("logind", ("system", f"{HERE}/logind_world.py")),
                                  ("screensaver", ("session", f"{HERE}/mate_screensaver.py"))):
        if options[name]:
            argv = [sys.executable, f"{HERE}/mockhost.py", "--bus", bus, "--template", template,
                    "--logfile", f"{STATE}/services/{name}-calls.log"]
            mocks[name] = start_with_ready_pipe(argv, env, "--ready-fd={fd}", f"{name}.log")
    for name, started in mocks.items():
        wait_ready(f"{name} mock", *started)


def restart_system_bus(env):
    """Ends the system bus and the logind mock as a bus restart does, and starts both anew."""
    ended = []
    for pid in (int(name) for name in os.listdir("/proc") if name.isdigit()):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                cmdline = file.read()
        except OSError:
            continue
        if b"/system-bus.conf" in cmdline or b"/logind_world.py" in cmdline:
            os.kill(pid, signal.SIGTERM)
            ended.append(pid)
    for pid in ended:  # the world's init reaps them
        while os.path.exists(f"/proc/{pid}"):
            time.sleep(0.005)
    start_buses(env, ["system"])
    start_mocks({"logind": True, "screensaver": False}, env)


def reap_forever():
    while True:
        try:
            os.wait()
        except ChildProcessError:
            threading.Event().wait(0.5)


def main():
    if sys.argv[1] == "--restart-system-bus":
        restart_system_bus(json.loads(sys.argv[2]))
        return
    options = json.loads(sys.argv[1])
    ready = os.fdopen(options["ready_fd"], "w")
    try:
        set_up_filesystem(options["keep"])
        set_up_system_files(options)
        LogReceiver(f"{STATE}/log").start()
        env = options["env"]
        start_buses(env)
        start_mocks(options, env)
    except Exception as error:  # reported to the host, which raises it
        ready.write(f"error: {type(error).__name__}: {error}\n")
        ready.close()
        sys.exit(1)
    ready.write("ready\n")
    ready.close()
    reap_forever()


if __name__ == "__main__":
    main()
