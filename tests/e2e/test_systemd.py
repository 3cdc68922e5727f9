"""The packages under a real systemd: a booted Debian 12 (tests/world/container.py) with the
project's packages installed, the real logind, journald, PAM stack and system bus under the
installed policy. Two users are logged in, each session with a screen locker stand-in. One machine
serves the whole file: the tests build on each other in file order, and the last one powers the
machine off."""

import os
import re
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "world"))
import container as containers  # noqa: E402
import world  # noqa: E402

SERVICE = "kxsentrixd"
COMMON_AUTH = "/etc/pam.d/common-auth"
USERS = {"ivanov": 5, "petrov": 6}  # and the slot of each one's token
LOCKED_ONE = r"\[INFO\] 1 сессия пользователей были успешно заблокированы через \d+ msec$"
MATCHED_IVANOV = r"\[INFO\] Сессия пользователя ivanov соответствует токену$"


def config(action=1, interval=1000):
    return ('{\n"actionOnTokenDisabled": %d,\n"actionOnTokenDisabledRemote": 1,\n'
            '"debug": false,\n"ticketsCheckInterval": %d\n}\n' % (action, interval))


@pytest.fixture(scope="module")
def machine(tmp_path_factory):
    scratch = tmp_path_factory.mktemp("e2e")
    debs = containers.project_packages(os.path.join(world.build_dir(), "debs"))  # e2e.packages
    root = containers.root_fs(os.path.join(world.build_dir(), "e2e-rootfs"), debs)
    binds = {"/srv/screen-locker": f"{HERE}/screen-locker", "/srv/xfreerdp": f"{HERE}/xfreerdp",
             "/etc/systemd/journald.conf.d/rate-limit.conf": f"{HERE}/journald.conf"}
    machine = containers.Container(root, str(scratch / "console.log"), binds)
    try:
        machine.start()
        machine.debs = ["/root/" + os.path.basename(shutil.copy(deb, machine.path("/root")))
                        for deb in debs]
        machine.sessions = {user: log_in(machine, user, uid, scratch)
                            for uid, user in enumerate(USERS, 1001)}
        # Debian's PAM stack names the token logon, as README.Debian shows (after the logins:
        # the module itself is not installed here).
        with open(machine.path(COMMON_AUTH)) as stack:
            machine.write(COMMON_AUTH, "auth sufficient pam_kx-tf-auth.so\n" + stack.read())
        # The lockers answer logind before the daemon relies on them.
        containers.until(lambda: machine.run(["loginctl", "lock-sessions"]) and all(
            locked(machine, user) for user in USERS), 30, "the screen lockers")
        unlock(machine)
        yield machine
    finally:
        machine.close()


def log_in(machine, user, uid, scratch):
    """A user with a private home and his logon certificate, logged in through PAM and logind
    (a service with PAMName=login), with a screen locker; returns the logind session id."""
    pem = scratch / f"{user}.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30", "-keyout",
                    str(scratch / f"{user}.key"), "-out", str(pem), "-subj",
                    f"/CN={user}/O=Example Org/DC=example/DC=org"], check=True,
                   capture_output=True)
    machine.run(["useradd", "--create-home", "--uid", str(uid), user])
    machine.write(f"/root/{user}.pem", pem.read_text())
    machine.write(f"/home/{user}/.eid/authorized_certificates", pem.read_text(), 0o600)
    machine.run(["chown", "-R", f"{user}:{user}", f"/home/{user}"])
    machine.run(["chmod", "0700", f"/home/{user}"])
    machine.run(["systemd-run", f"--unit=session-{user}", "--property=PAMName=login",
                 f"--uid={user}", "sleep", "infinity"])
    session = containers.until(lambda: machine.run(
        ["loginctl", "show-user", user, "--property=Sessions", "--value"], check=False
    ).stdout.strip(), 30, f"{user}'s login session")
    start_locker(machine, user, session, f"locker-{user}")
    return session


def start_locker(machine, user, session, unit):
    path = machine.run(["busctl", "call", "org.freedesktop.login1", "/org/freedesktop/login1",
                        "org.freedesktop.login1.Manager", "GetSession", "s", session])
    machine.run(["systemd-run", f"--unit={unit}", f"--uid={user}", "/srv/screen-locker",
                 path.stdout.split()[1].strip('"')])


def locked(machine, user):
    return machine.run(["loginctl", "show-session", machine.sessions[user],
                        "--property=LockedHint", "--value"]).stdout.strip() == "yes"


def unlock(machine):
    machine.run(["loginctl", "unlock-sessions"])
    containers.until(lambda: not any(locked(machine, user) for user in USERS), 30, "unlocked")


