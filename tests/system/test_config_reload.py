"""Configuration reload in the running kxsentrixd: a change of the file is only noted by the
watcher thread, and the main loop reloads at the next slot event. Seen from outside through the
load's summary lines, and through the ticket guard picking up a new interval."""

import os
import time

from world import DAEMON_CONFIG

MODIFIED = f"Модификация файла {DAEMON_CONFIG}"
REPLACED = f"Файл {DAEMON_CONFIG} создан или заменён"
UNREADABLE = (f"[WARNING] Не удалось открыть конфигурационный файл {DAEMON_CONFIG}, "
              "error code: 2, error: No such file or directory")
CONFIG = '{\n"actionOnTokenDisabled": 1,\n"debug": true,\n"ticketsCheckInterval": 1000\n}\n'
# Long enough for dozens of passes of the 5 ms loop.
QUIET = 0.3


def summary(system="Блокировка сессии пользователя", interval=1000):
    return ["Режим расширенного логирования - включен",
            f"Настроенное действие для системы - {system}",
            "Настроенное действие для удаленного подключения - Бездействие",
            "Режим принудительного совпадения сессий пользователей - выключен",
            f"Интервал проверки корректности прав доступа тикетов Kerberos - {interval} ms"]


def token_event(slot, present=True):
    flags, versions = (7, "1.0") if present else (6, "0.0")
    return (f"[INFO] Token event: event 0, slot {slot}, flags {flags} hardware version "
            f"{versions}, firmware version {versions}")


def append(world, text):
    with open(world.host_path(DAEMON_CONFIG), "a") as file:
        file.write(text)


def summaries(daemon, since):
    return daemon.records(summary()[0], since=since)


def lines_up_to_event(world, daemon, since, *kxsim):
    """Runs kxsim to make a slot event for slot 4; returns what was logged before the event."""
    world.kxsim(*kxsim)
    event = token_event(4, present=kxsim[0] == "insert")
    daemon.wait_for_log(event, since=since)
    texts = [record.text for record in daemon.records(since=since)]
    return texts[:texts.index(event)]


def started(world, config=CONFIG):
    world.write_daemon_config(config)
    daemon = world.start_daemon().wait_ready()
    daemon.wait_for_log("Запуск основного цикла FileWatcher")  # the file is under watch
    return daemon


def test_appended_setting_is_loaded_at_the_next_slot_event(world):
    daemon = started(world)
    mark = world.log_mark()

    append(world, '"ticketsCheckInterval": 250\n')
    daemon.wait_for_log(MODIFIED, since=mark)
    time.sleep(QUIET)
    assert not summaries(daemon, mark)

    assert lines_up_to_event(world, daemon, mark, "insert", "4") == [
        MODIFIED, *summary(interval=250)]


def test_file_replaced_by_rename_is_loaded_and_watched_further(world):
    daemon = started(world)
    mark = world.log_mark()

    world.write(DAEMON_CONFIG + ".new", CONFIG.replace('Disabled": 1', 'Disabled": 0'))
    os.rename(world.host_path(DAEMON_CONFIG + ".new"), world.host_path(DAEMON_CONFIG))
    daemon.wait_for_log(f"[INFO] Файл {DAEMON_CONFIG} поставлен на контроль", since=mark)
    time.sleep(QUIET)
    assert not summaries(daemon, mark)

    assert lines_up_to_event(world, daemon, mark, "insert", "4") == [
        REPLACED, f"Попытка поставить файл {DAEMON_CONFIG} на контроль",
        f"[INFO] Файл {DAEMON_CONFIG} поставлен на контроль", *summary(system="Бездействие")]

    # The new file is under watch: a write to it is seen and loaded at the next event.
    second = world.log_mark()
    append(world, '"ticketsCheckInterval": 70\n')
    daemon.wait_for_log(MODIFIED, since=second)
    assert summary(interval=70)[-1] in lines_up_to_event(world, daemon, second, "remove", "4")


def test_deleted_file_is_not_loaded_until_it_is_back(world):
    daemon = started(world)
    mark = world.log_mark()

    append(world, '"ticketsCheckInterval": 300\n')  # a reload is now due
    daemon.wait_for_log(MODIFIED, since=mark)
    world.remove(DAEMON_CONFIG)
    lines_up_to_event(world, daemon, mark, "insert", "4")
    assert not summaries(daemon, mark)
    assert not daemon.records(UNREADABLE, since=mark)

    back = world.log_mark()
    world.write_daemon_config(CONFIG.replace("1000", "400"))
    daemon.wait_for_log(REPLACED, since=back)
    assert summary(interval=400)[-1] in lines_up_to_event(world, daemon, back, "remove", "4")
    assert [record.text for record in summaries(daemon, mark)] == [summary()[0]]


def test_reloaded_ticket_interval_takes_effect_for_the_ticket_guard(world):
    ticket = "/tmp/krb5cc_1000"
    world.write(ticket, b"ticket", mode=0o600, owner=(0, 0))
    daemon = started(world, CONFIG.replace("1000", "600000"))

    append(world, '"ticketsCheckInterval": 20\n')
    time.sleep(1.2)  # past the default interval, so only the configured one kept it waiting
    assert world.stat(ticket).st_uid == 0

    world.kxsim("insert", "4", "--label", "Any")
    daemon.wait_for_log("[INFO] Owner of file '/tmp/krb5cc_1000' is changed to uid 1000, gid 0")
    status = world.stat(ticket)
    assert (status.st_uid, status.st_gid, status.st_mode & 0o777) == (1000, 0, 0o660)
