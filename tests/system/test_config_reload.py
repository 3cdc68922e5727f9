"""Configuration reload in the running kxsentrixd: a change of the file is only noted by the
watcher thread, and the main loop reloads at the next slot event (or at its next pass after
SIGHUP). Seen from outside through the load's summary lines, and through the ticket guard
picking up a new interval; files that are no configuration are refused, stray signals ignored."""

import os
import signal
import time

import pytest
from system_helpers import MODIFIED, serving, settings, texts, token_event
from world import DAEMON_CONFIG

REPLACED = f"Файл {DAEMON_CONFIG} создан или заменён"
WATCHED = f"[INFO] Файл {DAEMON_CONFIG} поставлен на контроль"
CANNOT_OPEN = f"[WARNING] Не удалось открыть конфигурационный файл {DAEMON_CONFIG}, error code: "
CONFIG = '{\n"actionOnTokenDisabled": 1,\n"debug": true,\n"ticketsCheckInterval": 1000\n}\n'
QUIET = 0.3  # dozens of passes of the 5 ms loop


def append(world, text):
    with open(world.host_path(DAEMON_CONFIG), "a") as file:
        file.write(text)


def write(text):
    def make(path):
        with open(path, "w") as file:
            file.write(text)
    return make


def replace(world, daemon, make):
    """Puts a new file in place by a rename; returns once the watcher watches it."""
    mark = world.log_mark()
    make(world.host_path(DAEMON_CONFIG + ".new"))
    os.rename(world.host_path(DAEMON_CONFIG + ".new"), world.host_path(DAEMON_CONFIG))
    daemon.wait_for_log(WATCHED, since=mark)


def loads(daemon, since):
    return daemon.records(settings()[0], since=since)


def lines_up_to_event(world, daemon, since, slot):
    """Inserts a token (a removal could power off); returns what was logged before its event."""
    world.kxsim("insert", str(slot))
    event = token_event(slot, 7, "1.0")
    daemon.wait_for_log(event, since=since)
    logged = texts(daemon.records(since=since))
    return logged[:logged.index(event)]


def test_changes_are_loaded_at_the_next_slot_event_and_not_before(world):
    daemon = serving(world, CONFIG)

    mark = world.log_mark()
    append(world, '"ticketsCheckInterval": 250\n')
    daemon.wait_for_log(MODIFIED, since=mark)
    time.sleep(QUIET)
    assert not loads(daemon, mark)
    assert lines_up_to_event(world, daemon, mark, 4) == [MODIFIED, *settings(interval=250)]

    # Replaced by a rename: the new file is loaded, and watched from then on.
    mark = world.log_mark()
    replace(world, daemon, write(CONFIG.replace('Disabled": 1', 'Disabled": 0')))
    time.sleep(QUIET)
    assert not loads(daemon, mark)
    assert lines_up_to_event(world, daemon, mark, 5) == [
        REPLACED, f"Попытка поставить файл {DAEMON_CONFIG} на контроль", WATCHED,
        *settings(system="Бездействие")]
    mark = world.log_mark()
    append(world, '"ticketsCheckInterval": 70\n')
    daemon.wait_for_log(MODIFIED, since=mark)
    assert settings(interval=70)[-1] in lines_up_to_event(world, daemon, mark, 6)

    # Deleted while a reload is due: nothing is loaded until the file is back.
    mark = world.log_mark()
    append(world, '"ticketsCheckInterval": 300\n')
    daemon.wait_for_log(MODIFIED, since=mark)
    world.remove(DAEMON_CONFIG)
    lines_up_to_event(world, daemon, mark, 7)
    assert not loads(daemon, mark) and not daemon.records(CANNOT_OPEN + "2, error: No such "
                                                          "file or directory", since=mark)
    back = world.log_mark()
    world.write_daemon_config(CONFIG.replace("1000", "400"))
    daemon.wait_for_log(REPLACED, since=back)
    assert settings(interval=400)[-1] in lines_up_to_event(world, daemon, back, 8)
    assert len(loads(daemon, mark)) == 1


@pytest.mark.parametrize("make, logged", [
    # a regular expression would recurse once per character of the value
    (write('{\n"debug": "' + "x" * 32768 + '",\n"actionOnTokenDisabled": 0\n}\n'),
     [f"[WARNING] Обнаружена некорректная строка 2 конфигурационного файла {DAEMON_CONFIG}: "
      "длина больше 4096 байт", *settings(system="Бездействие")]),
    # opening it for reading would wait for a writer for ever
    (os.mkfifo, [CANNOT_OPEN + "22, error: Invalid argument"]),
    (write('"actionOnTokenDisabled": 0\n' * 40000),
     [f"[WARNING] Ошибка чтения конфигурационного файла {DAEMON_CONFIG}, error: размер файла "
      "больше 1048576 байт"]),
], ids=["long line", "FIFO", "large file"])
def test_configuration_that_is_no_configuration_is_refused_and_the_loop_goes_on(world, make,
                                                                                 logged):
    daemon = serving(world, "{}\n")
    replace(world, daemon, make)
    assert lines_up_to_event(world, daemon, world.log_mark(), 4) == logged
    assert daemon.stop() == 0


@pytest.mark.parametrize("number, logged", [
    (signal.SIGPIPE, []),
    (signal.SIGHUP, [f"Получен сигнал перечитывания конфигурации {signal.SIGHUP}",
                     *settings(system="Бездействие")]),
], ids=["SIGPIPE", "SIGHUP"])
def test_stray_signal_does_not_end_the_daemon(world, number, logged):
    daemon = serving(world, '{\n"actionOnTokenDisabled": 1\n}\n')
    # The watcher notes the new file, but the loop reads it only at a slot event, or after
    # SIGHUP at its next pass.
    replace(world, daemon, write('{\n"actionOnTokenDisabled": 0\n}\n'))
    mark = world.log_mark()

    daemon.signal(number)
    for line in logged:
        daemon.wait_for_log(line, since=mark)

    assert daemon.stop() == 0
    assert texts(daemon.records(since=mark))[:len(logged) + 1] == [
        *logged, f"Получен сигнал остановки демона {signal.SIGTERM}"]


def test_reloaded_ticket_interval_takes_effect_for_the_ticket_guard(world):
    ticket = "/tmp/krb5cc_1000"
    world.write(ticket, b"ticket", mode=0o600, owner=(0, 0))
    daemon = serving(world, CONFIG.replace("1000", "600000"))

    append(world, '"ticketsCheckInterval": 20\n')
    time.sleep(1.2)  # past the default interval, so only the configured one kept it waiting
    assert world.stat(ticket).st_uid == 0

    world.kxsim("insert", "4", "--label", "Any")
    daemon.wait_for_log("[INFO] Owner of file '/tmp/krb5cc_1000' is changed to uid 1000, gid 0")
    status = world.stat(ticket)
    assert (status.st_uid, status.st_gid, status.st_mode & 0o777) == (1000, 0, 0o660)
