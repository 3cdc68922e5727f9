"""What the running kxsentrixd does when a token leaves: the sessions each matching rule ties to
the token are locked and no others, as its explanation beforehand said, the wait and its
fallback, the power-off, the remote-desktop clients interrupted, and logind reached across a
restart of the bus; what the status then says of the removal. (The rules' cases: the unit tables;
what a certificate file that is no regular file yields: test_dbus_service.py.)"""

import os
import re
import signal
import socket

import dbus
import pytest
from mocks import RELEASE
from system_helpers import NAME, SERVICE_UP, ask, removals_handled, texts, wait_for_removals
from world import (DAEMON_CONFIG, LOG_ERR, LOGIN_DEFS, NSS_UNAVAILABLE, PAM_SYSTEM_AUTH, World,
                   wait_until)

LOCK = '{\n"actionOnTokenDisabled": 1\n}\n'
POWER_OFF = '{\n"actionOnTokenDisabled": 2\n}\n'
# The PAM module that marks each authentication type, and its name in the log.
AUTH_TYPES = {"LocalPki": ("kx-tf-auth", "Локальная PKI"),
              "LocalNoPki": ("kx-tf-auth_nopki", "Локальная noPKI"),
              "NetworkPki": ("kx-tf-net-auth", "Сетевая PKI"),
              "NetworkNoPki": ("kx-tf-net-auth_nopki", "Сетевая noPKI")}
REMOVED = re.compile(r"^\[(INFO|ERROR)\] Отключено устройство в слоте 5[ ,]")  # or unknown
# What the D-Bus service logs, at any moment, also while a removal is handled.
SERVICE = re.compile(r"^(\[\w+\] )?(dbus: |Установлено соединение с dbus|Потеряно соединение с "
                     r"dbus|Не удалось получить подключение к dbus)")
POWERING_OFF = "[INFO] Выключаем систему"
# What the fallback does with mate-panel running.
LOCKED_ALL = ["[INFO] Попытка заблокировать все сессии. {}",
              "Обнаружена запущенная среда Mate, пытаемся отобразить хранитель экрана "
              "org.mate.ScreenSaver",
              "Запуск хранителя экрана [Успех]", "[INFO] Статус хранителя экрана - активен"]


def locked_in(count):
    return re.compile(rf"^\[INFO\] {count} сессия пользователей были успешно заблокированы "
                      r"через (\d+) msec$")


def matching(user):
    return f"[INFO] Сессия пользователя {user} соответствует токену"


def configure(world, auth_type, config=LOCK, host=None):
    world.write(PAM_SYSTEM_AUTH, f"auth sufficient pam_{AUTH_TYPES[auth_type][0]}.so\n")
    world.write_daemon_config(config)
    if host:
        world.set_hostname(host)


def certificate(world, path, subject):
    """A fresh self-signed certificate at a world path, made by openssl in the world."""
    world.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
               "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30", "-keyout", "/dev/null",
               "-out", path, "-subj", subject], check=True)
    return path


def user_with_session(world, session_id, name, uid, groups=()):
    world.add_user(name, uid, groups=groups)
    world.logind.add_session(session_id, uid, name)


def started_with_token(world, *options, **start):
    world.kxsim("insert", "5", "--label", "Logon", "--model", "Korvex Quill", *options)
    return world.start_daemon(**start).wait_ready()


def verdicts(handling, of="Сессия пользователя [^ ]*, uid"):
    """The verdict records of the session rules (or, of="Процесс", the remote client rule)."""
    return [text.removeprefix("[WARNING] ") for text in handling
            if re.match(rf"(\[WARNING\] )?{of}", text)]


def remove_token(world, daemon, lock_late=()):
    """Pulls the token in slot 5 and returns what the daemon logged while handling it, from its
    first record on (the service's records left out). The sessions in lock_late lock only once
    the daemon has seen them unlocked: it has to wait."""
    handled = removals_handled(world)
    mark = world.log_mark()
    world.kxsim("remove", "5")
    if lock_late:
        daemon.wait_for_log(re.compile(r"LockedHint: 0, Active: 1$"), since=mark)
        for session_id in lock_late:
            world.logind.set_session(session_id, LockedHint=True)
    wait_for_removals(world, handled + 1)
    logged = [text for text in texts(daemon.records(since=mark)) if not SERVICE.search(text)]
    start = next(i for i, text in enumerate(logged) if REMOVED.search(text))
    return logged[start + 1:]


