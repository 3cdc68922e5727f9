"""The slot event loop of the running kxsentrixd as its log shows it, line by line: tokens coming
and going or swapped, failing library calls, hostile tokens (forged texts, a burst of events).
(The ticket cache guard's judgements and a flood of files in /tmp: test_ticket_guard.py.)"""

import os
import re
import signal
import socket
import time

from system_helpers import (ALICE_PEM, SERVICE_UP, WATCHING, ask, connected, disconnected,
                            insert, removals_handled, serving, texts, token_event,
                            wait_for_removals)
from world import DAEMON_CONFIG, LOG_ERR, LOG_WARNING, wait_until

REMOVAL = re.compile(r"^\[INFO\] Отключено устройство")
PRESENT, EMPTY = 7, 6  # slot flags: token present, removable device, hardware slot
FAILING = "[ERROR] Ошибка C_GetTokenInfo. Код возврата = 48"  # CKR_DEVICE_ERROR
SLOW_CHECK = "[WARNING] Проверка токена в слоте"
NO_ACTION = ["[INFO] Настроенное действие для удаленного подключения - Бездействие",
             "[INFO] Настроенное действие для системы - Не определено"]


def removed(slot, label):  # with the removal handling of no configured action
    return [disconnected(slot, label), *NO_ACTION]


def read_lines(certificates=0, profiles=0):
    return [f"[INFO] Прочитано {certificates} сертификатов с токена [Успех]",
            f"[INFO] Прочитано {profiles} профилей с токена [Успех]"]


def profile_read(profile):
    return [read_lines(0, 1)[0], f"\tНайден профиль {profile}", read_lines(0, 1)[1]]


def apart(lines):
    """The slot loop's own records, and each removal's (logged by the removal's own thread, so
    the loop's records may come between them), each in their order."""
    loop, removals, following = [], [], []
    for text in lines:
        if REMOVAL.search(text):
            removals.append([text])
            following = list(NO_ACTION)
        elif following and text == following[0]:
            removals[-1].append(following.pop(0))
        else:
            loop.append(text)
    return loop, removals


def loop_lines(daemon):
    """Stops the daemon and returns what it logged between start-up and the stop signal."""
    # A removal is logged before it is handled: the handling ends before the stop signal comes.
    wait_until(lambda: len(daemon.records(NO_ACTION[-1])) == len(daemon.records(REMOVAL)),
               what="the removal handling")
    assert daemon.stop() == 0
    # (A check that a busy machine slows past its bound locks ahead and says so: not the loop's
    # sequence of records.)
    logged = [text for text in texts(daemon.records())
              if text != SERVICE_UP and not text.startswith(("[INFO] dbus: ", SLOW_CHECK))]
    return logged[logged.index(WATCHING) + 1:
                  logged.index(f"Получен сигнал остановки демона {signal.SIGTERM}")]