def insert(machine, slot, label, user=None):
    owner = ["--profile", f"{user}@example.org", "--cert", f"/root/{user}.pem"] if user else []
    machine.run(["kxsim", "insert", str(slot), "--label", label, "--model", "Korvex Quill",
                 *owner])
    containers.until(lambda: label in machine.run(["kxsentrixctl", "tokens"]).stdout, 30,
                     f"{label} in the daemon's store")


def test_packages_install_and_purge_cleanly_and_the_unit_waits_for_its_configuration(machine):
    names = ["kxsentrix", "kxsentrix-simulator"]
    directories = ["find", "/etc", "/usr", "/var", "-xdev", "-type", "d"]
    before = set(machine.run(directories).stdout.split())
    output = machine.run(["dpkg", "--install", *machine.debs]).stderr
    files = [path for path in machine.run(["dpkg", "--listfiles", *names]).stdout.split()
             if not os.path.isdir(machine.path(path))]
    machine.run(["systemctl", "start", SERVICE])
    unit = machine.show(SERVICE, "ActiveState", "ConditionResult")

    output += machine.run(["dpkg", "--purge", *names]).stderr
    left = [path for path in files if os.path.lexists(machine.path(path))]
    gone = before - set(machine.run(directories).stdout.split())
    unit.update(machine.show(SERVICE, "LoadState"))
    machine.run(["dpkg", "--install", *machine.debs])  # for the tests below
    complaints = [line for line in output.splitlines() if re.search("warning|error", line, re.I)]
    assert (complaints, left, gone, unit) == ([], [], set(), {
        "ActiveState": "inactive", "ConditionResult": "no", "LoadState": "not-found"})


def test_the_unit_starts_with_its_configuration_reloads_it_and_stops_with_status_0(machine):
    # README.Debian's steps: the example in place and checked, then the unit enabled. Options
    # only print: a typo starts no daemon.
    assert machine.run(["test", "-s", "/usr/share/doc/kxsentrix/README.Debian"]).returncode == 0
    assert [machine.run([program, "--version"]).stdout for program in (
        "kxsentrixd", "kxsentrixctl", "kxsim")] == ["kxsentrixd 0.1\n", "kxsentrixctl 0.1\n",
                                                     "kxsim 0.1\n"]
    assert machine.run(["kxsentrixd", "--debug"], check=False).returncode == 64
    example = [path for path in machine.run(["dpkg", "--listfiles", "kxsentrix"]).stdout.split()
               if path.endswith("/examples/kxsentrixd.conf")]
    machine.run(["install", "-D", "--mode=0644", *example, world.DAEMON_CONFIG])
    checked = machine.run(["kxsentrixctl", "check-config"]).stdout.splitlines()
    assert checked[0].endswith(": sound") and checked[2] == (
        "Authentication:   local accounts, by the certificate in ~/.eid/authorized_certificates "
        f"(pam_kx-tf-auth in {COMMON_AUTH})"), checked
    mark = machine.journal_mark()
    machine.run(["systemctl", "enable", "--now", SERVICE])  # a notify unit starts at READY=1
    state = machine.show(SERVICE, "Type", "ActiveState", "SubState", "MainPID", "StatusText")
    assert state == {**state, "Type": "notify", "ActiveState": "active", "SubState": "running"}
    assert state["StatusText"].startswith(  # what systemctl status shows beside
        "Единая библиотека инициализирована; токенов: 0; конфигурация загружена ")
    assert "Active: active (running)" in machine.run(["systemctl", "status", SERVICE]).stdout
    assert machine.run(["cat", world.PID_FILE]).stdout == state["MainPID"] + "\n"
    assert f"[INFO] Тип аутентификации определяется по файлу {COMMON_AUTH}: файла " \
           f"{world.PAM_SYSTEM_AUTH} нет" in machine.messages(SERVICE, mark)

    # A commented-out power-off line is named, and does not take effect.
    mark = machine.journal_mark()
    machine.write(world.DAEMON_CONFIG, config(interval=250).replace(
        "{\n", '{\n# "actionOnTokenDisabled": 2,\n'))
    machine.run(["systemctl", "reload", SERVICE])
    machine.wait_for_message(SERVICE, mark, "Интервал проверки .* тикетов Kerberos - 250 ms$")
    assert [text for text in machine.messages(SERVICE, mark) if "Строка" in text or
            "Настроенное действие для системы" in text] == [
        f"[WARNING] Строка 2 конфигурационного файла {world.DAEMON_CONFIG}: параметр "
        "actionOnTokenDisabled стоит в комментарии и не учитывается",
        "Настроенное действие для системы - Блокировка сессии пользователя"]
    machine.run(["systemctl", "stop", SERVICE])
    assert machine.show(SERVICE, "Result", "ExecMainCode", "ExecMainStatus") == {
        "Result": "success", "ExecMainCode": "1", "ExecMainStatus": "0"}  # 1: exited
    assert machine.run(["test", "-e", world.PID_FILE], check=False).returncode == 1
    machine.run(["systemctl", "start", SERVICE])


