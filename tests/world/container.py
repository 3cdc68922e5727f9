"""A booted Debian 12 with systemd in a container, for end-to-end tests of the project's packages
under the real service manager, logind, journald and system bus. See README.md beside this file.

The root file system comes from debootstrap (minbase plus systemd and what the packages depend
on) and is cached in the build directory under a key of those dependencies, so only a fresh
machine pays for it; each container runs on a throw-away overlay of it (systemd-nspawn
--volatile=overlay) and leaves nothing behind. systemd-nspawn runs as pid 1 of a PID namespace of
its own: a killed test runner, or the container's power-off, takes every process of it along, and
its mounts go with them. It also runs in a cgroup of its own, where it puts the container's
(--keep-unit, as no systemd runs on the host).
"""

import contextlib
import fcntl
import glob
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

from world import SOURCE_DIR, _children, _die_with_parent, _namespace_pids, wait_until

SUITE = "bookworm"
MIRROR = "http://deb.debian.org/debian"
# The booted system, and gdbus for the tests' stand-ins that talk to logind.
BASE_PACKAGES = ("systemd", "systemd-sysv", "dbus", "libpam-systemd", "libglib2.0-bin")
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
CGROUP_PREFIX = "kx-e2e-"


def project_packages(cache_dir):
    """Paths of the project's Debian packages (scripts/build-debs), made from the source tree
    again only when a file of it changed. Beside them, source-status holds what `git status
    --porcelain` said of the tree before they were made."""
    build_debs = os.path.join(SOURCE_DIR, "scripts", "build-debs")
    listed = subprocess.run(["git", "-C", SOURCE_DIR, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], check=True, capture_output=True).stdout
    state = hashlib.sha256()
    for name in sorted(filter(None, listed.split(b"\0"))):
        with contextlib.suppress(FileNotFoundError):
            status = os.stat(os.path.join(SOURCE_DIR.encode(), name))
            state.update(b"%s %d %d\n" % (name, status.st_size, status.st_mtime_ns))
    out = os.path.join(cache_dir, state.hexdigest()[:16])
    if not os.path.isdir(out):
        shutil.rmtree(cache_dir, ignore_errors=True)
        os.makedirs(out + ".new")
        with open(out + ".new/source-status", "wb") as status:
            status.write(subprocess.run(["git", "-C", SOURCE_DIR, "status", "--porcelain"],
                                        check=True, capture_output=True).stdout)
        _step([build_debs, out + ".new"], out + ".log")
        os.rename(out + ".new", out)
    return sorted(glob.glob(f"{out}/*.deb"))


