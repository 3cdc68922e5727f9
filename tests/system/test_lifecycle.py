"""Lifecycle of the shipped kxsentrixd with its real paths: the single instance lock, the pid
file, stop and fatal signals with their exit statuses, the one-shot lock command, the log tag."""

import re
import signal

import pytest
from system_helpers import texts
from world import LOG_DEBUG, LOG_ERR, LOG_INFO, LOG_LOCAL7, LOG_WARNING, PID_FILE

STARTED = "[INFO] Korvex Sentrix daemon started"
FINISHED = "[INFO] Korvex Sentrix daemon finished"
ALREADY_RUNNING = ("[WARNING] Korvex Daemon уже запущен. Может быть запущен только один "
                   "экземпляр демона.")
LOCK_COMMAND = "[INFO] Вызов с блокировкой всех сессий"


def test_pid_file_keeps_a_second_instance_out_but_not_a_successor_nor_the_lock_command(world):
    first = world.start_daemon().wait_ready()
    assert world.stat(PID_FILE).st_mode & 0o777 == 0o600
    second = world.start_daemon()
    assert second.wait() == 2
    assert [(r.text, r.level) for r in second.records()] == [
        (STARTED, LOG_INFO), (ALREADY_RUNNING, LOG_WARNING)]
    command = world.start_daemon("lock")
    assert command.wait() == 0 and ALREADY_RUNNING not in texts(command.records())
    assert world.read_pid_file() == f"{first.pid}\n"

    # A killed daemon leaves its pid file behind; it does not block the next start.
    assert first.stop(signal.SIGKILL) == -signal.SIGKILL
    assert world.read_pid_file() == f"{first.pid}\n"
    successor = world.start_daemon().wait_ready()
    assert world.read_pid_file() == f"{successor.pid}\n"
    assert successor.stop() == 0


# Any first argument but "lock" starts the daemon.
@pytest.mark.parametrize("number, argument", [(signal.SIGTERM, "Lock"), (signal.SIGINT, "lock ")])
def test_stop_signal_ends_in_order_with_status_0(world, number, argument):
    daemon = world.start_daemon(argument).wait_ready()
    mark = world.log_mark()

    assert daemon.stop(number) == 0

    stopping = daemon.records(since=mark)
    assert (stopping[0].text, stopping[0].level) == (
        f"Получен сигнал остановки демона {number}", LOG_DEBUG)
    assert texts(stopping).count(FINISHED) == 1 and stopping[-1].text == FINISHED
    assert not [record for record in stopping if record.level in (LOG_ERR, LOG_WARNING)]
    assert not world.exists(PID_FILE)
    assert LOCK_COMMAND not in texts(daemon.records())
    # Every record, the signal handler's too, under the daemon's tag without a pid.
    assert {(r.facility, r.ident, r.pid) for r in daemon.records()} == {
        (LOG_LOCAL7, "kxsentrixd", None)}


@pytest.mark.parametrize("number", [signal.SIGSEGV, signal.SIGILL, signal.SIGABRT,
                                    signal.SIGFPE])
def test_fatal_signal_logs_removes_pid_file_and_ends_with_3(world, number):
    daemon = world.start_daemon().wait_ready()
    mark = world.log_mark()
    daemon.signal(number)
    assert daemon.wait() == 3
    assert [(r.text, r.level) for r in daemon.records(since=mark)] == [
        (f"[ERROR] Критическая ошибка {number}", LOG_ERR)]
    assert not world.exists(PID_FILE)


# An idle session or one in the background is not locked: only LockedHint confirms a lock.
@pytest.mark.parametrize("logind_fails, failure", [
    (None, None),
    ("ListSessions", "Не удалось получить список сессий пользователей"),
    ("fail", "Не удалось подтвердить блокировку сессий пользователей"),
    ("ignore", "Не удалось подтвердить блокировку сессий пользователей")])
def test_lock_command_ends_with_0_only_once_every_session_is_locked(world, logind_fails, failure):
    world.logind.add_session("c1", 1001, "ivanov")
    world.logind.add_session("c2", 60002, "petrov")
    world.logind.on_lock_session("lock", delay_ms=150)
    if logind_fails == "ListSessions":
        world.logind.on_list_sessions("fail")
    elif logind_fails:  # what LockSession does
        world.logind.on_lock_session(logind_fails)
        world.logind.on_lock_sessions("ignore")
        world.logind.set_session("c1", IdleHint=True)
        world.logind.set_session("c2", Active=False)

    command = world.start_daemon("lock", "now")

    assert command.wait() == (1 if failure else 0)
    logged = texts(command.records())
    assert logged[:2] == [STARTED, LOCK_COMMAND] and logged[-1] == FINISHED
    assert not world.exists(PID_FILE)
    if failure:
        assert world.logind.calls("LockSessions") == [[]]  # the fallback was tried either way
        assert command.output() == f"kxsentrixd lock: {failure}\n"
        assert logged[-2] == f"[ERROR] {failure}"
    else:
        assert world.logind.calls("LockSession") == [["c1"], ["c2"]]
        assert re.fullmatch(r"\[INFO\] 2 сессия пользователей были успешно заблокированы через "
                            r"\d+ msec", logged[-2])


def test_pid_file_that_cannot_be_opened_ends_with_1(world):
    world.mkdir(PID_FILE)
    daemon = world.start_daemon()
    assert daemon.wait() == 1
    assert texts(daemon.records(level=LOG_ERR)) == [
        "[ERROR] Ошибка при открытии файла /var/run/kxauthd.pid, error code: 21, "
        "error: Is a directory"]