IVANOV = "/CN=ivanov/O=Example Org"  # the subject of a certificate made for the test
# Each rule with what the daemon reads of the machine: the PAM file, the host name, the groups,
# the users' certificate files; the token's accounts are locked, the others and the system accounts
# (below uid 1000, the overflow uid) are not; a login.defs limit that cannot be read, or none in it,
# or no login.defs keeps the default of 60000. (auth type, host, forced match, users
# (session, name, uid, groups, the certificate in their .eid/authorized_certificates: a subject or
# what stands there instead), token options, sessions locked, warnings and errors)
RULE_CASES = {
    # A file too large to parse, a link to the token's certificate in a file only root may
    # read, or to a file of /proc whose read would fail for the daemon (EPERM without
    # CAP_SYS_NICE), or a FUSE mount that never answers or answers "no descriptor" (EMFILE),
    # matches nothing.
    "LocalPki": ("LocalPki", "ws1.corp.example.com", False,
                 [("c0", "service", 999, (), IVANOV),
                  ("c1", "ivanov", 1001, (), IVANOV), ("c2", "petrov", 1002, (), "/CN=petrov"),
                  ("c3", "sidorov", 1003, ("kx_local_pass",), IVANOV),
                  ("c8", "huge", 1008, (), "huge"), ("c9", "stolen", 1009, (), "stolen"),
                  ("c6", "slack", 1006, (), "/proc/1/timerslack_ns"),
                  ("c4", "fused", 1004, (), "fuse hang"), ("c5", "forged", 1005, (), "fuse EMFILE")],
                 [{"drop_capabilities": ["sys_nice"]}, "--cert", "/CN=other", "--cert", IVANOV,
                  "--cert-label", "logon"], [["c1"]],
                 ["[WARNING] Сертификат больше 65536 байт не разбирается"] + [
                     f"[WARNING] Не удалось открыть файл /home/{name}/.eid/authorized_certificates"
                     for name in ("stolen", "slack", "fused", "forged")]),
    "LocalNoPki": ("LocalNoPki", "ws1.corp.example.com", False,
                   [("c1", "ivanov", 1001, (), None), ("c2", "petrov", 1002, (), None),
                    ("c3", "sidorov", 1003, ("kx_local_pass", "kx_local_pin"), None),
                    ("c4", "Ivanov", 1004, (), None)],
                   ["--profile", "ivanov@WS1", "--profile", "petrov@corp.example.com",
                    "--profile", "sidorov@ws1.corp"], [["c1"], ["c3"]], []),
    "NetworkPki": ("NetworkPki", "ws1.corp.example.com", False,
                   [("c1", "ivanov", 60001, (), None), ("c2", "petrov", 60002, (), None),
                    ("c3", "ivanovlocal", 1001, (), None)],
                   ["--cert", "/DC=com/DC=example/DC=corp/CN=ivanov"], [["c1"]], []),
    # Every domain account but a pass-only one, even on a host without a domain part.
    "forced match first": ("NetworkNoPki", "ws1", True,
                           [("c1", "ivanov", 60001, (), None),
                            ("c2", "petrov", 60002, ("kx_net_pass",), None),
                            ("c3", "local", 1001, (), None), ("c4", "nobody", 65534, (), None)],
                           [], [["c1"]], []),
}


@pytest.mark.parametrize("case", sorted(RULE_CASES))
def test_rule_locks_the_tokens_sessions_and_no_others(world, case):
    auth_type, host, forced, users, token, locked, problems = RULE_CASES[case]
    configure(world, auth_type, '{\n"actionOnTokenDisabled": 1,\n"forceSessionMatch": true\n}\n'
              if forced else LOCK, host=host)
    unreadable = "UID_MAX 99999999999\n"
    login_defs = {"LocalNoPki": None, "NetworkPki": "UID_MAX\n"}.get(case, unreadable)
    if login_defs:
        world.write(LOGIN_DEFS, login_defs)
    else:
        world.remove(LOGIN_DEFS)
    for group, gid in (("kx_local_pass", 3001), ("kx_local_pin", 3002), ("kx_net_pass", 3003)):
        world.add_group(group, gid)
    made = {}  # subject -> certificate, so that the same subject is the same certificate
    mounts = []  # FUSE servers, ended before the daemon: it could not end while they hang

    def certificate_of(subject):
        if subject not in made:
            made[subject] = certificate(world, f"/root/{len(made)}.pem", subject)
        return made[subject]

    for session_id, name, uid, groups, cert in users:
        user_with_session(world, session_id, name, uid, groups=groups)
        path = f"/home/{name}/.eid/authorized_certificates"
        world.mkdir(f"/home/{name}/.eid")
        if cert == "huge":
            world.run(["truncate", "-s", "8G", path], check=True)
        elif cert == "stolen":
            world.write("/run/ivanov.pem", world.read(certificate_of(IVANOV)), mode=0o600)
            world.symlink("/run/ivanov.pem", path)
        elif cert and cert.startswith("/proc/"):
            world.symlink(cert, path)
        elif cert and cert.startswith("fuse "):
            mounts.append(world.fuse_mount(f"/home/{name}/.eid", cert.split()[1]))
        elif cert:
            world.write(path, world.read(certificate_of(cert)))
    start = token[0] if token and isinstance(token[0], dict) else {}
    token = [certificate_of(option) if option.startswith("/") else option
             for option in token[bool(start):]]
    world.logind.on_lock_session("ignore")
    daemon = started_with_token(world, *token, **start)
    (explained,) = ask(world, "explainTokenRemoval", 5)["tokens"]

    handling = remove_token(world, daemon, lock_late=[session for (session,) in locked])

    # The explanation said it, session by session, with the reasons the debug lines give.
    assert [explained["records"], [[s["id"]] for s in explained["sessions"] if s["verdict"] ==
                                   "lock"], [s["reason"] for s in explained["sessions"]]] == [
        [text for text in handling if text in explained["records"]], locked, verdicts(handling)]
    assert ask(world, "daemonStatus")["lastRemoval"] | {"at": 0} == {
        "at": 0, "slot": 5, "known": True, "outcome": "locked", "sessions": len(locked),
        "remoteClients": 0}
    assert world.logind.calls("LockSession") == locked
    assert world.logind.calls("LockSessions") == []  # no fallback
    type_name = AUTH_TYPES[auth_type][1]
    assert [f"Текущий тип аутентификации - {type_name}", f"hostName - {host}",
            f"domainName - {host.partition('.')[2]}"] == [
        text for text in texts(daemon.records())
        if text.startswith(("Текущий тип", "hostName", "domainName"))]
    # The limit is read once, at the start.
    assert texts(daemon.records(re.compile("UID_MAX"))) == ([
        "[ERROR] Некорректное значение UID_MAX в /etc/login.defs: 99999999999, используется "
        "60000"] if login_defs == unreadable else [])
    assert handling[:3] == [
        "[INFO] Настроенное действие для удаленного подключения - Бездействие",
        "[INFO] Настроенное действие для системы - Блокировка сессии пользователя",
        f"[INFO] Текущий тип аутентификации - {type_name}"]
    assert [text for text in handling if text.startswith(("[WARNING]", "[ERROR]"))] == problems
    names = {session_id: name for session_id, name, *_ in users}
    assert [text for text in handling if text.startswith("[INFO] Сессия")] == [
        matching(names[session_id]) for (session_id,) in locked]
    checks = [text for text in handling if text.startswith("Сессия /org/freedesktop/")]
    assert checks[0].endswith("LockedHint: 0, Active: 1")
    assert checks[-1].endswith("LockedHint: 1, Active: 1")
    assert any(locked_in(len(locked)).search(text) for text in handling)
    for server in mounts:
        os.kill(server, signal.SIGKILL)
    assert daemon.stop() == 0


