"""What the running kxsentrixd does when a token leaves: the sessions each matching rule ties to
the token are locked and no others, the wait and its fallback, the power-off, the remote-desktop
clients interrupted, and users' certificate files that are not files."""

import itertools
import re
import signal

import pytest
from system_helpers import texts
from world import DAEMON_CONFIG, LOGIN_DEFS, PAM_SYSTEM_AUTH, World

LOCK = '{\n"actionOnTokenDisabled": 1\n}\n'
POWER_OFF = '{\n"actionOnTokenDisabled": 2\n}\n'
# The PAM module that marks each authentication type, and its name in the log.
AUTH_TYPES = {"LocalPki": ("kx-tf-auth", "Локальная PKI"),
              "LocalNoPki": ("kx-tf-auth_nopki", "Локальная noPKI"),
              "NetworkPki": ("kx-tf-net-auth", "Сетевая PKI"),
              "NetworkNoPki": ("kx-tf-net-auth_nopki", "Сетевая noPKI")}
REMOVED = re.compile(r"^\[INFO\] Отключено устройство в слоте 5 ")
BARRIER_SLOTS = itertools.count(100)  # a token inserted after a removal marks its end
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


def remove_token(world, daemon, lock_late=()):
    """Pulls the token in slot 5 and returns what the daemon logged while handling it. The
    sessions in lock_late lock only once the daemon has seen them unlocked: it has to wait."""
    mark = world.log_mark()
    world.kxsim("remove", "5")
    if lock_late:
        daemon.wait_for_log(re.compile(r"LockedHint: 0, Active: 1$"), since=mark)
        for session_id in lock_late:
            world.logind.set_session(session_id, LockedHint=True)
    # The loop handles one event at a time: once it takes the next one, the removal is done.
    barrier = next(BARRIER_SLOTS)
    world.kxsim("insert", str(barrier), "--label", "barrier")
    event = re.compile(rf"^\[INFO\] Token event: event 0, slot {barrier},")
    daemon.wait_for_log(event, since=mark, timeout=15)
    logged = texts(daemon.records(since=mark))
    start = next(i for i, text in enumerate(logged) if REMOVED.search(text))
    return logged[start + 1:next(i for i, text in enumerate(logged) if event.search(text))]


IVANOV = "/CN=ivanov/O=Example Org"  # the subject of a certificate made for the test
# Each rule on a host in a domain or not: the token's accounts are locked, the others are not; a
# login.defs limit that cannot be read keeps the default of 60000. (auth type, host, forced
# match, users (session, name, uid, groups, the certificate in their .eid/authorized_certificates:
# a subject or what stands there instead), token options, sessions locked, warnings and errors)
RULE_CASES = {
    # A user's certificate file that is no file must neither stall nor crash the daemon.
    "LocalPki": ("LocalPki", "ws1.corp.example.com", False,
                 [("c1", "ivanov", 1001, (), IVANOV), ("c2", "petrov", 1002, (), "/CN=petrov"),
                  ("c3", "sidorov", 1003, ("kx_local_pass",), IVANOV),
                  ("c5", "fifo", 1005, (), "fifo"), ("c6", "folder", 1006, (), "folder"),
                  ("c7", "zero", 1007, (), "zero"), ("c8", "huge", 1008, (), "huge")],
                 ["--cert", "/CN=other", "--cert", IVANOV, "--cert-label", "logon"], [["c1"]],
                 [f"[WARNING] Не удалось открыть файл /home/{name}/.eid/authorized_certificates"
                  for name in ("fifo", "folder", "zero")] + ["[ERROR] Не удалось создать X509"]),
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
    "NetworkNoPki": ("NetworkNoPki", "ws1.corp.example.com", False,
                     [("c1", "ivanov", 60001, (), None),
                      ("c2", "petrov", 60002, ("kx_net_pass",), None),
                      ("c3", "sidorov", 60003, (), None)],
                     ["--profile", "ivanov@CORP", "--profile", "petrov@CORP",
                      "--profile", "sidorov@example.com"], [["c1"]], []),
    # Every domain account but a pass-only one, even on a host without a domain part.
    "forced match first": ("NetworkNoPki", "ws1", True,
                           [("c1", "ivanov", 60001, (), None),
                            ("c2", "petrov", 60002, ("kx_net_pass",), None),
                            ("c3", "local", 1001, (), None)], [], [["c1"]], []),
    "host without domain": ("NetworkPki", "ws1", False, [("c1", "ivanov", 60001, (), None)],
                            ["--cert", "/CN=ivanov/O=ws1"], [],
                            ["[WARNING] Сессия пользователя ivanov, uid 60001, home '/home/ivanov' "
                             "пропускается т. к. компьютер не в домене"]),
}


