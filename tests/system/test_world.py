"""The test world itself: what it isolates, what it records and that it leaves nothing behind.
Its mocks, stubs, log and power-off are exercised by the tests that use them."""

import os
import socket
import subprocess
import textwrap
import uuid

import world as world_module
from world import wait_until

PYTHON = "/usr/bin/python3"


def test_changes_inside_do_not_reach_the_host(world):
    name = "kxworld-probe-" + uuid.uuid4().hex
    paths = [f"/etc/{name}", f"/usr/local/etc/{name}", f"/var/lib/{name}", f"/root/{name}",
             f"/tmp/{name}", f"/var/run/{name}", f"/home/{name}", "/run/kxworld/bin/adcli"]
    world.run(["sh", "-c", 'for path; do echo "#$0" >> "$path"; done', name, *paths], check=True)
    world.add_user(name + "-user", 61000)
    world.set_hostname("elsewhere")

    assert [path for path in paths if not world.exists(path) or os.path.lexists(path)] == []
    assert world.listdir("/run") == ["dbus", "kxworld", name]  # /var/run: the fresh /run
    for host_file in ("/etc/passwd", os.path.join(world_module.HERE, "stub.py")):
        with open(host_file) as content:
            assert name not in content.read()
    assert world.run(["hostname"]).stdout == "elsewhere\n"
    assert socket.gethostname() != "elsewhere"


def test_neither_a_stop_nor_a_killed_test_runner_leaves_a_process_or_a_mount():
    def host_mounts():
        return sorted(line.split()[4] for line in open("/proc/self/mountinfo"))

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