# Sessions that cannot be confirmed locked, or known: the daemon locks all of them and, with MATE
# running, the screensaver, and never powers off for what it could not find out. (configuration,
# what LockSession does (None: no logind in the world), start options and the token's, the
# handling from its first line given on, without the debug lines)
FLUSH_HUNG = "[WARNING] Сброс данных на диски не завершился, выключаем систему без него"
NOT_CONFIRMED = "[WARNING] Не удалось заблокировать сессии за отведенное время через " \
    "org.freedesktop.login1.Manager"
REFUSED = [POWERING_OFF, LOCKED_ALL[0].format(1), "[ERROR] Не удалось выключить компьютер, error "
           "code: 1, error: Operation not permitted", LOCKED_ALL[0].format(1), *LOCKED_ALL[1:]]
LISTING_FAILED = "[ERROR] Не удалось получить список сессий пользователей, блокируем все сессии"
COUNTS_AS_TOKENS = "[WARNING] Сессия пользователя ivanov считается принадлежащей токену, " \
    "блокируем все сессии"
UNKNOWN_GROUPS = [
    "[WARNING] Не удалось получить группу kx_local_pin для проверки членства пользователя ivanov, "
    "uid 1001, error code: 111, error: Connection refused",
    "[WARNING] Сессия пользователя ivanov, uid 1001, home '/home/ivanov' соответствует токену т. "
    "к. его группы не удалось проверить", COUNTS_AS_TOKENS, LOCKED_ALL[0].format(1),
    *LOCKED_ALL[1:]]
FALLBACKS = {
    "never locked": (LOCK, "fail", {}, [
        "[ERROR] Ошибка g_dbus_proxy_call_sync LockSession", "Ошибка блокировки сессии",
        NOT_CONFIRMED, LOCKED_ALL[0].format(1), *LOCKED_ALL[1:]]),
    # Every session is asked to lock before the power-off, and again when it fails.
    "power-off not permitted": (POWER_OFF, "lock", {"drop_capabilities": ["sys_boot"]}, REFUSED),
    # A second power-off waits for the flush still hung, in no new thread.
    "power-off not permitted, flush hung": (POWER_OFF, "lock", {"drop_capabilities": ["sys_boot"],
                                                                "hung_flush": True},
                                            [*REFUSED[:2], FLUSH_HUNG, *REFUSED[2:]]),
    # A token that no slot list showed (each listing fails while it is there) is never stored.
    "token unknown": (LOCK, "lock", {"token": ["--fail", "C_GetSlotList=CKR_DEVICE_ERROR"]},
                      [LOCKED_ALL[0].format(1), *LOCKED_ALL[1:]]),
    # The logon cannot be told when its PAM file cannot be read.
    "logon unreadable": (LOCK, "lock", {"pam": "directory"}, [
        "[ERROR] Не удалось прочитать файл /etc/pam.d/system-auth, error code: 21, error: Is a "
        "directory", "[ERROR] Не удалось определить тип аутентификации, блокируем все сессии",
        LOCKED_ALL[0].format(1), *LOCKED_ALL[1:]]),
    "session list malformed": (LOCK, "lock", {"list": "malformed"}, [
        "[ERROR] Ошибка получения списка сессий g_variant_get_child_value", LISTING_FAILED,
        LOCKED_ALL[0].format(1), *LOCKED_ALL[1:]]),
    # logind that answers nothing holds a lock request, a lock-state read or the listing no
    # longer than its bound: the fallback is logged while logind still hangs. (A logind hung at
    # the lock request, which leaves before the removal looks, answers the listing no more.)
    "lock request hangs": (LOCK, "hang", {}, [
        "[ERROR] Ошибка g_dbus_proxy_call_sync ListSessions", LISTING_FAILED,
        "[ERROR] Ошибка g_dbus_proxy_call_sync LockSessions", LOCKED_ALL[0].format(0),
        *LOCKED_ALL[1:]]),
    "session list hangs": (LOCK, "lock", {"list": "hang"}, [
        "[ERROR] Ошибка g_dbus_proxy_call_sync ListSessions", LISTING_FAILED,
        "[ERROR] Ошибка g_dbus_proxy_call_sync LockSessions", LOCKED_ALL[0].format(0),
        *LOCKED_ALL[1:]]),
    # What the database or the daemon could not find out of the user makes the session count as
    # the token's: every session is locked, also where a match would power off. A group
    # database that is down leaves unconfirmed that the pass group's member is not in the pin
    # group.
    "groups unavailable": (LOCK, "lock", {"groups": "unavailable"}, UNKNOWN_GROUPS),
    "groups unavailable, power-off": (POWER_OFF, "lock", {"groups": "unavailable"},
                                      UNKNOWN_GROUPS),
    "users' rights not taken": (LOCK, "lock", {"auth": "LocalPki",
                                              "drop_capabilities": ["setuid", "setgid"]}, [
        "[ERROR] Не удалось перейти к правам пользователя uid 1001 для чтения файла "
        "/home/ivanov/.eid/authorized_certificates",
        "[WARNING] Сессия пользователя ivanov, uid 1001, home '/home/ivanov' соответствует токену "
        "т. к. его сертификат не удалось проверить", COUNTS_AS_TOKENS, LOCKED_ALL[0].format(1),
        *LOCKED_ALL[1:]]),
    "without logind": (LOCK, None, {}, [
        "[ERROR] Ошибка g_dbus_proxy_call_sync ListSessions", LISTING_FAILED,
        "[ERROR] Ошибка g_dbus_proxy_call_sync LockSessions", LOCKED_ALL[0].format(0),
        *LOCKED_ALL[1:]]),
}