@pytest.mark.parametrize("case", sorted(RULE_CASES))
def test_rule_locks_the_tokens_sessions_and_no_others(world, case):
    auth_type, host, forced, users, token, locked, problems = RULE_CASES[case]
    configure(world, auth_type, '{\n"actionOnTokenDisabled": 1,\n"forceSessionMatch": true\n}\n'
              if forced else LOCK, host=host)
    world.write(LOGIN_DEFS, "UID_MAX 99999999999\n")
    for group, gid in (("kx_local_pass", 3001), ("kx_local_pin", 3002), ("kx_net_pass", 3003)):
        world.add_group(group, gid)
    made = {}  # subject -> certificate, so that the same subject is the same certificate

    def certificate_of(subject):
        if subject not in made:
            made[subject] = certificate(world, f"/root/{len(made)}.pem", subject)
        return made[subject]

    for session_id, name, uid, groups, cert in users:
        user_with_session(world, session_id, name, uid, groups=groups)
        path = f"/home/{name}/.eid/authorized_certificates"
        world.mkdir(f"/home/{name}/.eid")
        if cert == "fifo":
            world.run(["mkfifo", path], check=True)
        elif cert == "folder":
            world.mkdir(path)
        elif cert == "zero":
            world.symlink("/dev/zero", path)
        elif cert == "huge":
            world.run(["truncate", "-s", "8G", path], check=True)
        elif cert:
            world.write(path, world.read(certificate_of(cert)))
    token = [certificate_of(option) if option.startswith("/") else option for option in token]
    world.logind.on_lock_session("ignore")
    daemon = started_with_token(world, *token)

    handling = remove_token(world, daemon, lock_late=[session for (session,) in locked])

    assert world.logind.calls("LockSession") == locked
    assert world.logind.calls("LockSessions") == []  # no fallback
    type_name = AUTH_TYPES[auth_type][1]
    assert [f"Текущий тип аутентификации - {type_name}", f"hostName - {host}",
            f"domainName - {host.partition('.')[2]}"] == [
        text for text in texts(daemon.records())
        if text.startswith(("Текущий тип", "hostName", "domainName"))]
    assert handling[:4] == [
        "[INFO] Настроенное действие для удаленного подключения - Бездействие",
        "[INFO] Настроенное действие для системы - Блокировка сессии пользователя",
        f"[INFO] Текущий тип аутентификации - {type_name}",
        "[ERROR] Некорректное значение UID_MAX в /etc/login.defs: 99999999999, используется "
        "60000"]
    assert [text for text in handling[4:] if text.startswith(("[WARNING]", "[ERROR]"))] == problems
    names = {session_id: name for session_id, name, *_ in users}
    assert [text for text in handling if text.startswith("[INFO] Сессия")] == [
        matching(names[session_id]) for (session_id,) in locked]
    if locked:
        checks = [text for text in handling if text.startswith("Сессия /org/freedesktop/")]
        assert checks[0].endswith("LockedHint: 0, Active: 1")
        assert checks[-1].endswith("LockedHint: 1, Active: 1")
        assert locked_in(len(locked)).search(handling[-1])
    assert daemon.stop() == 0


# Sessions that cannot be confirmed locked: the daemon locks all of them and, with MATE
# running, the screensaver. (logind in the world, configuration, what LockSession does, start
# options, the handling from its first line given on, without the debug lines)
FALLBACKS = {
    "never locked": (True, LOCK, "fail", {}, [
        "[ERROR] Ошибка g_dbus_proxy_call_sync LockSession", "Ошибка блокировки сессии",
        "[WARNING] Не удалось заблокировать сессии за отведенное время через "
        "org.freedesktop.login1.Manager", LOCKED_ALL[0].format(1), *LOCKED_ALL[1:]]),
    "power-off not permitted": (True, POWER_OFF, "lock", {"drop_capabilities": ["sys_boot"]}, [
        POWERING_OFF, "[ERROR] Не удалось выключить компьютер, error code: 1, error: Operation "
        "not permitted", LOCKED_ALL[0].format(1), *LOCKED_ALL[1:]]),
    "without logind": (False, LOCK, None, {}, [
        "[ERROR] Ошибка g_dbus_proxy_call_sync ListSessions",
        "[ERROR] Не удалось получить список сессий пользователей, блокируем все сессии",
        "[ERROR] Ошибка g_dbus_proxy_call_sync LockSessions", LOCKED_ALL[0].format(0),
        *LOCKED_ALL[1:]]),
}


