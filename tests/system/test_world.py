"""The test world itself: what it isolates, what it records and that it leaves nothing behind.
Every later system test relies on these properties (its mocks, stubs and stand-in processes
are exercised by the tests that use them)."""

import os
import socket
import subprocess
import textwrap
import uuid

import world as world_module
from world import LOG_ERR, LOG_LOCAL7, wait_until

PYTHON = "/usr/bin/python3"


def test_changes_inside_do_not_reach_the_host(world):
    name = "kxworld-probe-" + uuid.uuid4().hex
    paths = [f"/etc/{name}", f"/usr/local/etc/{name}", f"/var/lib/{name}", f"/root/{name}",
             f"/tmp/{name}", f"/var/run/{name}", f"/home/{name}"]
    world.run(["touch", *paths], check=True)
    world.add_user(name + "-user", 61000)
    world.set_hostname("elsewhere")

    assert [path for path in paths if not world.exists(path) or os.path.lexists(path)] == []
    assert world.listdir("/run") == ["dbus", "kxworld", name]  # /var/run: the fresh /run
    with open("/etc/passwd") as host_passwd:
        assert name not in host_passwd.read()
    assert world.run(["hostname"]).stdout == "elsewhere\n"
    assert socket.gethostname() != "elsewhere"


def test_log_records_keep_facility_level_ident_and_text(world):
    world.run([PYTHON, "-c", textwrap.dedent("""
        import socket, syslog
        syslog.openlog("probe")
        syslog.syslog(syslog.LOG_LOCAL7 | syslog.LOG_ERR, "[ERROR] Ошибка 5")
        raw = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        raw.sendto("<191>Dec  6 09:15:54 probe[77]: a\\\\b\\nc".encode(), "/dev/log")
    """)], check=True)

    assert [(r.facility, r.level, r.pid, r.text) for r in world.records(ident="probe")] == [
        (LOG_LOCAL7, LOG_ERR, None, "[ERROR] Ошибка 5"), (23, 7, 77, "a\\b\nc")]
    # The C++ tests' view (tests/world/WorldLog.h): one escaped line per record.
    assert world.read(world_module.LOG_TEXT).splitlines()[-2:] == [
        "23 3 [ERROR] Ошибка 5", "23 7 a\\\\b\\nc"]


def test_power_off_ends_only_the_machine(world):
    bystander = world.spawn(["mate-panel"])
    first_machine = world.machine()

    world.run([PYTHON, "-c", "import ctypes; ctypes.CDLL(None).reboot(0x4321FEDC)"])

    assert world.machine_powered_off()
    wait_until(lambda: not bystander.alive(), what="the machine's processes to end")
    # The world lives on: log receiver, buses and mocks still serve, and a new machine boots.
    daemon = world.start_daemon().wait_ready()
    assert world.machine() is not first_machine
    assert daemon.stop() == 0
    assert daemon.records()[-1].text == "[INFO] Korvex Sentrix daemon finished"


def test_neither_a_stop_nor_a_killed_test_runner_leaves_a_process_or_a_mount():
    def host_mounts():
        with open("/proc/self/mountinfo") as mountinfo:
            return sorted(line.split()[4] for line in mountinfo)

    def alive(pids):
        return [pid for pid in pids if world_module._alive(pid)]

    mounts = host_mounts()
    runner = subprocess.Popen([PYTHON, "-c", textwrap.dedent(f"""
        import sys, time
        sys.path.insert(0, {world_module.HERE!r})
        import world
        sandbox = world.World().start()
        daemon = sandbox.start_daemon().wait_ready()
        print(sandbox.init_pid, daemon.host_pid, flush=True)
        time.sleep(60)
    """)], stdout=subprocess.PIPE, env=dict(os.environ))
    orphaned = [int(pid) for pid in runner.stdout.readline().split()]
    with world_module.World() as other:
        daemon = other.start_daemon().wait_ready()
        helper = other.spawn(["xfreerdp"])
        pids = [other.init_pid, other.machine().init_pid, daemon.host_pid, helper.host_pid]
        assert alive(pids) == pids and len(orphaned) == 2 and alive(orphaned) == orphaned
    assert alive(pids) == []

    runner.kill()
    runner.wait()
    wait_until(lambda: not alive(orphaned), what="the orphaned world to end")
    assert host_mounts() == mounts


def test_run_in_world_passes_the_status_and_shows_the_log_on_failure():
    for status in (0, 7):
        result = subprocess.run(
            [os.path.join(world_module.HERE, "run-in-world"), "sh", "-c",
             f'test -n "$KX_WORLD_LOG" && logger -p local7.err note-{status}; exit {status}'],
            capture_output=True, text=True)
        assert result.returncode == status
        assert ("23 3 " in result.stderr and f"note-{status}" in result.stderr) == bool(status)