def test_tokens_coming_and_going(world):
    big = 2**32 + 3  # the same low 32 bits as slot 3
    first = "ok\\x1b[2K\\x0dОтключено"  # a label that would forge a record or steer a terminal
    # A token whose information cannot be read, in a lower slot: each scan logs it and goes on.
    insert(world, 1, "Broken", "--fail", "C_GetTokenInfo=CKR_DEVICE_ERROR")
    insert(world, 3, "ok\x1b[2K\rОтключено")
    daemon = serving(world, "{}\n")
    daemon.wait_for_log(connected(3, first))
    insert(world, 5, "Ivanov token", "--hardware", "2.1", "--firmware", "3.4", "--cert",
           ALICE_PEM, "--cert-id", "3031", "--profile", "ivan\x1b]0;x\x07@corp")
    daemon.wait_for_log(connected(5, "Ivanov token"))
    # Pulled and another put in before the loop looks: one event. Another token at a glance, one
    # alike but for a profile (told by a full read), the very same token once more.
    for profile, done in (("ivan@corp", connected(5, "Petrov token")),
                          ("petr@corp", connected(5, "Petrov token")),
                          ("petr@corp", read_lines(0, 1)[1])):
        mark = world.log_mark()
        insert(world, 5, "Petrov token", "--profile", profile, command="swap")
        daemon.wait_for_log(done, since=mark)
    world.kxsim("insert", "2", "--label", "Flash", "--model", "Korvex Disk2")
    daemon.wait_for_log(token_event(2, PRESENT, "1.0"))  # else the two may come as one event
    world.kxsim("remove", "2")
    insert(world, big, "Second")
    daemon.wait_for_log(connected(big, "Second"))
    for slot, label in ((3, first), (5, "Petrov token"), (big, "Second")):
        world.kxsim("remove", str(slot))
        daemon.wait_for_log(disconnected(slot, label))
    assert ask(world, "daemonStatus")["lastRemoval"]["outcome"] == "nothing"  # no action set
    assert not [text for text in texts(daemon.records()) if "\x1b" in text or "\r" in text]

    # The initial scan announces the token present at start without an event; an insertion
    # reads and announces only the new token; a token swapped for another is handled as removed
    # before the other is stored, at once or after the other's full read, and one read again is
    # left alone; storage-only devices are neither read nor announced, so their removal reports
    # nothing; each removal takes only its own token away.
    assert apart(loop_lines(daemon)) == apart([
        FAILING, *read_lines(), connected(3, first),
        token_event(5, PRESENT, "2.1", "3.4"), FAILING,
        "\tНайден сертификат: id:01 label:alice subject: Alice Ivanova@org.example "
        "issuer: Alice Ivanova@org.example",
        read_lines(1)[0], "\tНайден профиль ivan\\x1b]0;x\\x07@corp", read_lines(1, 1)[1],
        connected(5, "Ivanov token"),
        token_event(5, PRESENT, "1.0"), *removed(5, "Ivanov token"), FAILING,
        *profile_read("ivan@corp"), connected(5, "Petrov token"),
        token_event(5, PRESENT, "1.0"), *profile_read("petr@corp"),
        *removed(5, "Petrov token"), connected(5, "Petrov token"),
        token_event(5, PRESENT, "1.0"), *profile_read("petr@corp"),
        token_event(2, PRESENT, "1.0"), FAILING, token_event(2, EMPTY), FAILING,
        token_event(big, PRESENT, "1.0"), FAILING, *read_lines(), connected(big, "Second"),
        token_event(3, EMPTY), *removed(3, first),
        token_event(5, EMPTY), *removed(5, "Petrov token"),
        token_event(big, EMPTY), *removed(big, "Second"),
    ])


# Nor does slot information that fails keep a stored token: a card that stops answering.
def test_a_failing_slot_list_hides_no_token_nor_does_failing_slot_info_keep_one(world):
    daemon = serving(world, "{}\n")
    insert(world, 1, "Hostile", "--fail", "C_GetSlotList=CKR_DEVICE_ERROR")
    daemon.wait_for_log(connected(1, "Hostile"))
    insert(world, 5, "Ivanov token")  # read from its event; the listing is asked at every pass
    daemon.wait_for_log(connected(5, "Ivanov token"))
    insert(world, 5, "Ivanov token", "--fail", "C_GetSlotInfo=CKR_DEVICE_ERROR", command="swap")
    daemon.wait_for_log(disconnected(5, "Ivanov token"))

    assert apart(loop_lines(daemon)) == apart([
        token_event(1, PRESENT, "1.0"),
        "[ERROR] Ошибка C_GetSlotList nSlotCount. Код возврата = 48",  # once, not at every pass
        *read_lines(), connected(1, "Hostile"),
        token_event(5, PRESENT, "1.0"), *read_lines(), connected(5, "Ivanov token"),
        "[WARNING] Ошибка получение информации о слоте 5",
        token_event(5, 0),  # the slot information stays zeroed
        *removed(5, "Ivanov token")])


