"""What the running kxsentrixd does when a token leaves: the sessions a rule ties to the token
locked and no others, the wait and its fallback, the power-off, remote-desktop clients ended."""

import itertools
import re
import signal

import pytest
from system_helpers import texts
from world import DAEMON_CONFIG, LOGIN_DEFS, PAM_SYSTEM_AUTH, World

LOCK = '{\n"actionOnTokenDisabled": 1\n}\n'
POWER_OFF = '{\n"actionOnTokenDisabled": 2\n}\n'
REMOVED = re.compile(r"^\[INFO\] Отключено устройство в слоте 5 ")
BARRIER_SLOTS = itertools.count(100)  # a token inserted after a removal marks its end
POWERING_OFF = "[INFO] Выключаем систему"
# What the fallback does with mate-panel running.
LOCKED_ALL = ["[INFO] Попытка заблокировать все сессии. {}",
              "Обнаружена запущенная среда Mate, пытаемся отобразить хранитель экрана "
              "org.mate.ScreenSaver",
              "Запуск хранителя экрана [Успех]", "[INFO] Статус хранителя экрана - активен"]


def matching(user):
    return f"[INFO] Сессия пользователя {user} соответствует токену"


def configure(world, pam_module, config=LOCK):
    """Token logon by the PAM module that marks its authentication type."""
    world.write(PAM_SYSTEM_AUTH, f"auth sufficient pam_{pam_module}.so\n")
    world.write_daemon_config(config)


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


def remove_token(world, daemon):
    """Pulls the token in slot 5 and returns what the daemon logged while handling it."""
    mark = world.log_mark()
    world.kxsim("remove", "5")
    # The loop handles one event at a time: once it takes the next one, the removal is done.
    barrier = next(BARRIER_SLOTS)
    world.kxsim("insert", str(barrier), "--label", "barrier")
    event = re.compile(rf"^\[INFO\] Token event: event 0, slot {barrier},")
    daemon.wait_for_log(event, since=mark, timeout=15)
    logged = texts(daemon.records(since=mark))
    start = next(i for i, text in enumerate(logged) if REMOVED.search(text))
    return logged[start + 1:next(i for i, text in enumerate(logged) if event.search(text))]


def test_rule_locks_the_tokens_sessions_and_no_others(world):
    """The local PKI rule (the rules' cases are unit tables) on a host in a domain, with a
    login.defs limit that cannot be read (the default of 60000 is kept). A user's certificate
    file that is no file must neither stall nor crash the daemon."""
    configure(world, "kx-tf-auth")
    world.set_hostname("ws1.corp.example.com")
    world.write(LOGIN_DEFS, "UID_MAX 99999999999\n")
    world.add_group("kx_local_pass", 3001)
    mine, other, foreign = (certificate(world, f"/root/{number}.pem", subject) for number, subject
                            in enumerate(("/CN=ivanov/O=Example Org", "/CN=petrov", "/CN=x")))
    # (name, groups, what makes their .eid/authorized_certificates), session c1 for uid 1001 ...
    for uid, (name, groups, make) in enumerate([
            ("ivanov", (), ["cp", mine]), ("petrov", (), ["cp", other]),
            ("sidorov", ("kx_local_pass",), ["cp", mine]), ("fifo", (), ["mkfifo"]),
            ("folder", (), ["mkdir"]), ("zero", (), ["ln", "-s", "/dev/zero"]),
            ("huge", (), ["truncate", "-s", "8G"])], 1001):
        user_with_session(world, f"c{uid - 1000}", name, uid, groups=groups)
        world.mkdir(f"/home/{name}/.eid")
        world.run([*make, f"/home/{name}/.eid/authorized_certificates"], check=True)
    world.logind.on_lock_session("lock", delay_ms=250)  # locked late: the daemon waits
    daemon = started_with_token(world, "--cert", foreign, "--cert", mine, "--cert-label", "logon")

    handling = remove_token(world, daemon)

    assert world.logind.calls("LockSession") == [["c1"]]
    assert world.logind.calls("LockSessions") == []  # no fallback
    assert ["Текущий тип аутентификации - Локальная PKI", "hostName - ws1.corp.example.com",
            "domainName - corp.example.com"] == [
        text for text in texts(daemon.records())
        if text.startswith(("Текущий тип", "hostName", "domainName"))]
    assert [text for text in handling if text.startswith(("[WARNING]", "[ERROR]"))] == [
        "[ERROR] Некорректное значение UID_MAX в /etc/login.defs: 99999999999, используется "
        "60000"] + [f"[WARNING] Не удалось открыть файл /home/{name}/.eid/authorized_certificates"
                    for name in ("fifo", "folder", "zero")] + ["[ERROR] Не удалось создать X509"]
    assert [text for text in handling if text.startswith("[INFO] Сессия")] == [matching("ivanov")]
    checks = [text[text.find("LockedHint"):] for text in handling
              if text.startswith("Сессия /org/freedesktop/")]
    assert (checks[0], checks[-1]) == ("LockedHint: 0, Active: 1", "LockedHint: 1, Active: 1")
    assert 250 <= int(re.fullmatch(r"\[INFO\] 1 сессия пользователей были успешно "
                                   r"заблокированы через (\d+) msec", handling[-1])[1]) < 3000
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
        configure(world, "kx-tf-auth_nopki", config)
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
        configure(world, "kx-tf-auth_nopki", POWER_OFF)
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
