"""The test world itself: what it isolates, what it records and what it lets a test script.
Every later system test relies on these properties."""

import os
import signal
import socket
import subprocess
import textwrap
import uuid

import pytest
import world as world_module
from world import LOG_ERR, LOG_LOCAL7, wait_until

PYTHON = "/usr/bin/python3"
RUN_IN_WORLD = os.path.join(world_module.HERE, "run-in-world")


def python_in(world, code):
    """Runs Python code as a process of the world's machine; returns its stdout."""
    return world.run([PYTHON, "-c", textwrap.dedent(code)], check=True).stdout


def test_changes_inside_do_not_reach_the_host(world):
    name = "kxworld-probe-" + uuid.uuid4().hex
    paths = [f"/etc/{name}", f"/usr/local/etc/{name}", f"/var/lib/{name}", f"/root/{name}",
             f"/tmp/{name}", f"/var/run/{name}", f"/home/{name}"]
    world.run(["touch", *paths], check=True)
    world.add_user(name + "-user", 61000)
    world.set_hostname("elsewhere")

    for path in paths:
        assert world.exists(path)
        assert not os.path.lexists(path)
    # /var/run is the world's own fresh /run.
    assert world.listdir("/run") == ["dbus", "kxworld", name]
    with open("/etc/passwd") as host_passwd:
        assert name not in host_passwd.read()
    assert world.run(["hostname"]).stdout == "elsewhere\n"
    assert socket.gethostname() != "elsewhere"


def test_log_records_keep_facility_level_ident_and_text(world):
    python_in(world, """
        import socket, syslog
        syslog.openlog("probe")
        syslog.syslog(syslog.LOG_LOCAL7 | syslog.LOG_ERR, "[ERROR] Ошибка 5")
        raw = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        raw.sendto("<191>Dec  6 09:15:54 probe[77]: a\\\\b\\nc".encode(), "/dev/log")
    """)

    error, debug = world.records(ident="probe")
    assert (error.facility, error.level, error.pid, error.text) == (
        LOG_LOCAL7, LOG_ERR, None, "[ERROR] Ошибка 5")
    assert (debug.facility, debug.level, debug.pid, debug.text) == (23, 7, 77, "a\\b\nc")
    # The C++ tests' view (tests/world/WorldLog.h): one escaped line per record.
    lines = world.read(world_module.LOG_TEXT).splitlines()
    assert lines[-2:] == ["23 3 [ERROR] Ошибка 5", "23 7 a\\\\b\\nc"]


def test_stubs_and_accounts_answer_as_told(world):
    world.stub("systemctl", stdout="inactive\n", status=3)
    world.add_group("smartcard", 3000)
    world.add_user("ivanov", 60001, groups=["smartcard"], gecos="Иван Иванов")

    result = world.run(["sh", "-c", "systemctl is-active sssd; echo status $?; adcli info x"])

    assert result.stdout == "inactive\nstatus 3\n"
    assert world.stub_calls("systemctl") == [["is-active", "sssd"]]
    assert world.stub_calls("adcli") == [["info", "x"]]
    assert world.run(["id", "ivanov"]).stdout == (
        "uid=60001(ivanov) gid=60001(ivanov) groups=60001(ivanov),3000(smartcard)\n")
    assert world.run(["getent", "passwd", "60001"]).stdout == (
        "ivanov:x:60001:60001:Иван Иванов:/home/ivanov:/bin/bash\n")
    assert world.stat("/home/ivanov").st_uid == 60001


LOGIND_CLIENT = """
    import dbus
    manager = dbus.Interface(dbus.SystemBus().get_object(
        "org.freedesktop.login1", "/org/freedesktop/login1"), "org.freedesktop.login1.Manager")
    try:
        for entry in manager.{call}:
            print(*entry)
        print("ok")
    except dbus.exceptions.DBusException as error:
        print(error.get_dbus_name())
"""


def logind_call(world, call):
    return python_in(world, LOGIND_CLIENT.format(call=call)).splitlines()


def test_logind_lists_sessions_and_locks_as_scripted(world):
    logind = world.logind
    logind.add_session("c1", 60001, "ivanov")
    logind.add_session("c2", 60002, "petrov@corp.example.com", active=False, without=("Active",))

    assert logind_call(world, "ListSessions()") == [
        "c1 60001 ivanov seat0 /org/freedesktop/login1/session/c1",
        "c2 60002 petrov@corp.example.com seat0 /org/freedesktop/login1/session/c2", "ok"]
    assert "Active" not in logind.session("c2")

    assert logind_call(world, 'LockSession("c1") or ()') == ["ok"]
    assert (logind.session("c1")["LockedHint"], logind.session("c2")["LockedHint"]) == (
        True, False)
    logind.on_lock_session("ignore")
    assert logind_call(world, 'LockSession("c2") or ()') == ["ok"]
    assert logind.session("c2")["LockedHint"] is False
    logind.on_lock_session("fail")
    assert logind_call(world, 'LockSession("c2") or ()') == [
        "org.freedesktop.DBus.Error.AccessDenied"]

    logind.on_lock_sessions("lock", delay_ms=200)
    assert logind_call(world, "LockSessions() or ()") == ["ok"]
    assert logind.session("c2")["LockedHint"] is False
    wait_until(lambda: logind.session("c2")["LockedHint"], what="delayed LockedHint")
    assert logind.calls("LockSession") == [["c1"], ["c2"], ["c2"]]


