"""Lifecycle of the shipped kxsentrixd with its real paths: the single instance lock, the pid
file, readiness, stop and fatal signals with their exit statuses, the one-shot lock command, the
log tag."""

import re
import signal
import socket

import pytest
from system_helpers import texts
from world import LOG_DEBUG, LOG_ERR, LOG_INFO, LOG_LOCAL7, LOG_WARNING, PID_FILE, PYTHON

STARTED = "[INFO] Korvex Sentrix daemon started"
FINISHED = "[INFO] Korvex Sentrix daemon finished"
ALREADY_RUNNING = ("[WARNING] Korvex Daemon уже запущен. Может быть запущен только один "
                   "экземпляр демона.")
LOCK_COMMAND = "[INFO] Вызов с блокировкой всех сессий"
NOT_ROOT = ("kxsentrixd: Ошибка при открытии файла /var/run/kxauthd.pid, error code: 13, error: "
            "Permission denied\r\n")
USAGE = ("usage: kxsentrixd           run the daemon (as root, in the foreground)\n"
         "       kxsentrixd lock      lock every login session and exit\n"
         "       kxsentrixd --help | --version\n"
         "See kxsentrixd(8).\n")
# Runs the command in argv[1:] on a pseudo-terminal; what it wrote there comes out on stdout.
ON_A_TERMINAL = "import os, pty, sys; sys.exit(os.waitstatus_to_exitcode(pty.spawn(sys.argv[1:])))"
NO_BUS = ("[WARNING] Не удалось получить подключение к dbus. Failed to connect to socket "
          "/run/no-bus: No such file or directory")


def test_pid_file_keeps_a_second_instance_out_but_not_a_successor_nor_the_lock_command(world):
    world.mkdir(PID_FILE)
    refused = world.start_daemon()
    assert refused.wait() == 1
    assert texts(refused.records(level=LOG_ERR)) == [
        "[ERROR] Ошибка при открытии файла /var/run/kxauthd.pid, error code: 21, "
        "error: Is a directory"]
    world.remove(PID_FILE)
    first = world.start_daemon().wait_ready()
    assert world.stat(PID_FILE).st_mode & 0o777 == 0o600
    second = world.start_daemon()
    assert second.wait() == 2
    assert [(r.text, r.level) for r in second.records()] == [
        (STARTED, LOG_INFO), (ALREADY_RUNNING, LOG_WARNING)]
    assert second.output() == ""  # its stderr is no terminal
    # Started by hand, on a terminal: why it ended shows there too, as root and as a user.
    for user in [], ["setpriv", "--reuid=60001", "--regid=60001", "--clear-groups"]:
        shown = world.run([PYTHON, "-c", ON_A_TERMINAL, *user, world.daemon_path])
        assert (shown.returncode, shown.stdout) == ((2, f"kxsentrixd: {ALREADY_RUNNING[10:]}\r\n")
                                                    if not user else (1, NOT_ROOT)), user
    command = world.start_daemon("lock")
    assert command.wait() == 0 and ALREADY_RUNNING not in texts(command.records())
    assert world.read_pid_file() == f"{first.pid}\n"

    # A killed daemon leaves its pid file behind; it does not block the next start, which tells
    # the service manager it is ready once, when the first scan has stored every token.
    assert first.stop(signal.SIGKILL) == -signal.SIGKILL
    assert world.read_pid_file() == f"{first.pid}\n"
    world.write_daemon_config("")
    for slot in range(1, 151):  # enough that the first scan takes a while
        world.write(f"/run/kxsim/tokens/{slot}", "label = Early\nmodel = Korvex Quill\n")
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
        notify.bind(world.host_path("/run/notify"))
        notify.settimeout(30)
        successor = world.start_daemon(env={"NOTIFY_SOCKET": "/run/notify"})
        assert notify.recv(4096).decode() == (
            "READY=1\nSTATUS=Единая библиотека инициализирована; токенов: 150; конфигурация не "
            "принята, настроек нет: при отключении токена сессии не затрагиваются")  # empty file
        assert len(successor.records(re.compile("^\\[INFO\\] Подключено новое устройство"))) == 150
        successor.wait_ready(timeout=30)
        notify.settimeout(0.2)
        with pytest.raises(socket.timeout):
            notify.recv(4096)
    assert world.read_pid_file() == f"{successor.pid}\n"
    assert successor.stop() == 0