@pytest.mark.parametrize("case", sorted(FALLBACKS))
def test_sessions_not_confirmed_locked_fall_back_to_locking_everything(case):
    logind, config, lock, start, tail = FALLBACKS[case]
    with World(logind=logind) as world:
        configure(world, "LocalNoPki", config)
        if logind:
            user_with_session(world, "c1", "ivanov", 1001)
            world.logind.on_lock_session(lock)
        world.spawn(["mate-panel"])
        daemon = started_with_token(world, "--profile", "ivanov@kxworld", **start)

        handling = [text for text in remove_token(world, daemon)
                    if not text.startswith(("\t", "Сессия "))]

        assert handling[handling.index(tail[0]):] == tail
        assert world.screensaver.calls("Lock") == [[]]
        if logind:
            assert world.logind.calls("LockSessions") == [[]]
            assert world.logind.session("c1")["LockedHint"] is True
        assert not daemon.powered_off()
        assert daemon.stop() == 0


@pytest.mark.parametrize("configuration", ["powering off", "gone"])
def test_power_off_ends_the_machine(world, configuration):
    client = world.spawn(["xfreerdp", "/v:rdp.corp"])
    if configuration == "gone":  # the remote clients are closed first
        world.write_daemon_config('{\n"actionOnTokenDisabledRemote": 1\n}\n')
    else:  # at the first matching session
        configure(world, "LocalNoPki", POWER_OFF)
        user_with_session(world, "c1", "ivanov", 1001)
        world.logind.add_session("c2", 1001, "ivanov")
    daemon = started_with_token(world, "--profile", "ivanov@kxworld")
    if configuration == "gone":
        world.remove(DAEMON_CONFIG)
    mark = world.log_mark()

    world.kxsim("remove", "5", check=False)  # the power-off may end kxsim before it does

    assert daemon.wait() == -signal.SIGKILL  # the whole machine went down with it
    assert daemon.powered_off()
    handling = texts(daemon.records(since=mark))
    assert world.logind.calls("LockSession") == []
    if configuration == "gone":
        # The power-off can take the client down before it has noted its SIGINT; the records
        # show that the signal went out first.
        assert client.signals() in ([signal.SIGINT], [])
        # No PAM file: no token logon configured, as the start-up line says.
        assert "Текущий тип аутентификации - Не настроена" in texts(daemon.records())
        assert handling[-2:] == [
            f"[INFO] Завершение процесса удаленного подключения xfreerdp с pid {client.pid} и "
            "его родителя с pid 0", "[WARNING] Конфигурационный файл не найден, выключаем систему"]
    else:
        assert handling[-3:] == [
            "Сессия пользователя ivanov, uid 1001, home '/home/ivanov' соответствует токену т. к. "
            "найден подходящий профиль ivanov@kxworld", matching("ivanov"), POWERING_OFF]


def test_remote_clients_of_the_token_and_their_sentrix_parents_are_interrupted(world):
    world.write_daemon_config('{\n"actionOnTokenDisabled": 0,\n'
                              '"actionOnTokenDisabledRemote": 1\n}\n')
    with_sentrix = world.spawn(["xfreerdp", "/u:ivanov", "/d:CORP", "/v:rdp"],
                               parent=["/opt/kx/bin/kxsentrix", "--connect"])
    # A command line far beyond the bound the daemon reads: only its start counts.
    no_user = world.spawn(["xfreerdp", "/v:rdp", *["x" * 100000] * 12],
                          parent=["/usr/bin/launcher"])
    orphan = world.spawn(["xfreerdp", "/u:ivanov", "/d:corp"])
    other_user = world.spawn(["xfreerdp", "/u:petrov", "/d:corp"], parent=["kxsentrix"])
    daemon = started_with_token(world, "--profile", "ivanov@corp")

    handling = remove_token(world, daemon)

    for process in (with_sentrix, with_sentrix.parent, no_user, orphan):
        process.wait_for_signal(signal.SIGINT)
    assert [process.signals() for process in (no_user.parent, other_user, other_user.parent)
            ] == [[]] * 3

    def closing(process, parent_pid):
        return (f"[INFO] Завершение процесса удаленного подключения xfreerdp с pid "
                f"{process.pid} и его родителя с pid {parent_pid}")
    assert [text for text in handling if text.startswith("[INFO]")] == [
        "[INFO] Настроенное действие для удаленного подключения - Закрывать удаленное "
        "подключение",
        closing(with_sentrix, with_sentrix.parent.pid), closing(no_user, no_user.parent.pid),
        "[INFO] Родительский процесс не является процессом sentrix, пропускаем его завершение",
        closing(orphan, 0), "[INFO] Настроенное действие для системы - Бездействие"]
    assert "Найдено 4 активных удаленных подключений" in handling
    assert daemon.stop() == 0