def _step(argv, log):
    """Runs a step of making the packages or the root file system, its output appended to the
    log; a failure raises with the end of the log."""
    with open(log, "a") as output:
        done = subprocess.run(argv, stdout=output, stderr=subprocess.STDOUT,
                              env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    if done.returncode != 0:
        with open(log, errors="replace") as output:
            raise RuntimeError(f"{' '.join(argv)} failed ({done.returncode}):\n" +
                               "".join(output.readlines()[-30:]))


def _fields(deb):
    shown = subprocess.run(["dpkg-deb", "--field", deb, "Package", "Depends"], check=True,
                           capture_output=True, text=True).stdout
    return dict(line.split(": ", 1) for line in shown.splitlines())


def root_fs(cache_dir, debs):
    """The directory of a root file system with what the debs need, made on first use."""
    fields = [_fields(deb) for deb in debs]
    key = hashlib.sha256(repr([SUITE, MIRROR, BASE_PACKAGES, fields]).encode()).hexdigest()[:16]
    root = os.path.join(cache_dir, key)
    os.makedirs(cache_dir, exist_ok=True)
    with open(os.path.join(cache_dir, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # another build directory's run may be making it
        if os.path.isdir(root):
            return root
        for old in os.listdir(cache_dir):  # other package lists' roots, logs, nspawn's locks
            if old != ".lock":
                path = os.path.join(cache_dir, old)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        made, log = root + ".new", root + ".log"
        _step(["debootstrap", "--variant=minbase", "--include=" + ",".join(BASE_PACKAGES), SUITE,
               made, MIRROR], log)
        # What the packages depend on, as apt resolves it; the packages themselves go again.
        for deb in debs:
            shutil.copy(deb, os.path.join(made, "tmp"))
        _step(["chroot", made, "apt-get", "install", "--yes", "--no-install-recommends",
               *(f"/tmp/{os.path.basename(deb)}" for deb in debs)], log)
        _step(["chroot", made, "dpkg", "--purge", *(item["Package"] for item in fields)], log)
        _step(["chroot", made, "apt-get", "clean"], log)
        for deb in debs:
            os.remove(os.path.join(made, "tmp", os.path.basename(deb)))
        with open(os.path.join(made, "etc", "hostname"), "w") as hostname:
            hostname.write("kxe2e\n")  # not the host's, which debootstrap copies
        os.rename(made, root)
        os.remove(log)
        return root


def until(predicate, timeout=30, what="condition"):
    """Polls predicate() every 0.1 s, as it runs commands in a container, and returns its
    first true result."""
    deadline = time.monotonic() + timeout
    while not (result := predicate()):
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.1)
    return result


def _cgroup_roots():
    """Mount points of the cgroup hierarchies systemd-nspawn works in."""
    with open("/proc/self/mounts") as mounts:
        return [mount for _, mount, kind, options, *_ in (line.split() for line in mounts)
                if kind == "cgroup2" or (kind == "cgroup" and "name=systemd" in options)]


def _remove_cgroup(path):
    for directory, _, _ in sorted(os.walk(path), key=lambda entry: -len(entry[0])):
        try:
            os.rmdir(directory)
        except OSError:
            pass  # still in use (another run's) or already gone


class Container:
    """One container on an overlay of `root`: start() boots it, close() ends it at once.
    `binds` maps paths in it to host files it sees read-only; `log` gets its console output."""

    def __init__(self, root, log, binds=()):
        self.root, self.log, self.binds = root, log, dict(binds)
        self.process = None
        self.leader = None  # host pid of the container's init
        self.cgroups = []

    def start(self, timeout=180):
        for mount in _cgroup_roots():  # leftovers of runs that were killed
            for stale in glob.glob(os.path.join(mount, CGROUP_PREFIX + "*")):
                if not os.path.exists("/proc/" + stale.rsplit("-", 1)[1]):
                    _remove_cgroup(stale)
        self.cgroups = [os.path.join(mount, f"{CGROUP_PREFIX}{os.getpid()}")
                        for mount in _cgroup_roots()]
        for cgroup in self.cgroups:
            os.makedirs(cgroup, exist_ok=True)

        def enter_cgroups():
            _die_with_parent()
            for cgroup in self.cgroups:
                with open(os.path.join(cgroup, "cgroup.procs"), "w") as procs:
                    procs.write("0")

        argv = ["unshare", "--mount", "--pid", "--fork", "--mount-proc", "--kill-child",
                "systemd-nspawn", "--quiet", "--directory", self.root, "--volatile=overlay",
                "--register=no", "--keep-unit", "--boot", "--private-network",
                "--console=read-only", "--machine=kxe2e",
                *(f"--bind-ro={source}:{target}" for target, source in self.binds.items())]
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, preexec_fn=enter_cgroups,
                                            start_new_session=True)

        def container_init():
            if self.process.poll() is not None:
                raise RuntimeError(f"systemd-nspawn ended ({self.process.returncode}):\n" +
                                   self.console())
            nspawn = _children(self.process.pid)
            inits = [pid for pid in (_children(nspawn[0]) if nspawn else [])
                     if _namespace_pids(pid)[-1] == 1]
            return inits[0] if inits else None

        self.leader = wait_until(container_init, timeout, "the container's init")
        deadline = time.monotonic() + timeout
        while True:  # until the service manager has started everything it starts at boot
            state = self.run(["systemctl", "is-system-running", "--wait"], check=False)
            if state.stdout.strip() in ("running", "degraded"):
                break
            if time.monotonic() > deadline:
                raise RuntimeError(f"the container did not boot: {state.stdout}{state.stderr}\n"
                                   + self.console())
            time.sleep(0.1)
        return self

    def close(self):
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)  # unshare: its child nspawn goes with it
        if self.process is not None:
            self.process.wait()
        for cgroup in self.cgroups:
            wait_until(lambda: not _cgroup_busy(cgroup), 30, f"the end of {cgroup}")
            _remove_cgroup(cgroup)

    def stopped(self, timeout):
        """True when the container ended (its init gone, nspawn done) within the timeout."""
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return False
        return True

    def console(self, lines=40):
        with open(self.log, errors="replace") as log:
            return "".join(log.readlines()[-lines:])

    def run(self, argv, user=None, check=True, input=None, timeout=120):
        """Runs argv in the container as root, or as `user` with that user's groups."""
        prefix = ["nsenter", f"--target={self.leader}", "--all", "--", "env", "-i",
                  f"PATH={PATH}", "LANG=C.UTF-8"]
        if user is not None:
            prefix += ["setpriv", f"--reuid={user}", f"--regid={user}", "--init-groups"]
        done = subprocess.run(prefix + list(argv), capture_output=True, text=True, input=input,
                              timeout=timeout, preexec_fn=_die_with_parent)
        if check and done.returncode != 0:
            raise AssertionError(f"{' '.join(argv)}: status {done.returncode}\n{done.stdout}"
                                 f"{done.stderr}")
        return done

    def path(self, path):
        """The host's path to a file in the container."""
        return f"/proc/{self.leader}/root{path}"

    def write(self, path, content, mode=0o644):
        os.makedirs(os.path.dirname(self.path(path)), exist_ok=True)
        with open(self.path(path), "w") as file:
            file.write(content)
        os.chmod(self.path(path), mode)

    def journal(self, *options):
        """Journal entries as dictionaries of their fields."""
        shown = self.run(["journalctl", "--output=json", "--no-pager", *options])
        return [json.loads(line) for line in shown.stdout.splitlines()]

    def journal_mark(self):
        """A cursor after the newest entry, for journal(f"--after-cursor={mark}")."""
        return self.journal("--lines=1")[-1]["__CURSOR"]

    def messages(self, identifier, mark):
        """The texts of the entries of `identifier` after the journal's mark."""
        return [entry["MESSAGE"] for entry in
                self.journal(f"--after-cursor={mark}", f"--identifier={identifier}")]

    def wait_for_message(self, identifier, mark, pattern, timeout=30):
        """Waits for an entry of `identifier` after the mark whose text matches the regular
        expression (from its start); the failure shows the last of them."""
        try:
            return until(lambda: [text for text in self.messages(identifier, mark)
                                  if re.match(pattern, text)], timeout, pattern)
        except TimeoutError:
            raise AssertionError(f"no entry {pattern!r} of {identifier} in the journal; since then:"
                                 "\n" + "\n".join(self.messages(identifier, mark)[-30:])) from None

    def show(self, unit, *properties):
        """The unit's properties, as systemctl shows them: {name: value}."""
        shown = self.run(["systemctl", "show", unit, "--property=" + ",".join(properties)])
        return dict(line.split("=", 1) for line in shown.stdout.splitlines())


def _cgroup_busy(cgroup):
    for directory, _, _ in os.walk(cgroup):
        with open(os.path.join(directory, "cgroup.procs")) as procs:
            if procs.read().strip():
                return True
    return False


if __name__ == "__main__":  # the CTest fixture "packages": made once for a whole test run
    print("\n".join(project_packages(sys.argv[1])))