# Nothing but no argument and "lock" starts anything: help and version end with 0, anything else
# (a typo of lock, an option) with 64 and the usage, before the daemon logs or locks a thing.
def test_arguments_other_than_lock_start_nothing(world):
    for args, status, stdout in [
            (["--help"], 0, USAGE), (["-h"], 0, USAGE), (["--version"], 0, "kxsentrixd 0.1\n"),
            (["-V"], 0, "kxsentrixd 0.1\n"), (["lock "], 64, ""), (["Lock"], 64, ""),
            (["--debug"], 64, ""), (["lock", "now"], 64, ""), (["-h", "-V"], 64, "")]:
        result = world.run([world.daemon_path, *args])
        unexpected = args[-1] if args[0] in ("lock", "-h") else args[0]
        assert (result.returncode, result.stdout, result.stderr) == (status, stdout, (
            f"kxsentrixd: unexpected argument '{unexpected}'\n" + USAGE) if status else ""), args
    assert not world.records(ident="kxsentrixd") and not world.exists(PID_FILE)
    assert world.logind.calls("LockSessions") == []


# A stop signal ends the daemon in order with 0, a fatal one with 3, and without a bus it runs
# on. (SIGTERM: every other test's stop.)
@pytest.mark.parametrize("number", [
    signal.SIGINT, signal.SIGSEGV, signal.SIGILL, signal.SIGABRT, signal.SIGFPE])
def test_signals_end_the_daemon_and_take_the_pid_file_along(world, number):
    fatal = number != signal.SIGINT
    daemon = world.start_daemon(env={} if fatal else {
        "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/run/no-bus"}).wait_ready()
    if not fatal:
        daemon.wait_for_log(NO_BUS)
    mark = world.log_mark()

    daemon.signal(number)

    assert daemon.wait() == (3 if fatal else 0)
    ending = daemon.records(since=mark)
    assert not world.exists(PID_FILE)
    if fatal:
        assert [(r.text, r.level) for r in ending] == [
            (f"[ERROR] Критическая ошибка {number}", LOG_ERR)]
        return
    assert (ending[0].text, ending[0].level) == (
        f"Получен сигнал остановки демона {number}", LOG_DEBUG)
    assert texts(ending).count(FINISHED) == 1 and ending[-1].text == FINISHED
    assert not [record for record in ending if record.level in (LOG_ERR, LOG_WARNING)]
    assert LOCK_COMMAND not in texts(daemon.records())
    assert texts(daemon.records(re.compile("dbus"))) == [NO_BUS]
    # Every record, the signal handler's too, under the daemon's tag without a pid.
    assert {(r.facility, r.ident, r.pid) for r in daemon.records()} == {
        (LOG_LOCAL7, "kxsentrixd", None)}


# Sessions idle or in the background are not locked: only LockedHint confirms a lock. An account
# that logind names otherwise, or in a group without a name, is warned of. (A lock command that
# succeeds: test_kxsentrixctl.py's lock-all and the end-to-end test.)
@pytest.mark.parametrize("sessions, logind_fails, failure", [
    ("idle and background", "ListSessions", "Не удалось получить список сессий пользователей"),
    ("idle", "ignore", "Не удалось подтвердить блокировку сессий пользователей"),
    ("background", "ignore", "Не удалось подтвердить блокировку сессий пользователей")])
def test_lock_command_ends_with_1_unless_every_session_is_locked(world, sessions, logind_fails,
                                                                 failure):
    if "idle" in sessions:
        world.add_user("ivan", 1001)
        world.add_group("ivan", 4001)  # gid 1001 loses its name
        world.logind.add_session("c1", 1001, "ivanov", idle=True)
    if "background" in sessions:
        world.logind.add_session("c2", 60002, "petrov", active=False)
    world.logind.on_lock_sessions("ignore")
    if logind_fails == "ListSessions":
        world.logind.on_list_sessions("fail")
    else:
        world.logind.on_lock_session("ignore")

    command = world.start_daemon("lock")

    assert command.wait() == 1
    logged = texts(command.records())
    assert logged[:2] == [STARTED, LOCK_COMMAND] and logged[-2:] == [f"[ERROR] {failure}", FINISHED]
    assert [text for text in logged if "uid 1001" in text] == ([
        "[WARNING] Не удалось получить название группы с gid 1001 у пользователя ivanov, uid 1001",
        "[WARNING] Обнаружено несовпадение имени пользователя сессии ivanov и логином ivan, uid "
        "1001"] if sessions == "idle" else [])
    assert not world.exists(PID_FILE)
    assert world.logind.calls("LockSessions") == [[]]  # the fallback was tried either way
    assert command.output() == f"kxsentrixd lock: {failure}\n"