def test_screensaver_mock_on_the_session_bus(world):
    client = """
        import dbus
        saver = dbus.Interface(dbus.SessionBus().get_object("org.mate.ScreenSaver",
                               "/org/mate/ScreenSaver"), "org.mate.ScreenSaver")
        print(bool(saver.GetActive()))
        saver.Lock()
        print(bool(saver.GetActive()))
    """
    assert python_in(world, client).split() == ["False", "True"]

    # Scripted like logind's mock (a failing call is checked there).
    world.screensaver.set_active(False)
    world.screensaver.on_lock("ignore")
    assert python_in(world, client).split() == ["False", "False"]
    assert world.screensaver.calls("Lock") == [[], []]


def test_spawned_processes_look_real_from_inside(world):
    client = world.spawn(["xfreerdp", "/u:ivanov", "/d:corp", "/v:rdp.corp"],
                         parent=["/opt/kx/bin/kxsentrix", "--connect"])

    inside = python_in(world, f"""
        for pid in ({client.pid}, {client.parent.pid}):
            comm = open(f"/proc/{{pid}}/comm").read().strip()
            cmdline = open(f"/proc/{{pid}}/cmdline").read().split("\\0")
            ppid = [l.split()[1] for l in open(f"/proc/{{pid}}/status") if l.startswith("PPid")]
            print(comm, ppid[0], *cmdline)
    """)
    assert inside.splitlines() == [
        f"xfreerdp {client.parent.pid} xfreerdp /u:ivanov /d:corp /v:rdp.corp ",
        "kxsentrix 0 /opt/kx/bin/kxsentrix --connect "]

    world.run(["kill", "-INT", str(client.pid)], check=True)
    client.wait_for_signal(signal.SIGINT)
    wait_until(lambda: not client.alive(), what="the client to end")
    assert client.parent.alive() and client.parent.signals() == []


def test_power_off_ends_only_the_machine(world):
    bystander = world.spawn(["mate-panel"])
    first_machine = world.machine()

    world.run([PYTHON, "-c", "import ctypes; ctypes.CDLL(None).reboot(0x4321FEDC)"])

    assert world.machine_powered_off()
    wait_until(lambda: not bystander.alive(), what="the machine's processes to end")
    # The world lives on: log receiver, buses and mocks still serve, and a new machine boots.
    world.logind.add_session("c1", 60001, "ivanov")
    daemon = world.start_daemon().wait_ready()
    assert world.machine() is not first_machine
    assert daemon.stop() == 0
    assert daemon.records()[-1].text == "[INFO] Korvex Sentrix daemon finished"


def host_processes_alive(pids):
    return [pid for pid in pids if world_module._alive(pid)]


def test_stop_leaves_no_process_and_no_mount():
    def host_mounts():
        with open("/proc/self/mountinfo") as mountinfo:
            return sorted(line.split()[4] for line in mountinfo)

    mounts = host_mounts()
    with world_module.World() as other:
        daemon = other.start_daemon().wait_ready()
        helper = other.spawn(["xfreerdp"])
        pids = [other.init_pid, other.machine().init_pid, daemon.host_pid, helper.host_pid]
        assert host_processes_alive(pids) == pids
    assert host_processes_alive(pids) == []
    assert host_mounts() == mounts


def test_killed_test_runner_takes_its_world_along():
    runner = subprocess.Popen([PYTHON, "-c", textwrap.dedent(f"""
        import sys, time
        sys.path.insert(0, {world_module.HERE!r})
        import world
        sandbox = world.World().start()
        daemon = sandbox.start_daemon().wait_ready()
        print(sandbox.init_pid, daemon.host_pid, flush=True)
        time.sleep(60)
    """)], stdout=subprocess.PIPE, env=dict(os.environ))
    pids = [int(pid) for pid in runner.stdout.readline().split()]
    assert len(pids) == 2 and host_processes_alive(pids) == pids

    runner.kill()
    runner.wait()

    wait_until(lambda: not host_processes_alive(pids), what="the orphaned world to end")


@pytest.mark.parametrize("status", [0, 7])
def test_run_in_world_passes_the_status_and_shows_the_log_on_failure(status):
    result = subprocess.run(
        [RUN_IN_WORLD, "sh", "-c",
         f'test -n "$KX_WORLD_LOG" && logger -p local7.err note-{status}; exit {status}'],
        capture_output=True, text=True)

    assert result.returncode == status
    assert ("23 3 " in result.stderr and f"note-{status}" in result.stderr) == (status != 0)
