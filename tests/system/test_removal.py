"""What the running kxsentrixd does when a token leaves: the sessions each matching rule ties to
the token are locked through logind and no others, the wait for them to report locked and its
fallback, the power-off, the remote-desktop clients interrupted, and users' certificate files
that are not files."""

import itertools
import re
import signal

import pytest
from world import DAEMON_CONFIG, LOGIN_DEFS, PAM_SYSTEM_AUTH, World

LOCK = '{\n"actionOnTokenDisabled": 1\n}\n'
POWER_OFF = '{\n"actionOnTokenDisabled": 2\n}\n'
MARKERS = {"LocalPki": "kx-tf-auth", "LocalNoPki": "kx-tf-auth_nopki",
           "NetworkPki": "kx-tf-net-auth", "NetworkNoPki": "kx-tf-net-auth_nopki"}
TYPE_NAMES = {"LocalPki": "Локальная PKI", "LocalNoPki": "Локальная noPKI",
              "NetworkPki": "Сетевая PKI", "NetworkNoPki": "Сетевая noPKI"}
REMOVED = re.compile(r"^\[INFO\] Отключено устройство в слоте 5 ")
BARRIER_SLOTS = itertools.count(100)  # a token inserted after a removal marks its end
WAIT_FAILED = ("[WARNING] Не удалось заблокировать сессии за отведенное время через "
               "org.freedesktop.login1.Manager")
SAVER_STARTED = "Обнаружена запущенная среда Mate, пытаемся отобразить хранитель экрана " \
                "org.mate.ScreenSaver"


def locked_in(count):
    return re.compile(rf"^\[INFO\] {count} сессия пользователей были успешно заблокированы "
                      r"через (\d+) msec$")


def matching(user):
    return f"[INFO] Сессия пользователя {user} соответствует токену"


def configure(world, auth_type, config=LOCK, host=None):
    world.write(PAM_SYSTEM_AUTH, f"auth sufficient pam_{MARKERS[auth_type]}.so\n")
    world.write_daemon_config(config)
    if host:
        world.set_hostname(host)


def certificate(world, path, subject):
    """A fresh self-signed certificate at a world path, made by openssl in the world."""
    world.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
               "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30", "-keyout", "/dev/null",
               "-out", path, "-subj", subject], check=True)
    return path


def user_with_session(world, session_id, name, uid, groups=(), certificate_of=None):
    """An account with a logind session; certificate_of: the world path of a certificate to
    put into the user's .eid/authorized_certificates."""
    world.add_user(name, uid, groups=groups)
    world.logind.add_session(session_id, uid, name)
    if certificate_of:
        world.write(f"/home/{name}/.eid/authorized_certificates", world.read(certificate_of))


def insert(world, *options):
    world.kxsim("insert", "5", "--label", "Logon", "--model", "Korvex Quill", *options)


def pull_before_power_off(world):
    # kxsim runs in the machine too: the power-off may end it before it does.
    world.kxsim("remove", "5", check=False)


def remove_token(world, daemon):
    """Pulls the token in slot 5 and returns what the daemon logged while handling it."""
    mark = world.log_mark()
    world.kxsim("remove", "5")
    # The loop handles one event at a time: once it takes the next one, the removal is done.
    barrier = next(BARRIER_SLOTS)
    world.kxsim("insert", str(barrier), "--label", "barrier")
    event = re.compile(rf"^\[INFO\] Token event: event 0, slot {barrier},")
    daemon.wait_for_log(event, since=mark, timeout=15)
    texts = [record.text for record in daemon.records(since=mark)]
    start = next(i for i, text in enumerate(texts) if REMOVED.search(text))
    end = next(i for i, text in enumerate(texts) if event.search(text))
    return texts[start + 1:end]


def test_local_pki_locks_the_certificate_owner_only(world):
    configure(world, "LocalPki")
    token_cert = certificate(world, "/root/ivanov.pem", "/CN=ivanov/O=Example Org")
    other_cert = certificate(world, "/root/petrov.pem", "/CN=petrov")
    user_with_session(world, "c1", "ivanov", 1001, certificate_of=token_cert)
    user_with_session(world, "c2", "petrov", 1002, certificate_of=other_cert)
    world.add_group("kx_local_pass", 3001)
    user_with_session(world, "c3", "sidorov", 1003, groups=["kx_local_pass"],
                      certificate_of=token_cert)
    user_with_session(world, "c4", "nocert", 1004)
    insert(world, "--cert", certificate(world, "/root/other.pem", "/CN=other"), "--cert",
           token_cert, "--cert-label", "logon")
    daemon = world.start_daemon().wait_ready()

    handling = remove_token(world, daemon)

    assert world.logind.calls("LockSession") == [["c1"]]
    assert [text for text in handling if text.startswith("[INFO] Сессия")] == [matching("ivanov")]
    assert locked_in(1).search(handling[-1])
    assert "Текущий тип аутентификации - Локальная PKI" in [r.text for r in daemon.records()]
    assert daemon.stop() == 0