def test_a_pulled_token_locks_its_owners_session_and_interrupts_his_remote_desktop(machine):
    machine.run(["systemd-run", "--unit=rdp-petrov", "--uid=petrov", "--remain-after-exit",
                 "/srv/xfreerdp", "/v:rdp.example.org", "/u:petrov", "/d:example.org"])
    for user, slot in USERS.items():
        insert(machine, slot, f"{user} token", user)
    expected = dict.fromkeys(USERS, False)
    for user, slot in USERS.items():
        mark = machine.journal_mark()
        machine.run(["kxsim", "remove", str(slot)])
        machine.wait_for_message(SERVICE, mark, r"\[INFO\] 1 сессия пользователей были успешно "
                                                r"заблокированы через \d+ msec$")
        assert [text for text in machine.messages(SERVICE, mark)
                if "соответствует токену" in text] == [
            f"[INFO] Сессия пользователя {user} соответствует токену"]
        expected[user] = True
        assert {user: locked(machine, user) for user in USERS} == expected
        if user == "ivanov":
            assert machine.show("rdp-petrov", "SubState") == {"SubState": "running"}
    # The daemon signals another user's process (CAP_KILL): code 2 is "killed", status SIGINT.
    interrupted = {"SubState": "exited", "ExecMainCode": "2", "ExecMainStatus": "2"}
    containers.until(lambda: machine.show("rdp-petrov", *interrupted) == interrupted, 30,
                     "petrov's xfreerdp to end by SIGINT (CAP_KILL)")


def test_the_lock_command_locks_every_session_and_answers_1_without_a_screen_locker(machine):
    unlock(machine)
    assert machine.run(["kxsentrixd", "lock"]).returncode == 0
    assert {user: locked(machine, user) for user in USERS} == dict.fromkeys(USERS, True)

    unlock(machine)
    machine.run(["systemctl", "stop", "locker-ivanov", "locker-petrov"])
    assert machine.run(["kxsentrixd", "lock"], check=False).returncode == 1


def test_a_ticket_cache_in_tmp_is_given_to_its_user(machine):
    machine.write("/tmp/krb5cc_1002", "ticket", 0o600)  # root's
    containers.until(lambda: (lambda s: (s.st_uid, s.st_gid, s.st_mode & 0o7777))(
        os.stat(machine.path("/tmp/krb5cc_1002"))) == (1002, 0, 0o660), 30,
        "the ticket cache handed to its user (CAP_CHOWN)")


def test_records_land_in_the_journal_and_a_users_call_flood_does_not_push_them_out(machine):
    entries = machine.journal(f"--identifier={SERVICE}", f"_SYSTEMD_UNIT={SERVICE}.service")
    prefixes = {"3": "[ERROR] ", "4": "[WARNING] ", "6": "[INFO] "}
    assert [(entry["MESSAGE"], entry["SYSLOG_FACILITY"]) for entry in entries
            if not entry["MESSAGE"].startswith(prefixes.get(entry["PRIORITY"], ""))
            or entry["SYSLOG_FACILITY"] != "23"] == []
    assert "[INFO] Сессия пользователя ivanov соответствует токену" in [
        entry["MESSAGE"] for entry in entries]

    # More calls than journald lets one service log under its rate limit (journald.conf), from
    # ivanov: a process of the host's that connects to the machine's bus with his uid.
    flood = ("import dbus, sys\n"
             "bus = dbus.bus.BusConnection('unix:path=/proc/self/cwd/system_bus_socket')\n"
             "server = bus.get_object('kx.daemon.server', '/', introspect=False)\n"
             "for _ in range(3000): server.allTokens(dbus_interface='kx.daemon.server')\n")
    subprocess.run([world.PYTHON, "-c", flood], cwd=machine.path("/run/dbus"), user=1001,
                   group=1001, extra_groups=[], check=True, timeout=600)
    # Under the installed policy a user lists the tokens (above) but may not call root's methods.
    refused = machine.run(["kxsentrixctl", "fingerprint", "petrov"], user="ivanov", check=False)
    assert (refused.returncode, refused.stdout) == (4, ""), refused.stderr
    insert(machine, 7, "ivanov again", "ivanov")
    mark = machine.journal_mark()
    machine.run(["kxsim", "remove", "7"])
    machine.wait_for_message(SERVICE, mark, r"\[INFO\] Отключено устройство в слоте 7 ")
    machine.wait_for_message(SERVICE, mark,
                             r"\[INFO\] Сессия пользователя ivanov соответствует токену$")