@pytest.mark.parametrize("case", sorted(FALLBACKS))
def test_sessions_not_confirmed_locked_fall_back_to_locking_everything(case):
    config, lock, start, tail = FALLBACKS[case]
    with World(logind=lock is not None) as world:
        start = dict(start)
        configure(world, start.pop("auth", "LocalNoPki"), config)
        world.add_user("ivanov", 1001)
        if lock:
            world.logind.add_session("c1", 1001, "ivanov")
            world.logind.on_lock_session("lock" if lock == "hang" else lock)
        world.spawn(["mate-panel"])
        token = start.pop("token", [])
        listing = start.pop("list", None)
        if listing and listing != "hang":
            world.logind.on_list_sessions(listing)
        if start.pop("groups", None):  # ivanov's pin group would be the directory's
            world.add_group("kx_local_pass", 3001, ["ivanov"])
            world.write(NSS_UNAVAILABLE, "")
        if start.pop("pam", None):
            world.remove(PAM_SYSTEM_AUTH)
            world.mkdir(PAM_SYSTEM_AUTH)
        hung = start.pop("hung_flush", False)
        if hung:
            start["env"] = world.hung_flush_env()
        daemon = started_with_token(world, "--profile", "ivanov@kxworld", *token, **start)
        if COUNTS_AS_TOKENS in tail:  # as the explanation says beforehand
            (explained,) = ask(world, "explainTokenRemoval", 5)["tokens"]
            assert (explained["action"], [s["verdict"] for s in explained["sessions"]]) == (
                "lockEverything", ["unknown"])
        if "hang" in (lock, listing):  # logind hangs from now until released below
            if lock == "hang":
                world.logind.on_lock_session("hang", seconds=120)
            else:
                world.logind.on_list_sessions("hang", seconds=120)

        handling = [text for text in remove_token(world, daemon)
                    if not text.startswith(("\t", "Сессия "))]
        world.write(RELEASE, "")

        assert handling[handling.index(tail[0]):] == tail
        assert ask(world, "daemonStatus")["lastRemoval"]["outcome"] == (
            "powerOffFailed" if tail[0] == POWERING_OFF else "lockedAll")
        assert world.screensaver.calls("Lock") == [[]]
        if lock:
            assert world.logind.calls("LockSessions") == [[]] * len(
                [text for text in tail if text.startswith(LOCKED_ALL[0].format(""))])
            if COUNTS_AS_TOKENS in tail:  # not asked to lock on its own
                assert world.logind.calls("LockSession") == []
            assert world.logind.session("c1")["LockedHint"]
        if hung:  # the flush still hangs at the next power-off
            threads = world.run(["ls", f"/proc/{daemon.pid}/task"]).stdout
            mark = world.log_mark()
            world.kxsim("insert", "5", "--label", "Logon", "--profile", "ivanov@kxworld")
            daemon.wait_for_log(re.compile(r"^\[INFO\] Подключено новое устройство в слоте 5 "),
                                since=mark)
            assert FLUSH_HUNG in remove_token(world, daemon)
            assert world.run(["ls", f"/proc/{daemon.pid}/task"]).stdout == threads
        assert not daemon.powered_off()
        assert daemon.stop() == 0


# A text session has no screen locker and never reports locked. Under terminateUnlockableSessions
# the token owner's tty session is ended instead of awaited, after the wait for the others; never
# another user's (ssh here), nor one matched only by forceSessionMatch, nor ivanov's Wayland
# session that does not report locked. (settings, petrov's groups cannot be checked, the Wayland
# session locks late, TerminateSession fails, sessions to end, the records)
TERMINATING = '{\n"actionOnTokenDisabled": 1,\n"terminateUnlockableSessions": true%s\n}\n'
ENDED = "[INFO] Сессия пользователя ivanov (c1) завершена: её нельзя заблокировать"
LOCKING_ALL = LOCKED_ALL[0].format(1)
UNLOCKABLE = {
    "without the setting": (LOCK, False, False, False, [], [NOT_CONFIRMED, LOCKING_ALL]),
    "with the setting": (TERMINATING % "", False, False, False, ["c1"],
                         [NOT_CONFIRMED, LOCKING_ALL, ENDED]),
    "forced match": (TERMINATING % ',\n"forceSessionMatch": true', False, False, False, [],
                     [NOT_CONFIRMED, LOCKING_ALL]),
    # Every session is locked for petrov's (which locks the Wayland one); ivanov's tty session
    # is still his token's.
    "another session unknown": (TERMINATING % "", True, False, False, ["c1"],
                                [LOCKING_ALL, ENDED]),
    "end refused": (TERMINATING % "", False, True, True, ["c1"], [
        "[ERROR] Ошибка g_dbus_proxy_call_sync TerminateSession", "[ERROR] Не удалось завершить "
        "сессию пользователя ivanov (c1), которую нельзя заблокировать", LOCKING_ALL]),
}