def test_library_that_cannot_start_is_asked_again_every_second(world):
    insert(world, 5, "Any", "--fail", "C_Initialize=CKR_DEVICE_ERROR")
    # "{}" sets nothing, and there were no settings before it.
    refused = "конфигурация не принята, настроек нет: при отключении токена сессии не затрагиваются"
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
        notify.bind(world.host_path("/run/notify"))
        notify.settimeout(30)
        # The service and the watcher are up meanwhile, and the service manager is told why.
        daemon = serving(world, "{}\n", env={"NOTIFY_SOCKET": "/run/notify"})
        assert notify.recv(4096).decode() == (
            "READY=1\nSTATUS=Единая библиотека не инициализирована (код возврата 48), повторная "
            f"попытка каждую секунду; {refused}")
        time.sleep(2.5)  # tried again twice or more, without a line each time
        status = ask(world, "daemonStatus")
        assert (status["library"] | {"since": status["library"]["since"] > 0},
                status["configuration"]["state"], status["configuration"]["problem"]) == (
            {"state": "retrying", "since": True, "error": 48, "serialised": False}, "refused",
            f"Конфигурационный файл {DAEMON_CONFIG} пуст или не содержит ни одного корректного "
            "параметра, действуют прежние настройки")
        world.kxsim("remove", "5")  # the failure leaves with the token
        daemon.wait_for_log("[INFO] Единая библиотека инициализирована")
        # Told again when the library starts, and when the token count changes.
        for count in (0, 1):
            line = notify.recv(4096).decode()
            assert line == f"STATUS=Единая библиотека инициализирована; токенов: {count}; {refused}"
            if count == 0:
                insert(world, 6, "Later")
        status = ask(world, "daemonStatus")
        assert (status["library"]["state"], status["tokens"], status["summary"]) == (
            "initialised", 1, line.removeprefix("STATUS="))

    library = re.compile("единой библиотеки|единую библиотеку|C_Initialize")
    assert texts(daemon.records(library)) == [
        "[ERROR] Ошибка C_Initialize. Код возврата = 48",
        "[ERROR] Не удалось инициализировать единую библиотеку!",
        "[INFO] Повторная попытка инициализации единой библиотеки каждую секунду"]
    assert len(daemon.records(level=LOG_ERR)) == 2
    assert daemon.stop() == 0


# A slow card holds up its own read only: while the reader waits in a call that hangs, another
# token's removal is handled; pulling the slow token ends its call.
def test_a_slow_token_holds_up_no_other_removal(world):
    world.add_user("ivanov", 1001)
    world.logind.add_session("c1", 1001, "ivanov")
    insert(world, 5, "Ivanov token")
    daemon = serving(world, LOCKS)
    daemon.wait_for_log(connected(5, "Ivanov token"))
    mark = world.log_mark()
    insert(world, 6, "Slow", "--profile", "slow@corp", "--hang", "C_GetAttributeValue")
    # The certificates are read; the profiles' search and their hanging values come next.
    daemon.wait_for_log(read_lines()[0], since=mark)
    world.kxsim("remove", "5")
    daemon.wait_for_log(disconnected(5, "Ivanov token"), since=mark)
    status = ask(world, "daemonStatus")
    assert (status["library"]["serialised"], status["readsInProgress"]) == (False, 1)
    # Pulled before it was read whole: whose it was is unknown, so every session is locked.
    world.kxsim("remove", "6")
    # (Its read ends with its pull, so what it read may be stored first: its removal then says so.)
    daemon.wait_for_log(re.compile(r"^\[ERROR\] (Отключено устройство в слоте 6, данные которого "
                                   r"не были|Данные токена в слоте 6) прочитаны"), since=mark)
    wait_until(lambda: lock_everything_calls(world) == 1)
    assert daemon.stop() == 0