# Each network or noPKI rule on a host in a domain: the token's account is locked, the others
# are not; a login.defs limit that cannot be read keeps the default of 60000.
RULE_CASES = {
    "LocalNoPki": dict(
        users=[("c1", "ivanov", 1001, ()), ("c2", "petrov", 1002, ()),
               ("c3", "sidorov", 1003, ("kx_local_pass", "kx_local_pin")),
               ("c4", "Ivanov", 1004, ())],
        token=["--profile", "ivanov@WS1", "--profile", "petrov@corp.example.com",
               "--profile", "sidorov@ws1.corp"],
        locked=[["c1"], ["c3"]]),
    "NetworkPki": dict(
        users=[("c1", "ivanov", 60001, ()), ("c2", "petrov", 60002, ()),
               ("c3", "ivanovlocal", 1001, ())],
        token=["--cert", "CERT"], subject="/DC=com/DC=example/DC=corp/CN=ivanov",
        locked=[["c1"]]),
    "NetworkNoPki": dict(
        users=[("c1", "ivanov", 60001, ()), ("c2", "petrov", 60002, ("kx_net_pass",)),
               ("c3", "sidorov", 60003, ())],
        token=["--profile", "ivanov@CORP", "--profile", "petrov@CORP",
               "--profile", "sidorov@example.com"],
        locked=[["c1"]]),
}


@pytest.mark.parametrize("auth_type", sorted(RULE_CASES))
def test_rule_locks_the_tokens_sessions_on_a_host_in_a_domain(world, auth_type):
    case = RULE_CASES[auth_type]
    configure(world, auth_type, host="ws1.corp.example.com")
    world.write(LOGIN_DEFS, "UID_MAX 99999999999\n")
    for group, gid in (("kx_local_pass", 3001), ("kx_local_pin", 3002), ("kx_net_pass", 3003)):
        world.add_group(group, gid)
    for session_id, name, uid, groups in case["users"]:
        user_with_session(world, session_id, name, uid, groups=groups)
    token = case["token"]
    if "subject" in case:
        token = [certificate(world, "/root/token.pem", case["subject"])
                 if option == "CERT" else option for option in token]
    insert(world, *token)
    daemon = world.start_daemon().wait_ready()

    handling = remove_token(world, daemon)

    assert world.logind.calls("LockSession") == case["locked"]
    started = [record.text for record in daemon.records()]
    assert [f"Текущий тип аутентификации - {TYPE_NAMES[auth_type]}",
            "hostName - ws1.corp.example.com", "domainName - corp.example.com"] == [
        text for text in started if text.startswith(("Текущий тип", "hostName", "domainName"))]
    assert handling[:4] == [
        "[INFO] Настроенное действие для удаленного подключения - Бездействие",
        "[INFO] Настроенное действие для системы - Блокировка сессии пользователя",
        f"[INFO] Текущий тип аутентификации - {TYPE_NAMES[auth_type]}",
        "[ERROR] Некорректное значение UID_MAX в /etc/login.defs: 99999999999, используется "
        "60000"]
    assert locked_in(len(case["locked"])).search(handling[-1])
    assert daemon.stop() == 0


def test_forced_match_comes_before_the_domain_check(world):
    """Every domain account but a pass-only one is the token's, even on a host without a
    domain part."""
    configure(world, "NetworkNoPki", '{\n"actionOnTokenDisabled": 1,\n'
              '"forceSessionMatch": true\n}\n', host="ws1")
    world.add_group("kx_net_pass", 3003)
    user_with_session(world, "c1", "ivanov", 60001)
    user_with_session(world, "c2", "petrov", 60002, groups=("kx_net_pass",))
    user_with_session(world, "c3", "local", 1001)
    insert(world)
    daemon = world.start_daemon().wait_ready()

    remove_token(world, daemon)

    assert world.logind.calls("LockSession") == [["c1"]]
    assert daemon.stop() == 0


def test_host_without_domain_matches_no_network_session(world):
    configure(world, "NetworkPki", host="ws1")
    user_with_session(world, "c1", "ivanov", 60001)
    insert(world, "--cert", certificate(world, "/root/token.pem", "/CN=ivanov/O=ws1"))
    daemon = world.start_daemon().wait_ready()

    handling = remove_token(world, daemon)

    assert world.logind.calls("LockSession") == []
    assert "domainName - " in [record.text for record in daemon.records()]
    assert handling[-1] == ("[WARNING] Сессия пользователя ivanov, uid 60001, home "
                            "'/home/ivanov' пропускается т. к. компьютер не в домене")
    assert daemon.stop() == 0