@pytest.mark.parametrize("case", sorted(UNLOCKABLE))
def test_the_owners_sessions_no_screen_locker_can_lock_are_ended_under_the_setting(world, case):
    config, unknown, late, refused, ended, records = UNLOCKABLE[case]
    configure(world, "LocalNoPki", config)
    world.add_user("ivanov", 1001)
    world.add_user("petrov", 1002)
    world.logind.add_session("c1", 1001, "ivanov", kind="tty")
    world.logind.add_session("c2", 1001, "ivanov", kind="wayland")
    world.logind.add_session("c3", 1002, "petrov", kind="unspecified", remote=True)
    world.logind.on_lock_session("ignore")
    world.logind.on_terminate_session("fail" if refused else "end")
    if unknown:
        world.add_group("kx_local_pass", 3001, ["petrov"])
        world.write(NSS_UNAVAILABLE, "")
    daemon = started_with_token(world, "--profile", "ivanov@kxworld")
    (explained,) = ask(world, "explainTokenRemoval", 5)["tokens"]
    setting = ask(world, "daemonStatus")["configuration"]["settings"]

    handling = remove_token(world, daemon, lock_late=["c2"] if late else ())

    assert setting["terminateUnlockableSessions"] == (config != LOCK)
    petrov = {"forced match": ("lock", False), "another session unknown": ("unknown", None)}
    assert [(s["id"], s["verdict"], s["screenLocker"]) for s in explained["sessions"]] == [
        ("c1", "lock", False), ("c2", "lock", True), ("c3", *petrov.get(case, ("skip", None)))]
    assert [step["session"] for step in explained["steps"] if step["do"] == "terminate"] == ended
    assert world.logind.calls("TerminateSession") == [[session] for session in ended]
    assert [text for text in handling if text.startswith("[ERROR]") or text in (
        NOT_CONFIRMED, LOCKING_ALL, ENDED)] == records
    assert daemon.stop() == 0


# Every session is asked to lock first; a flush that never ends does not keep the machine up.
@pytest.mark.parametrize("configuration", ["powering off", "gone", "others may write it"])
def test_power_off_ends_the_machine(world, configuration):
    client = world.spawn(["xfreerdp", "/v:rdp.corp"])
    if configuration == "powering off":  # at the first matching session
        configure(world, "LocalNoPki", POWER_OFF)
        user_with_session(world, "c1", "ivanov", 1001)
        world.logind.add_session("c2", 1001, "ivanov")
    else:  # the remote clients are closed too, as configured
        world.write(DAEMON_CONFIG, '{\n"actionOnTokenDisabledRemote": 1\n}\n',
                    mode=0o646 if configuration == "others may write it" else 0o644)
    daemon = started_with_token(world, "--profile", "ivanov@kxworld", env=world.hung_flush_env())
    if configuration == "gone":
        world.remove(DAEMON_CONFIG)
    (explained,) = ask(world, "explainTokenRemoval", "")["tokens"]
    assert (explained["action"], [session["verdict"] for session in explained["sessions"]]) == (
        "powerOff", ["powerOff", "notExamined"] if configuration == "powering off" else [])
    mark = world.log_mark()

    world.kxsim("remove", "5", check=False)  # the power-off may end kxsim before it does

    assert daemon.wait(timeout=30) == -signal.SIGKILL  # the whole machine went down with it
    assert daemon.powered_off()
    handling = texts(daemon.records(since=mark))
    assert world.logind.calls("LockSession") == []
    assert world.logind.calls("LockSessions") == [[]]
    flushing = ["[INFO] Попытка заблокировать все сессии. 1", FLUSH_HUNG]
    if configuration == "powering off":
        assert handling[-5:] == [
            "Сессия пользователя ivanov, uid 1001, home '/home/ivanov' соответствует токену т. к. "
            "найден подходящий профиль ivanov@kxworld", matching("ivanov"), POWERING_OFF,
            *flushing]
        return
    # No PAM file: no token logon configured, as the start-up line says.
    assert "Текущий тип аутентификации - Не настроена" in texts(daemon.records())
    gone = "[WARNING] Конфигурационный файл не найден, выключаем систему"
    tail = [text for text in handling if text.startswith("[")]
    assert explained["records"][-1] == gone
    if configuration == "gone":
        # The power-off can take the client down before it has noted its SIGINT; the records
        # show that the signal went out first.
        assert client.signals() in ([signal.SIGINT], [])
        assert tail[-4:] == [
            gone, flushing[0], f"[INFO] Завершение процесса удаленного подключения xfreerdp с pid "
            f"{client.pid} и его родителя с pid 0", flushing[1]]
    else:  # not trusted, and no trusted settings before it: as without a file
        assert daemon.records(f"[ERROR] Конфигурационный файл {DAEMON_CONFIG} не принят: "
                              f"{DAEMON_CONFIG} доступен для записи всем. Изменять его и путь к "
                              "нему должен только root")
        assert tail[-3:] == [gone, *flushing] and client.signals() == []


