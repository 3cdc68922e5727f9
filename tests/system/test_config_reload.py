"""Configuration reload in the running kxsentrixd: the watcher thread only notes a change, the
loop reloads at the next slot event or after SIGHUP; files that are no configuration refused,
as the daemon's status says. (A reloaded interval of the ticket guard: test_ticket_guard.py.)"""

import os
import re
import signal
import time

from system_helpers import MODIFIED, ask, serving, settings, texts, token_event
from world import DAEMON_CONFIG

REPLACED = f"Файл {DAEMON_CONFIG} создан или заменён"
WATCHED = f"[INFO] Файл {DAEMON_CONFIG} поставлен на контроль"
CANNOT_OPEN = f"[ERROR] Не удалось открыть конфигурационный файл {DAEMON_CONFIG}, error code: "
CONFIG = '{\n"actionOnTokenDisabled": 1,\n"debug": true,\n"ticketsCheckInterval": 1000\n}\n'
QUIET = 0.3  # dozens of passes of the 5 ms loop


def append(world, text):
    with open(world.host_path(DAEMON_CONFIG), "a") as file:
        file.write(text)


def replace(world, content):
    """Puts a new file in place by a rename: one with this text, or what `content` makes."""
    new = world.host_path(DAEMON_CONFIG + ".new")
    content(new) if callable(content) else world.write(DAEMON_CONFIG + ".new", content)
    os.rename(new, world.host_path(DAEMON_CONFIG))


def lines_up_to_event(world, daemon, since, slot):
    """Inserts a token (a removal could power off); returns what was logged before its event,
    once the token is stored, so nothing of its reading follows the next step's mark."""
    world.kxsim("insert", str(slot))
    event = token_event(slot, 7, "1.0")
    stored = re.escape(f"[INFO] Подключено новое устройство в слоте {slot} ")
    daemon.wait_for_log(re.compile(stored), since=since)
    logged = texts(daemon.records(since=since))
    return logged[:logged.index(event)]


def test_changes_are_loaded_at_the_next_slot_event_and_not_before(world):
    daemon = serving(world, CONFIG)
    renamed = [REPLACED, f"Попытка поставить файл {DAEMON_CONFIG} на контроль", WATCHED]
    idle = CONFIG.replace('Disabled": 1', 'Disabled": 0').replace("1000", "250")
    steps = [
        # (change, what the watcher logs at once, what the loop logs at the next slot event)
        (append, '"ticketsCheckInterval": 250\n', [MODIFIED], settings(interval=250)),
        # Files that are no configuration are refused, and the loop goes on with the settings
        # in force. A regular expression would recurse once per character of the long value;
        # opening the FIFO for reading would wait for a writer for ever. A file cut mid-write or
        # one that others may write is not taken either.
        (replace, '{\n"debug": "' + "x" * 32768 + '",\n"actionOnTokenDisabled": 0\n}\n',
         renamed, [f"[WARNING] Обнаружена некорректная строка 2 конфигурационного файла "
                   f"{DAEMON_CONFIG}: длина больше 4096 байт",
                   *settings(system="Бездействие", interval=250)]),  # interval kept
        (replace, os.mkfifo, renamed, [CANNOT_OPEN + "22, error: Invalid argument"]),
        (replace, '{\n"actionOnTokenDisab', renamed, [
            f"[WARNING] Конфигурационный файл {DAEMON_CONFIG} пуст или не содержит ни одного "
            "корректного параметра, действуют прежние настройки"]),
        (replace, lambda new: world.write(DAEMON_CONFIG + ".new", CONFIG, 0o664, (0, 4)), renamed,
         [f"[ERROR] Конфигурационный файл {DAEMON_CONFIG} не принят: {DAEMON_CONFIG} доступен "
          "для записи группе gid 4. Изменять его и путь к нему должен только root"]),
        (replace, CONFIG, renamed, settings()),
    ]
    in_force = None
    for slot, (change, argument, noted, loaded) in enumerate(steps, start=4):
        mark = world.log_mark()
        change(world, argument)
        daemon.wait_for_log(noted[-1], since=mark)
        time.sleep(QUIET)
        assert not daemon.records(settings()[0], since=mark), noted
        assert lines_up_to_event(world, daemon, mark, slot) == noted + loaded, noted
        configuration = ask(world, "daemonStatus")["configuration"]
        problem = loaded[-1].partition("] ")[2] if loaded[-1].startswith("[") else ""
        assert [configuration["state"], configuration["problem"]] == [
            "refused" if problem else "loaded", problem], noted
        if problem:  # the settings in force stand
            assert configuration["settings"] == in_force, noted
        in_force = configuration["settings"]
    assert configuration["settings"] == {
        "actionOnTokenDisabled": 1, "actionOnTokenDisabledRemote": 0, "debug": True,
        "forceSessionMatch": False, "ticketsCheckInterval": 1000,
        "terminateUnlockableSessions": False}

    # Deleted while a reload is due: nothing is loaded, nor complained of, until it is back.
    mark = world.log_mark()
    append(world, '"ticketsCheckInterval": 300\n')
    daemon.wait_for_log(MODIFIED, since=mark)
    world.remove(DAEMON_CONFIG)
    assert lines_up_to_event(world, daemon, mark, 20) == [MODIFIED]
    world.write_daemon_config(idle)
    assert lines_up_to_event(world, daemon, mark, 21)[-6:] == settings(system="Бездействие",
                                                                        interval=250)

    # SIGPIPE is ignored; SIGHUP makes the loop reload at its next pass, a change noted or not.
    mark = world.log_mark()
    replace(world, CONFIG)
    daemon.wait_for_log(WATCHED, since=mark)
    daemon.signal(signal.SIGPIPE)
    time.sleep(QUIET)
    assert not daemon.records(settings()[0], since=mark)
    for _ in range(2):
        mark = world.log_mark()
        daemon.signal(signal.SIGHUP)
        daemon.wait_for_log(settings()[-1], since=mark)
        assert texts(daemon.records(since=mark)) == [
            f"Получен сигнал перечитывания конфигурации {signal.SIGHUP}", *settings()]
    assert daemon.stop() == 0

