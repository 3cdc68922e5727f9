"""Configuration reload in the running kxsentrixd: a change of the file is only noted by the
watcher thread, and the main loop reloads at the next slot event. Seen from outside through the
load's summary lines, and through the ticket guard picking up a new interval."""

import os
import time

from system_helpers import serving, settings, texts, token_event
from world import DAEMON_CONFIG

MODIFIED = f"Модификация файла {DAEMON_CONFIG}"
REPLACED = f"Файл {DAEMON_CONFIG} создан или заменён"
WATCHED = f"[INFO] Файл {DAEMON_CONFIG} поставлен на контроль"
UNREADABLE = (f"[WARNING] Не удалось открыть конфигурационный файл {DAEMON_CONFIG}, "
              "error code: 2, error: No such file or directory")
CONFIG = '{\n"actionOnTokenDisabled": 1,\n"debug": true,\n"ticketsCheckInterval": 1000\n}\n'
QUIET = 0.3  # dozens of passes of the 5 ms loop


def append(world, text):
    with open(world.host_path(DAEMON_CONFIG), "a") as file:
        file.write(text)


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
    assert lines_up_to_event(world, daemon, mark, 4) == [
        MODIFIED, *settings(interval=250)]

    # Replaced by a rename: the new file is loaded, and watched from then on.
    mark = world.log_mark()
    world.write(DAEMON_CONFIG + ".new", CONFIG.replace('Disabled": 1', 'Disabled": 0'))
    os.rename(world.host_path(DAEMON_CONFIG + ".new"), world.host_path(DAEMON_CONFIG))
    daemon.wait_for_log(WATCHED, since=mark)
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
    assert not loads(daemon, mark) and not daemon.records(UNREADABLE, since=mark)
    back = world.log_mark()
    world.write_daemon_config(CONFIG.replace("1000", "400"))
    daemon.wait_for_log(REPLACED, since=back)
    assert settings(interval=400)[-1] in lines_up_to_event(world, daemon, back, 8)
    assert len(loads(daemon, mark)) == 1


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