# Once the token's sessions have been asked to lock: no per-process work before that. Without
# pidfds (an older kernel, a seccomp filter) kill() takes their place, said once. logind is
# reached through a connection made at start, and made anew after a restart of the bus.
@pytest.mark.parametrize("pidfd", ["available", "refused"])
def test_remote_clients_of_the_token_and_their_sentrix_parents_are_interrupted(world, pidfd):
    configure(world, "LocalNoPki", '{\n"actionOnTokenDisabled": 1,\n'
              '"actionOnTokenDisabledRemote": 1\n}\n')
    user_with_session(world, "c1", "ivanov", 1001)
    with_sentrix = world.spawn(["xfreerdp", "/u:ivanov", "/d:CORP", "/v:rdp"],
                               parent=["/opt/kx/bin/kxsentrix", "--connect"])
    # A command line far beyond the bound the daemon reads: only its start counts.
    no_user = world.spawn(["xfreerdp", "/v:rdp", *["x" * 100000] * 12],
                          parent=["/usr/bin/launcher"])
    orphan = world.spawn(["xfreerdp", "/u:ivanov", "/d:corp"])
    other_user = world.spawn(["xfreerdp", "/u:petrov", "/d:corp"], parent=["kxsentrix"])
    daemon = started_with_token(world, "--profile", "ivanov@corp", "--profile", "ivanov@kxworld",
                                refuse_syscalls=["pidfd_open"] if pidfd == "refused" else [])
    clients = ask(world, "explainTokenRemoval")["tokens"][0]["remoteClients"]
    bus = dbus.Interface(world.system_bus().get_object("org.freedesktop.DBus", "/"),
                         "org.freedesktop.DBus")
    service = bus.GetNameOwner("kx.daemon.server")
    # Before any removal, the daemon has a connection to logind besides its service's.
    assert [name for name in bus.ListNames() if name.startswith(":") and name != service
            and bus.GetConnectionUnixProcessID(name) == daemon.world_pid]
    processes = (with_sentrix, with_sentrix.parent, no_user, no_user.parent, orphan, other_user)
    assert [process.signals() for process in processes] == [[]] * 6  # explaining signals none

    handling = remove_token(world, daemon)

    assert {c["pid"]: (c["verdict"], (c["parent"] or {}).get("verdict")) for c in clients} == {
        with_sentrix.pid: ("interrupt", "interrupt"), no_user.pid: ("interrupt", "leave"),
        orphan.pid: ("interrupt", None), other_user.pid: ("leave", None)}
    assert [client["reason"] for client in clients] == verdicts(handling, of="Процесс")

    assert [text for text in texts(daemon.records()) if text.startswith("[WARNING]")] == (
        ["[WARNING] pidfd недоступен (Function not implemented), сигналы процессам "
         "отправляются через kill с проверкой времени их запуска"] if pidfd == "refused" else [])
    for process in (with_sentrix, with_sentrix.parent, no_user, orphan):
        process.wait_for_signal(signal.SIGINT)
    assert [process.signals() for process in (no_user.parent, other_user, other_user.parent)
            ] == [[]] * 3

    def closing(process, parent_pid):
        return (f"[INFO] Завершение процесса удаленного подключения xfreerdp с pid "
                f"{process.pid} и его родителя с pid {parent_pid}")
    info = [text for text in handling if text.startswith("[INFO]")]
    assert [text for text in info if not locked_in(1).search(text)] == [
        "[INFO] Настроенное действие для удаленного подключения - Закрывать удаленное "
        "подключение", "[INFO] Настроенное действие для системы - Блокировка сессии пользователя",
        "[INFO] Текущий тип аутентификации - Локальная noPKI", matching("ivanov"),
        closing(with_sentrix, with_sentrix.parent.pid), closing(no_user, no_user.parent.pid),
        "[INFO] Родительский процесс не является процессом sentrix, пропускаем его завершение",
        closing(orphan, 0)]
    assert any(locked_in(1).search(text) for text in info)
    assert handling.index("Сессия заблокирована") < handling.index(
        "Найдено 4 активных удаленных подключений")

    # logind is reached anew after a restart of the bus.
    mark = world.log_mark()
    world.restart_system_bus()
    world.logind.add_session("c1", 1001, "ivanov")
    daemon.wait_for_log(SERVICE_UP, since=mark, timeout=15)
    world.kxsim("insert", "5", "--label", "Logon", "--profile", "ivanov@kxworld")
    daemon.wait_for_log(re.compile(r"^\[INFO\] Подключено новое устройство в слоте 5 "), since=mark)
    assert any(locked_in(1).search(text) for text in remove_token(world, daemon))
    assert world.logind.calls("LockSession") == [["c1"]]
    assert daemon.stop() == 0



def prepared(world, slot):
    """The lock requests the daemon has decided ahead for the token in `slot`; None before."""
    (token,) = ask(world, "explainTokenRemoval", slot)["tokens"]
    return token["preparedLocks"]


# Decided ahead (again when logind reports a new session), the owner's lock requests leave before
# the removal lists the sessions: here logind's list, when it comes, holds no session at all, and
# the owner's sessions are locked all the same.
def test_lock_requests_decided_ahead_leave_before_the_removal_looks(world):
    configure(world, "LocalNoPki")
    user_with_session(world, "c1", "ivanov", 1001)
    user_with_session(world, "c2", "petrov", 1002)
    daemon = started_with_token(world, "--profile", "ivanov@kxworld")
    wait_until(lambda: prepared(world, 5) == {"sessions": ["c1"], "everything": False})
    world.logind.add_session("c3", 1001, "ivanov")
    wait_until(lambda: prepared(world, 5)["sessions"] == ["c1", "c3"])
    world.logind.on_list_sessions("hang", seconds=1.5)  # then an empty list

    handling = remove_token(world, daemon)

    called = [name for name, _ in world.logind.calls() if name in ("LockSession", "ListSessions")]
    assert called.index("LockSession") < len(called) - 1 - called[::-1].index("ListSessions")
    assert world.logind.calls("LockSession") == [["c1"], ["c3"]]
    assert "Найдено 0 активных сессий пользователей" in handling
    assert daemon.stop() == 0