# A library that cannot lock for threads, once it starts after failing: its calls go one at a
# time, with a warning, and the status says so.
def test_library_without_locking_for_threads_serves_one_call_at_a_time(world):
    insert(world, 5, "Down", "--fail", "C_Initialize=CKR_DEVICE_ERROR")
    insert(world, 7, "No locks", "--fail", "C_Initialize/locking=CKR_CANT_LOCK")
    daemon = serving(world, "{}\n")
    world.kxsim("remove", "5")
    daemon.wait_for_log(connected(7, "No locks"))
    status = ask(world, "daemonStatus")
    assert (status["library"]["state"], status["library"]["serialised"], status["tokens"],
            status["summary"].split("; ")[0]) == (
        "initialised", True, 1, "Единая библиотека инициализирована, вызовы по одному")
    world.kxsim("remove", "7")
    daemon.wait_for_log(disconnected(7, "No locks"))
    assert [text for text in texts(daemon.records(level=LOG_WARNING)) if "LOCKING" in text] == [
        "[WARNING] Единая библиотека не приняла CKF_OS_LOCKING_OK (код возврата C_Initialize = "
        "10): вызовы к ней идут по одному, медленный токен задерживает события слотов"]
    assert daemon.stop() == 0


# (Beside a user's flood of /tmp: test_ticket_guard.py.)
def test_a_removal_comes_through_a_burst_of_slot_events(world):
    slots = 400  # 400 events: two seconds at one event per 5 ms pass
    # The guard scans non-stop; no session is to be locked.
    daemon = serving(world, '{\n"ticketsCheckInterval": 0,\n"actionOnTokenDisabled": 0\n}\n')
    insert(world, 5, "Ivanov token")
    daemon.wait_for_log(connected(5, "Ivanov token"))
    mark = world.log_mark()
    # Storage-only devices that a hostile hub shows in slot after slot (in one slot their
    # changes would come as one event per poll).
    for slot in range(1000, 1000 + slots):
        hidden, entry = (world.host_path(f"/run/kxsim/tokens/{name}")
                         for name in (f".{slot}.tmp", str(slot)))
        with open(hidden, "w") as file:
            file.write("label = Flash\nmodel = Korvex Disk2\n")
        os.rename(hidden, entry)

    # The removal comes through, once. How soon is a benchmark's figure
    # (bench/removal_reaction.py): a busy machine stretches it.
    world.kxsim("remove", "5")
    daemon.wait_for_log(disconnected(5, "Ivanov token"), since=mark, timeout=60)
    # The removal need not wait for the burst's last events.
    daemon.wait_for_log(re.compile(rf"\[INFO\] Token event: event 0, slot {999 + slots},"),
                        since=mark, timeout=60)
    events = [text for text in texts(daemon.records(since=mark)) if "Token event" in text]
    assert len(events) == slots + 1  # the removal
    assert not daemon.records(level=LOG_WARNING)


LOCKS = '{\n"actionOnTokenDisabled": 1\n}\n'
UNKNOWN_STATE = ("[ERROR] Событие в слоте {}, состояние которого неизвестно: список слотов получить "
                 "не удалось, поэтому блокируем все сессии")


def lock_everything_calls(world):
    return len(world.logind.calls("LockSessions"))


# What the loop could not find out counts as a removal that locks every session, once for each
# thing it could not find out, never for what it knows. (Then what the removal does with a
# stored record that is incomplete: every session locked as well.)
def test_what_the_loop_cannot_find_out_locks_every_session(world):
    world.add_user("ivanov", 1001)
    world.logind.add_session("c1", 1001, "ivanov")
    # A token in the reader at start makes every listing fail: no slot's state is known.
    insert(world, 1, "Hostile", "--fail", "C_GetSlotList=CKR_DEVICE_ERROR")
    insert(world, 5, "Before start")
    daemon = serving(world, LOCKS)
    assert lock_everything_calls(world) == 0

    # A token swapped for another in one event, in a slot the loop knew nothing of: the event may
    # hide a removal. The new token is read directly and stored.
    insert(world, 5, "Swapped in", command="swap")
    daemon.wait_for_log(connected(5, "Swapped in"))
    assert daemon.records(UNKNOWN_STATE.format(5))
    wait_until(lambda: lock_everything_calls(world) == 1)
    # A slot seen empty since is known: pulled (the stored token's own removal) and filled again,
    # nobody else is locked.
    handled = removals_handled(world)
    world.kxsim("remove", "5")
    wait_for_removals(world, handled + 1)
    insert(world, 5, "Again", "--profile", "ivanov@corp")
    daemon.wait_for_log(connected(5, "Again"))
    assert len(daemon.records(UNKNOWN_STATE.format(5))) == 1

    # A token that cannot be shown to be the stored one (its objects fail to read, twice) is not
    # trusted: the stored token's removal runs, and the other is stored as read, incomplete.
    mark = world.log_mark()
    insert(world, 5, "Again", "--profile", "ivanov@corp", "--fail",
           "C_GetAttributeValue=CKR_DEVICE_ERROR", command="swap")
    daemon.wait_for_log("[WARNING] Не удалось убедиться, что в слоте 5 тот же токен: он считается "
                        "отключенным", since=mark)
    daemon.wait_for_log(disconnected(5, "Again"), since=mark)
    daemon.wait_for_log(connected(5, "Again"), since=mark)
    wait_until(lambda: ask(world, "daemonStatus")["incompleteTokens"] == 1)
    # Pulled, the incomplete token locks every session: what it lacks may have named a user.
    before = lock_everything_calls(world)
    handled = removals_handled(world)
    world.kxsim("remove", "5")
    wait_for_removals(world, handled + 1)
    assert daemon.records("[ERROR] Данные токена в слоте 5 прочитаны не полностью, поэтому "
                          "блокируем все сессии")
    assert lock_everything_calls(world) == before + 1
    assert daemon.stop() == 0


