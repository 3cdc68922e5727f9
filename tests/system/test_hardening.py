"""The running kxsentrixd against hostile or broken input beside the ticket guard's: a burst of
slot events ahead of a real removal, a configuration file that is no configuration, stray
signals, and token texts that would forge or colour log records."""

import os
import re
import signal
import time

import pytest
from system_helpers import connected, disconnected, insert, serving, settings, texts
from world import DAEMON_CONFIG

MODIFIED = f"Модификация файла {DAEMON_CONFIG}"
WATCHED = f"[INFO] Файл {DAEMON_CONFIG} поставлен на контроль"
UNREADABLE = (f"[WARNING] Не удалось открыть конфигурационный файл {DAEMON_CONFIG}, "
              "error code: 22, error: Invalid argument")
TOO_LARGE = (f"[WARNING] Ошибка чтения конфигурационного файла {DAEMON_CONFIG}, error: размер "
             "файла больше 1048576 байт")
TOO_LONG = (f"[WARNING] Обнаружена некорректная строка 2 конфигурационного файла {DAEMON_CONFIG}: "
            "длина больше 4096 байт")


def replace_config(world, make):
    """Puts a new configuration file in place by a rename; returns once it is under watch."""
    mark = world.log_mark()
    make(world.host_path(DAEMON_CONFIG + ".new"))
    os.rename(world.host_path(DAEMON_CONFIG + ".new"), world.host_path(DAEMON_CONFIG))
    world.wait_for_log(WATCHED, since=mark)


def write(content):
    def make(path):
        with open(path, "w") as file:
            file.write(content)
    return make


def test_burst_of_slot_events_does_not_hold_up_a_removal(world):
    replacements = 500  # 1,000 events: five seconds at one event per 5 ms pass
    daemon = serving(world, "{}\n")
    insert(world, 5, "Ivanov token")
    daemon.wait_for_log(connected(5, "Ivanov token"))
    mark = world.log_mark()
    # A storage-only device that a hostile hub keeps replacing: a removal and an insertion
    # each time.
    hidden, entry = (world.host_path(f"/run/kxsim/tokens/{name}") for name in (".9.tmp", "9"))
    for _ in range(replacements):
        write("label = Flash\nmodel = Korvex Disk2\n")(hidden)
        os.rename(hidden, entry)
    world.kxsim("remove", "5")
    time.sleep(1.5)

    # The watcher thread logs the change at once: the loop must have got past the burst.
    with open(world.host_path(DAEMON_CONFIG), "a") as config:
        config.write("\n")
    daemon.wait_for_log(MODIFIED, since=mark)
    daemon.wait_for_log(disconnected(5, "Ivanov token"), since=mark, timeout=60)
    logged = texts(daemon.records(since=mark))
    assert logged.index(disconnected(5, "Ivanov token")) < logged.index(MODIFIED)
    events = [text for text in logged if text.startswith("[INFO] Token event")]
    assert len(events) == 2 * replacements  # the first is an insertion only; and slot 5


@pytest.mark.parametrize("make, logged", [
    # a regular expression would recurse once per character of the value
    (write('{\n"debug": "' + "x" * 32768 + '",\n"actionOnTokenDisabled": 0\n}\n'),
     [TOO_LONG, *settings(system="Бездействие")]),
    # opening it for reading would wait for a writer for ever
    (os.mkfifo, [UNREADABLE]),
    (write('"actionOnTokenDisabled": 0\n' * 40000), [TOO_LARGE]),
], ids=["long line", "FIFO", "large file"])
def test_configuration_that_is_no_configuration_is_refused_and_the_loop_goes_on(world, make,
                                                                                 logged):
    daemon = serving(world, "{}\n")
    replace_config(world, make)

    event = world.log_mark()
    world.kxsim("insert", "4", "--label", "Any")
    daemon.wait_for_log(re.compile("^\\[INFO\\] Подключено новое устройство в слоте 4"))
    lines = texts(daemon.records(since=event))
    assert lines[:next(i for i, line in enumerate(lines) if "Token event" in line)] == logged
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
    replace_config(world, write('{\n"actionOnTokenDisabled": 0\n}\n'))
    mark = world.log_mark()

    daemon.signal(number)
    for line in logged:
        daemon.wait_for_log(line, since=mark)

    assert daemon.stop() == 0
    assert texts(daemon.records(since=mark))[:len(logged) + 1] == [
        *logged, f"Получен сигнал остановки демона {signal.SIGTERM}"]


def test_token_texts_cannot_forge_or_colour_records(world):
    daemon = serving(world, "{}\n")
    insert(world, 6, "ok\x1b[2K\rОтключено", "--profile", "ivan\x1b]0;x\x07@corp")
    escaped = "ok\\x1b[2K\\x0dОтключено"
    daemon.wait_for_log(connected(6, escaped))
    world.kxsim("remove", "6")
    daemon.wait_for_log(disconnected(6, escaped))
    assert daemon.records("\tНайден профиль ivan\\x1b]0;x\\x07@corp")
    assert not [text for text in texts(daemon.records()) if "\x1b" in text or "\r" in text]