# A token that copies the stored one's header but is slow to show that it is another: the stored
# token's sessions are locked while its check goes on (here 8 s of reads, cut at the 5 s bound and
# tried again), not when it ends; the removal that follows takes that lock's answer.
def test_a_slow_check_of_a_stored_token_locks_its_sessions_meanwhile(world):
    configure(world, "LocalNoPki")
    user_with_session(world, "c1", "ivanov", 1001)
    daemon = started_with_token(world, "--profile", "ivanov@kxworld")
    wait_until(lambda: prepared(world, 5) == {"sessions": ["c1"], "everything": False})
    mark = world.log_mark()
    world.kxsim("swap", "5", "--label", "Logon", "--model", "Korvex Quill", "--profile",
                "petrov@kxworld", "--delay", "C_GetAttributeValue=4000")
    daemon.wait_for_log("[WARNING] Проверка токена в слоте 5 длится дольше 500 мс: его сессии "
                        "блокируются, как при отключении", since=mark)
    wait_until(lambda: world.logind.calls("LockSession") == [["c1"]])
    assert not daemon.records(re.compile(r"^\[INFO\] Отключено устройство"), since=mark)
    world.kxsim("remove", "5")
    wait_for_removals(world, 1)
    assert world.logind.calls("LockSession") == [["c1"]]
    assert daemon.stop() == 0


# A removal waiting for its session to report locked holds up neither another removal's lock
# request nor a token list; the records of each removal stay together, in the order they began.
def test_removals_never_wait_on_each_other(world):
    configure(world, "LocalNoPki")
    user_with_session(world, "c1", "ivanov", 1001)
    user_with_session(world, "c2", "petrov", 1002)
    world.logind.on_lock_session("ignore")  # no screen locker answers for either
    world.kxsim("insert", "6", "--label", "Petrov", "--profile", "petrov@kxworld")
    daemon = started_with_token(world, "--profile", "ivanov@kxworld")
    wait_until(lambda: prepared(world, 6))
    mark = world.log_mark()

    world.kxsim("remove", "5")
    daemon.wait_for_log(re.compile(r"c1, IdleHint: 0, LockedHint: 0"), since=mark)
    world.kxsim("remove", "6")
    wait_until(lambda: ["c2"] in world.logind.calls("LockSession"))
    tokens = world.system_bus().call_blocking(NAME, "/", NAME, "allTokens", "", [])
    assert not daemon.records(NOT_CONFIRMED, since=mark)  # the first is still waiting
    assert list(tokens) == []
    world.logind.set_session("c2", LockedHint=True)
    wait_for_removals(world, 2)

    logged = [text for text in texts(daemon.records(since=mark)) if not SERVICE.search(text)]
    first = logged.index(LOCKED_ALL[0].format(1))  # the first removal's fallback, its end
    second = next(i for i, text in enumerate(logged) if "Отключено устройство в слоте 6" in text)
    assert first < second
    assert not [text for text in logged[second:] if "c1, IdleHint" in text]
    assert any(locked_in(1).search(text) for text in logged[second:])
    assert daemon.stop() == 0


STATE_DIR, STATE_FILE = "/run/kxsentrix", "/run/kxsentrix/tokens"
UNSEEN = "[INFO] Устройство в слоте 5 label:Logon model:Cardix отключено, пока демон не работал"
# What happens to ivanov's token while no daemon watches it (the library may be down at the
# next start, and come back with the token gone), the configuration, the sessions locked one by
# one and all at once.
RESTARTS = {
    "pulled": ("remove", LOCK, [["c1"]], []),
    "pulled, power-off configured": ("remove", POWER_OFF, [], [[]]),  # never a power-off
    "another token put in": ("swap", LOCK, [["c1"]], []),
    "put back": ("back", LOCK, [["c1"]], []),  # kept: locked by its pull after the start
    "pulled, the library down at the start": ("down", LOCK, [["c1"]], []),
}