def test_sessions_locked_late_are_waited_for(world):
    configure(world, "LocalNoPki")
    user_with_session(world, "c1", "ivanov", 1001)
    world.logind.on_lock_session("lock", delay_ms=250)
    insert(world, "--profile", "ivanov@kxworld")
    daemon = world.start_daemon().wait_ready()

    handling = remove_token(world, daemon)

    checks = [text for text in handling if text.startswith("Сессия /org/freedesktop/login1/")]
    assert checks[0].endswith("LockedHint: 0, Active: 1")
    assert checks[-1].endswith("LockedHint: 1, Active: 1")
    assert 250 <= int(locked_in(1).search(handling[-1]).group(1)) < 3000
    assert world.logind.calls("LockSessions") == []
    assert daemon.stop() == 0


def test_sessions_never_locked_fall_back_to_lock_all_and_the_screensaver(world):
    configure(world, "LocalNoPki")
    user_with_session(world, "c1", "ivanov", 1001)
    world.logind.on_lock_session("fail")
    world.spawn(["mate-panel"])
    insert(world, "--profile", "ivanov@kxworld")
    daemon = world.start_daemon().wait_ready()

    handling = remove_token(world, daemon)

    assert handling[handling.index(matching("ivanov")) + 1:][:3] == [
        "[ERROR] Ошибка g_dbus_proxy_call_sync LockSession",
        "\terror code 9, error GDBus.Error:org.freedesktop.DBus.Error.AccessDenied: "
        "Access denied",
        "Ошибка блокировки сессии"]
    assert handling[handling.index(WAIT_FAILED):] == [
        WAIT_FAILED, "[INFO] Попытка заблокировать все сессии. 1", SAVER_STARTED,
        "Запуск хранителя экрана [Успех]", "[INFO] Статус хранителя экрана - активен"]
    assert world.logind.calls("LockSessions") == [[]]
    assert world.screensaver.calls("Lock") == [[]]
    assert daemon.stop() == 0


def test_without_logind_every_session_is_locked_as_far_as_possible():
    with World(logind=False) as world:
        configure(world, "LocalNoPki")
        world.spawn(["mate-panel"])
        insert(world, "--profile", "ivanov@kxworld")
        daemon = world.start_daemon().wait_ready()

        handling = remove_token(world, daemon)

        assert [text for text in handling if not text.startswith("\t")][3:] == [
            "[ERROR] Ошибка g_dbus_proxy_call_sync ListSessions",
            "[ERROR] Не удалось получить список сессий пользователей, блокируем все сессии",
            "[ERROR] Ошибка g_dbus_proxy_call_sync LockSessions",
            "[INFO] Попытка заблокировать все сессии. 0", SAVER_STARTED,
            "Запуск хранителя экрана [Успех]", "[INFO] Статус хранителя экрана - активен"]
        assert daemon.stop() == 0


def test_power_off_at_the_first_matching_session(world):
    configure(world, "LocalNoPki", POWER_OFF)
    user_with_session(world, "c1", "ivanov", 1001)
    world.logind.add_session("c2", 1001, "ivanov")
    insert(world, "--profile", "ivanov@kxworld")
    daemon = world.start_daemon().wait_ready()
    mark = world.log_mark()

    pull_before_power_off(world)

    assert daemon.wait() == -signal.SIGKILL  # the whole machine went down with it
    assert daemon.powered_off()
    assert [record.text for record in daemon.records(since=mark)][-3:] == [
        "Сессия пользователя ivanov, uid 1001, home '/home/ivanov' соответствует токену т. к. "
        "найден подходящий профиль ivanov@kxworld",
        matching("ivanov"), "[INFO] Выключаем систему"]
    assert world.logind.calls("LockSession") == []


def test_configuration_gone_powers_off_after_closing_remote_clients(world):
    world.write_daemon_config('{\n"actionOnTokenDisabledRemote": 1\n}\n')
    client = world.spawn(["xfreerdp", "/v:rdp.corp"])
    insert(world)
    daemon = world.start_daemon().wait_ready()
    world.remove(DAEMON_CONFIG)
    mark = world.log_mark()

    pull_before_power_off(world)

    assert daemon.wait() == -signal.SIGKILL
    assert daemon.powered_off()
    # The power-off can take the client down before it has noted its SIGINT; the records below
    # show that the signal went out first.
    assert client.signals() in ([signal.SIGINT], [])
    # No PAM file: no token logon configured, as the start-up line says.
    assert "Текущий тип аутентификации - Не настроена" in [r.text for r in daemon.records()]
    handling = [record.text for record in daemon.records(since=mark)]
    assert handling[handling.index("[INFO] Настроенное действие для удаленного подключения - "
                                   "Закрывать удаленное подключение"):][-2:] == [
        "[INFO] Завершение процесса удаленного подключения xfreerdp с pid "
        f"{client.pid} и его родителя с pid 0",
        "[WARNING] Конфигурационный файл не найден, выключаем систему"]