def at(entry):
    return int(entry["__REALTIME_TIMESTAMP"]) / 1e6


def first_entry(machine, mark, pattern):
    return next(entry for entry in machine.journal(f"--after-cursor={mark}",
                                                   f"--identifier={SERVICE}")
                if re.match(pattern, entry["MESSAGE"]))


def unseen(slot, label):
    return (rf"\[INFO\] Устройство в слоте {slot} label:{label} model:\S+ отключено, пока демон "
            "не работал$")


def test_a_token_pulled_during_a_restart_locks_its_owners_session(machine):
    # A removal of the test above may still wait for its session (no screen locker answers) and
    # then lock every session: it ends with this daemon. The lockers again, stopped by a test of
    # the lock command above.
    machine.run(["systemctl", "restart", SERVICE])
    for user, session in machine.sessions.items():
        start_locker(machine, user, session, f"locker-{user}-again")
    unlock(machine)
    insert(machine, 11, "ivanov restarted", "ivanov")
    # Between the stop and the start of `systemctl restart`: the unit's stop ends with the pull.
    pull = "/run/systemd/system/kxsentrixd.service.d/pull.conf"
    machine.write(pull, "[Service]\nExecStopPost=/usr/bin/kxsim remove 11\n")
    machine.run(["systemctl", "daemon-reload"])
    mark = machine.journal_mark()
    machine.run(["systemctl", "restart", SERVICE])
    machine.wait_for_message(SERVICE, mark, unseen(11, "ivanov restarted"))
    machine.wait_for_message(SERVICE, mark, LOCKED_ONE)
    machine.run(["rm", pull])
    machine.run(["systemctl", "daemon-reload"])
    assert {user: locked(machine, user) for user in USERS} == {"ivanov": True, "petrov": False}
    started = first_entry(machine, mark, "\\[INFO\\] Korvex Sentrix daemon started$")
    matched = first_entry(machine, mark, MATCHED_IVANOV)
    print(f"\nrestart with a pull in between: from the start of the new daemon to its owner's "
          f"LockSession {1000 * (at(matched) - at(started)):.0f} ms")


# The simulated library's C_WaitForSlotEvent hangs from the poll after it reported the token
# that asks for it, for every caller, until that token leaves.
def test_a_hung_library_call_gets_the_daemon_restarted_and_a_pull_meanwhile_locks(machine):
    unlock(machine)
    insert(machine, 12, "ivanov hung", "ivanov")
    hung_pid = machine.show(SERVICE, "MainPID")["MainPID"]
    mark = machine.journal_mark()
    machine.run(["kxsim", "insert", "13", "--label", "Hangs", "--hang", "C_WaitForSlotEvent"])
    machine.wait_for_message(SERVICE, mark, r"\[INFO\] Token event: event 0, slot 13,")
    machine.run(["kxsim", "remove", "12"])  # not seen: the loop waits in the library
    machine.wait_for_message(SERVICE, mark, unseen(12, "ivanov hung"), timeout=90)
    # The token that hangs the library leaves, before the watchdog ends this daemon as well.
    machine.run(["kxsim", "remove", "13"])
    machine.wait_for_message(SERVICE, mark, LOCKED_ONE)
    assert {user: locked(machine, user) for user in USERS} == {"ivanov": True, "petrov": False}
    assert machine.show(SERVICE, "MainPID")["MainPID"] != hung_pid
    assert [entry["MESSAGE"] for entry in machine.journal(f"--after-cursor={mark}",
                                                          f"--unit={SERVICE}")
            if "Watchdog timeout" in entry["MESSAGE"]], "no kill by the watchdog"
    hung = first_entry(machine, mark, r"\[INFO\] Token event: event 0, slot 13,")
    started = first_entry(machine, mark, "\\[INFO\\] Korvex Sentrix daemon started$")
    matched = first_entry(machine, mark, MATCHED_IVANOV)
    print(f"\nhung library call: from the hang to the new daemon's start "
          f"{at(started) - at(hung):.1f} s, to the owner's LockSession "
          f"{at(matched) - at(hung):.1f} s")
    machine.wait_for_message(SERVICE, mark, r"\[INFO\] Отключено устройство в слоте 13 ")


def test_a_removal_powers_the_machine_off(machine):
    machine.write(world.DAEMON_CONFIG, config(action=2))  # read at the next token event
    insert(machine, 10, "ivanov's last", "ivanov")
    machine.run(["kxsim", "remove", "10"])
    assert machine.stopped(60), "the machine runs on (CAP_SYS_BOOT, @reboot): " + "\n".join(
        entry["MESSAGE"] for entry in machine.journal("--identifier=kxsentrixd")[-15:])