# Library answers that make no sense are failures of the listing, and a library whose slot events
# fail still shows a removal: the stored slots are asked one by one, said once per run of failures.
def test_a_failing_library_still_shows_removals(world):
    daemon = serving(world, "{}\n")
    mark = world.log_mark()
    insert(world, 1, "Absurd", "--slot-count", str(2**61))
    daemon.wait_for_log(f"[ERROR] Библиотека сообщила о {2**61} слотах: список слотов не принят",
                        since=mark)
    world.kxsim("remove", "1")
    wait_until(lambda: not ask(world, "daemonStatus")["slotListFailed"])
    insert(world, 2, "Growing", "--slot-count", "growing")
    daemon.wait_for_log("[ERROR] Ошибка C_GetSlotList. Код возврата = 336", since=mark)
    world.kxsim("remove", "2")
    insert(world, 5, "Ivanov token")
    daemon.wait_for_log(connected(5, "Ivanov token"), since=mark)
    insert(world, 7, "Blinding", "--fail", "C_WaitForSlotEvent=CKR_DEVICE_ERROR")
    daemon.wait_for_log(connected(7, "Blinding"), since=mark)
    failing = "[ERROR] Ошибка C_WaitForSlotEvent. Код возврата = 48. Слоты проверяются опросом"
    daemon.wait_for_log(failing, since=mark)

    world.kxsim("remove", "5")
    daemon.wait_for_log(disconnected(5, "Ivanov token"), since=mark)
    assert ask(world, "daemonStatus")["slotEventsFailing"]
    world.kxsim("remove", "7")
    daemon.wait_for_log(re.compile(r"^\[INFO\] C_WaitForSlotEvent снова работает, ошибок подряд: "
                                   r"[1-9]"), since=mark)
    assert len(daemon.records(failing)) == 1
    assert daemon.stop() == 0


# Blind for over 10 s (here the library does not start): a removal may have gone unseen, so every
# session is locked, once, and the status says so.
def test_a_blind_loop_locks_every_session_once(world):
    world.add_user("ivanov", 1001)
    world.logind.add_session("c1", 1001, "ivanov")
    insert(world, 5, "Any", "--fail", "C_Initialize=CKR_DEVICE_ERROR")
    daemon = serving(world, LOCKS)
    daemon.wait_for_log("[ERROR] Демон не видит токены дольше 10 с, поэтому блокируем все сессии",
                        timeout=30)
    wait_until(lambda: lock_everything_calls(world) == 1)
    assert ask(world, "daemonStatus")["blind"]
    world.kxsim("remove", "5")
    daemon.wait_for_log("[INFO] Единая библиотека инициализирована")
    wait_until(lambda: not ask(world, "daemonStatus")["blind"])
    assert lock_everything_calls(world) == 1
    assert daemon.stop() == 0