def test_power_off_without_the_privilege_locks_everything_instead(world):
    configure(world, "LocalNoPki", POWER_OFF)
    user_with_session(world, "c1", "ivanov", 1001)
    world.spawn(["mate-panel"])
    insert(world, "--profile", "ivanov@kxworld")
    daemon = world.start_daemon(drop_capabilities=["sys_boot"]).wait_ready()

    handling = remove_token(world, daemon)

    assert handling[handling.index("[INFO] Выключаем систему"):] == [
        "[INFO] Выключаем систему",
        "[ERROR] Не удалось выключить компьютер, error code: 1, error: Operation not permitted",
        "[INFO] Попытка заблокировать все сессии. 1", SAVER_STARTED,
        "Запуск хранителя экрана [Успех]", "[INFO] Статус хранителя экрана - активен"]
    assert world.logind.session("c1")["LockedHint"] is True
    assert not daemon.powered_off()
    assert daemon.stop() == 0


def test_remote_clients_of_the_token_and_their_sentrix_parents_are_interrupted(world):
    world.write_daemon_config('{\n"actionOnTokenDisabled": 0,\n'
                              '"actionOnTokenDisabledRemote": 1\n}\n')
    with_sentrix = world.spawn(["xfreerdp", "/u:ivanov", "/d:CORP", "/v:rdp"],
                               parent=["/opt/kx/bin/kxsentrix", "--connect"])
    # A command line far beyond the bound the daemon reads: only its start counts.
    no_user = world.spawn(["xfreerdp", "/v:rdp", *["x" * 100000] * 12],
                          parent=["/usr/bin/launcher"])
    orphan = world.spawn(["xfreerdp", "/u:ivanov", "/d:corp"])
    no_domain = world.spawn(["xfreerdp", "/u:ivanov", "/v:rdp"], parent=["kxsentrix"])
    other_user = world.spawn(["xfreerdp", "/u:petrov", "/d:corp"])
    other_client = world.spawn(["rdesktop", "/v:rdp"])
    insert(world, "--profile", "ivanov@corp")
    daemon = world.start_daemon().wait_ready()

    handling = remove_token(world, daemon)

    for process in (with_sentrix, with_sentrix.parent, no_user, orphan):
        process.wait_for_signal(signal.SIGINT)
    assert [process.signals() for process in (no_user.parent, no_domain, no_domain.parent,
                                              other_user, other_client)] == [[]] * 5
    assert [text for text in handling if text.startswith("[INFO]")] == [
        "[INFO] Настроенное действие для удаленного подключения - Закрывать удаленное "
        "подключение",
        "[INFO] Завершение процесса удаленного подключения xfreerdp с pid "
        f"{with_sentrix.pid} и его родителя с pid {with_sentrix.parent.pid}",
        f"[INFO] Завершение процесса удаленного подключения xfreerdp с pid {no_user.pid} и его "
        f"родителя с pid {no_user.parent.pid}",
        "[INFO] Родительский процесс не является процессом sentrix, пропускаем его завершение",
        f"[INFO] Завершение процесса удаленного подключения xfreerdp с pid {orphan.pid} и его "
        "родителя с pid 0",
        "[INFO] Настроенное действие для системы - Бездействие"]
    assert "Найдено 5 активных удаленных подключений" in handling
    assert daemon.stop() == 0


def test_certificate_files_that_are_no_files_only_skip_their_sessions(world):
    configure(world, "LocalPki")
    for name, uid in (("fifo", 1001), ("folder", 1002), ("zero", 1003), ("huge", 1004)):
        user_with_session(world, f"c{uid}", name, uid)
        world.mkdir(f"/home/{name}/.eid")
    path = "/home/{}/.eid/authorized_certificates"
    world.run(["mkfifo", path.format("fifo")], check=True)
    world.mkdir(path.format("folder"))
    world.symlink("/dev/zero", path.format("zero"))
    world.run(["truncate", "-s", "8G", path.format("huge")], check=True)
    token_cert = certificate(world, "/root/ivanov.pem", "/CN=ivanov")
    user_with_session(world, "c9", "ivanov", 1009, certificate_of=token_cert)
    insert(world, "--cert", token_cert)
    daemon = world.start_daemon().wait_ready()

    handling = remove_token(world, daemon)

    assert world.logind.calls("LockSession") == [["c9"]]
    assert [text for text in handling if text.startswith(("[WARNING]", "[ERROR]"))] == [
        f"[WARNING] Не удалось открыть файл {path.format(name)}"
        for name in ("fifo", "folder", "zero")] + ["[ERROR] Не удалось создать X509"]
    assert locked_in(1).search(handling[-1])
    assert daemon.stop() == 0