# A token that left while no daemon was watching is removed by the next one, from the record
# the one before saved (root's alone); one that is there again is kept.
@pytest.mark.parametrize("case", sorted(RESTARTS))
def test_a_token_that_left_while_no_daemon_watched_locks_its_session(world, case):
    change, config, locked, locked_all = RESTARTS[case]
    configure(world, "LocalNoPki", config)
    user_with_session(world, "c1", "ivanov", 1001)
    assert started_with_token(world, "--profile", "ivanov@kxworld").stop() == 0
    assert [(s.st_uid, oct(s.st_mode)) for s in map(world.stat, (STATE_DIR, STATE_FILE))] == [
        (0, "0o40700"), (0, "0o100600")]
    assert "\ntoken 5 whole Logon - Cardix Quill -\nprofile ivanov kxworld\nend\n" in \
        world.read(STATE_FILE)
    if change == "down":
        world.kxsim("insert", "6", "--label", "Down", "--fail", "C_Initialize=CKR_DEVICE_ERROR")
    if change in ("remove", "back"):
        world.kxsim("remove", "5")
    if change in ("swap", "back"):
        world.kxsim("insert", "5", "--replace", "--label", "Logon" if change == "back" else
                    "Other", "--model", "Korvex Quill", "--profile", "ivanov@kxworld")

    daemon = world.start_daemon().wait_ready()
    if change == "down":  # pulled while the library is down; it comes back with its token
        world.kxsim("remove", "5")
        world.kxsim("remove", "6")
    if change == "back":  # any removal the start began logs before this one
        world.kxsim("remove", "5")
        daemon.wait_for_log(re.compile(r"^\[INFO\] Отключено устройство в слоте 5 "))
    wait_for_removals(world, 1)

    assert (world.logind.calls("LockSession"), world.logind.calls("LockSessions")) == (
        locked, locked_all)
    assert bool(daemon.records(UNSEEN)) == (change != "back")
    if config == POWER_OFF:
        assert daemon.records("[WARNING] Токен отключен, пока демон не работал: систему не "
                              "выключаем, блокируем все сессии")
    assert not daemon.powered_off()
    assert daemon.stop() == 0
    assert ("\ntoken 5 " in world.read(STATE_FILE)) == (change == "swap")


# A state file the daemon cannot trust is refused, with the reason, and removed; what was inserted
# before is unknown, so every session is locked once. (what stands there, its owner, the reason)
@pytest.mark.parametrize("text, owner, why", [
    ("kxsentrixd-tokens 1\ntoken 5 whole Logon\nend\n", None, "строка 2: неверное число полей"),
    ("kxsentrixd-tokens 2\nend\n", None, "неизвестная версия 2"),
    ("kxsentrixd-tokens 1\nend\n", (60001, 60001),
     "владелец не root или запись разрешена не только root"),
    ("/etc/passwd", None, "Too many levels of symbolic links"),  # a link, never followed
])
def test_a_state_file_that_cannot_be_trusted_is_refused_and_every_session_locked(
        world, text, owner, why):
    configure(world, "LocalNoPki")
    user_with_session(world, "c1", "ivanov", 1001)
    world.mkdir(STATE_DIR, mode=0o700)
    if text.startswith("/"):
        world.symlink(text, STATE_FILE)
    else:
        world.write(STATE_FILE, text, mode=0o600, owner=owner)

    daemon = world.start_daemon().wait_ready()
    wait_for_removals(world, 1)

    assert texts(daemon.records(level=LOG_ERR)) == [
        f"[ERROR] Файл состояния токенов {STATE_FILE} отвергнут и удален: {why}",
        "[ERROR] Какие токены были подключены до запуска демона, неизвестно, поэтому блокируем "
        "все сессии"]
    assert world.logind.calls("LockSessions") == [[]]
    assert daemon.stop() == 0
    assert world.read(STATE_FILE) == "kxsentrixd-tokens 1\nend\n"
    assert world.stat(STATE_FILE, follow=False).st_uid == 0


# A token read that never ends (a library call that hangs) silences the loop's word to the
# service manager's watchdog, and the status says why; with a library that serves one call at a
# time the loop itself waits behind it; at the start the daemon never gets ready. Killed then, as
# by the watchdog, the daemon is followed by one that does not read the token again while it
# stays: stored from what it shows without a session, its removal locks every session.
@pytest.mark.parametrize("library", ["threaded", "one call at a time", "at the start"])
def test_a_token_whose_read_never_ends_is_not_read_again_after_a_kill(world, library):
    configure(world, "LocalNoPki")
    user_with_session(world, "c1", "ivanov", 1001)
    if library == "one call at a time":
        world.kxsim("insert", "8", "--label", "No locks", "--fail",
                    "C_Initialize/locking=CKR_CANT_LOCK")
    hostile = ["insert", "7", "--label", "Hostile", "--profile", "ivanov@kxworld", "--hang",
               "C_OpenSession"]
    if library == "at the start":
        world.kxsim(*hostile)
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
        notify.bind(world.host_path("/run/notify"))
        notify.settimeout(60)
        daemon = world.start_daemon(env={"NOTIFY_SOCKET": "/run/notify",
                                         "WATCHDOG_USEC": "2000000"})
        if library != "at the start":
            daemon.wait_ready()
            world.kxsim(*hostile)
        wait_until(lambda: world.exists(STATE_FILE) and "\nunread 7\n" in world.read(STATE_FILE))
        if library == "threaded":  # else the loop itself waits behind the read
            told = [notify.recv(4096).decode()]
            while "чтение токена в слоте 7 не завершается" not in told[-1]:
                told.append(notify.recv(4096).decode())
            notify.settimeout(1.5)  # the watchdog would be told three times meanwhile
            with pytest.raises(socket.timeout):
                while True:
                    told.append(notify.recv(4096).decode())
                    assert told[-1] != "WATCHDOG=1"
            assert "WATCHDOG=1" in told
    assert daemon.stop(signal.SIGABRT) == 3

    successor = world.start_daemon().wait_ready()
    world.kxsim("remove", "7")
    wait_for_removals(world, 1)

    assert successor.records("[WARNING] Токен в слоте 7 не читается, пока он не будет отключен: "
                             "его прежнее чтение не завершилось")
    assert successor.records("[ERROR] Данные токена в слоте 7 прочитаны не полностью, поэтому "
                             "блокируем все сессии")
    assert (world.logind.calls("LockSession"), world.logind.calls("LockSessions")) == ([], [[]])
    assert successor.stop() == 0
    assert not re.search(r"^(unread|token) 7\b", world.read(STATE_FILE), re.M)
