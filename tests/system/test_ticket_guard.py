"""The Kerberos ticket cache guard of the running kxsentrixd against what an unprivileged user
puts into /tmp: uid texts that are no uid, give-aways, hard links, forged records, a flood of
names for the log, with a removal logged in full beside it."""

import os
import re
import time

from system_helpers import disconnected, insert, serving, texts
from world import PAM_SYSTEM_AUTH, wait_until

ATTACKER, VICTIM = 2001, 2002
SENTINEL = 59999  # a root-owned cache the guard repairs: proof that a scan has passed
CONFIG = '{\n"ticketsCheckInterval": 20\n}\n'


def create_as_attacker(world, names, then=""):
    """Creates empty files in /tmp as the unprivileged attacker, then runs the Python `then`."""
    code = (f"import os\nfor name in {names!r}:\n"
            "    os.close(os.open('/tmp/' + name, os.O_CREAT | os.O_WRONLY, 0o600))\n" + then)
    world.run(["setpriv", f"--reuid={ATTACKER}", f"--regid={ATTACKER}", "--clear-groups",
               "/usr/bin/python3", "-c", code], check=True)


def handed_over(name, uid, gid=0):
    return f"[INFO] Owner of file '/tmp/{name}' is changed to uid {uid}, gid {gid}"


def wrong_owner(name, owner, uid_text):
    return (f"Found ticket cache file '/tmp/{name}' with wrong permissions. Current owner uid is "
            f"'{owner}' but should be '{uid_text}'.")


def bad_uid(uid_text):
    return f"[WARNING] Failed to get valid uid from '{uid_text}'. This file will be ignore."


def users_file(name, owner=ATTACKER):
    return (f"[WARNING] Ticket cache file '/tmp/{name}' belongs to uid {owner}, not to root. "
            "It is not handed over.")


def full_scans(world, daemon, count):
    """Returns after at least `count` scans ran from start to end: each repair of the sentinel
    comes from a later scan than the one before, since a scan visits an entry once."""
    sentinel = f"/tmp/krb5cc_{SENTINEL}"
    for _ in range(count + 1):
        mark = world.log_mark()
        world.write(sentinel, b"", mode=0o600, owner=(0, 0))
        daemon.wait_for_log(handed_over(f"krb5cc_{SENTINEL}", SENTINEL), since=mark)
    world.remove(sentinel)


def started(world, config=CONFIG):
    world.add_user("ivanov", ATTACKER)
    world.add_user("petrov", VICTIM)
    return serving(world, config)


def owner_and_mode(world, path):
    status = world.stat(path, follow=False)
    return status.st_uid, status.st_gid, status.st_mode & 0o777


def guard_lines(daemon, since):
    sentinel = f"krb5cc_{SENTINEL}"
    return [text for text in texts(daemon.records(since=since))
            if ("/tmp/krb5cc_" in text or "valid uid" in text) and sentinel not in text]


def test_users_files_are_judged_once_and_never_given_away_nor_poisoned(world):
    # name in /tmp -> what the guard says about it once, however often it scans
    cases = {
        # uid -1: chown would change nothing, so every scan would "repair" it again
        "krb5cc_4294967295_x": [wrong_owner("krb5cc_4294967295_x", ATTACKER, "4294967295"),
                                bad_uid("4294967295")],
        # owned by the uid in its name, whatever the text says
        "krb5cc_02001": [],
        # the attacker's own file must not become the victim's cache that the attacker can write
        f"krb5cc_{VICTIM}": [wrong_owner(f"krb5cc_{VICTIM}", ATTACKER, str(VICTIM)),
                             users_file(f"krb5cc_{VICTIM}")],
        # a line feed in a name must not start a record of its own
        "krb5cc_x\nОтключено устройство в слоте 7": [
            "[WARNING] Found ticket cache file '/tmp/krb5cc_x\\x0aОтключено устройство в слоте 7' "
            "with wrong permissions. But can not determine uid from file path. This file will be "
            "ignore."],
    }
    # Held back by the interval set at start (past the default's), the guard takes the one
    # reloaded at the next slot event.
    world.write("/tmp/krb5cc_1000", b"ticket", mode=0o600, owner=(0, 0))
    daemon = started(world, CONFIG.replace("20", "600000"))
    world.write_daemon_config(CONFIG)
    time.sleep(1.2)
    assert world.stat("/tmp/krb5cc_1000").st_uid == 0
    insert(world, 4, "Any")
    daemon.wait_for_log(handed_over("krb5cc_1000", 1000))
    mark = world.log_mark()
    create_as_attacker(world, list(cases))

    full_scans(world, daemon, 3)

    expected = [line for lines in cases.values() for line in lines]
    assert sorted(guard_lines(daemon, mark)) == sorted(expected)
    assert not daemon.records(re.compile("^Отключено"), since=mark)
    for name in cases:
        assert owner_and_mode(world, f"/tmp/{name}") == (ATTACKER, ATTACKER, 0o600), name

    # Nor does a hard link poison the victim's name for the real cache.
    name = f"krb5cc_{VICTIM}"
    mark = world.log_mark()
    create_as_attacker(world, ["mine"], f"os.unlink('/tmp/{name}')\n"
                                        f"os.link('/tmp/mine', '/tmp/{name}')\n")
    daemon.wait_for_log(re.compile(f"^\\[WARNING\\] .*'/tmp/{name}'"), since=mark)
    create_as_attacker(world, [], f"os.unlink('/tmp/{name}')")
    # The victim logs on: root writes the cache, the guard gives it to the victim.
    world.write(f"/tmp/{name}", b"ticket", mode=0o600, owner=(0, 0))
    daemon.wait_for_log(handed_over(name, VICTIM), since=mark)
    assert owner_and_mode(world, f"/tmp/{name}") == (VICTIM, 0, 0o660)
    assert owner_and_mode(world, "/tmp/mine") == (ATTACKER, ATTACKER, 0o600)


def test_a_users_flood_of_names_and_calls_is_summarised_and_a_removal_still_fully_logged(world):
    names, calls = 2000, 300
    no_uid = re.compile(r"^\[WARNING\] Found ticket cache file '/tmp/krb5cc_x\d+' with wrong ")
    # Each of the attacker's calls is worth three records: the call, the method's, the reply.
    call_records = re.compile(r"^(\[INFO\] dbus: (Вызов метода test с 0 аргументами|Результат "
                              r"вызова test отправлен)|DBUS method test is called)$")
    held_back = re.compile(f"^\\[WARNING\\] Пропущено (\\d+) записей журнала, вызванных "
                           f"пользователем с uid {ATTACKER}$")
    removal = [disconnected(5, "Ivanov token"),
               "[INFO] Настроенное действие для удаленного подключения - Бездействие",
               "[INFO] Настроенное действие для системы - Не определено"]
    daemon = started(world)
    insert(world, 5, "Ivanov token")
    mark = world.log_mark()
    create_as_attacker(world, [f"krb5cc_x{number}" for number in range(names)],
                       then=f"import dbus\nbus = dbus.SystemBus()\nfor _ in range({calls}):\n"
                       "    bus.call_blocking('kx.daemon.server', '/', 'kx.daemon.server', 'test', "
                       "'', [])\n")
    world.kxsim("remove", "5")
    for line in removal:
        daemon.wait_for_log(line, since=mark)

    # Each record the attacker caused is either logged or counted in a summary of the attacker's
    # records, and most are counted: a user gets a few records a second into the log.
    def accounted():
        logged = len(daemon.records(no_uid, since=mark)) + len(
            daemon.records(call_records, since=mark))
        summarised = [int(held_back.match(record.text).group(1))
                      for record in daemon.records(held_back, since=mark)]
        return (logged, summarised) if logged + sum(summarised) == names + 3 * calls else None
    logged, summarised = wait_until(accounted, 60, "every record logged or summarised")
    assert summarised and logged < (names + 3 * calls) / 10

    # While there is no log, the daemon's own records wait for it, and come in order once a log
    # is there again (a new socket at /dev/log, as after a journald restart): nothing is lost.
    insert(world, 5, "Ivanov token")
    daemon.wait_for_log(f"[INFO] Подключено новое устройство в слоте 5 label:Ivanov token "
                        "model:Korvex Linnet USB")
    mark = world.log_mark()
    log, away = world.host_path("/dev/log"), world.host_path("/dev/log.away")
    os.rename(log, away)
    world.kxsim("remove", "5")
    bus = world.system_bus()
    wait_until(lambda: len(bus.call_blocking("kx.daemon.server", "/", None, "allTokens", "",
                                             [])) == 0, what="the removal handled")
    os.rename(away, log)
    for line in removal:
        daemon.wait_for_log(line, since=mark)
    handled = [text for text in texts(daemon.records(since=mark)) if text in removal]
    assert handled == removal
    assert not daemon.records(re.compile("Системный журнал не принял"), since=mark)


# A user's process that keeps /dev/log full: anyone may write there. (The world's log drops its
# records, tagged as noise, once received.)
LOG_FLOOD = ("import socket\nlog = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)\n"
             "while True:\n    log.sendto(b'<14>kxworld-noise: ' + b'x' * 200, '/dev/log')\n")


def test_every_record_of_a_removal_reaches_a_log_that_users_keep_full(world):
    world.write(PAM_SYSTEM_AUTH, "auth sufficient pam_kx-tf-auth.so\n")
    daemon = started(world, '{\n"actionOnTokenDisabled": 1\n}\n')
    certificate = "/home/petrov/.eid/authorized_certificates"
    world.mkdir("/home/petrov/.eid", owner="petrov")
    world.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
               "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30", "-keyout", "/dev/null",
               "-out", certificate, "-subj", "/CN=petrov"], check=True)
    world.logind.add_session("c1", VICTIM, "petrov")
    insert(world, 5, "Petrov token", "--cert", certificate)
    daemon.wait_for_log(re.compile(r"^\[INFO\] Подключено новое устройство в слоте 5 "))
    world.write("/run/flood.py", LOG_FLOOD)
    flooders = [world.machine().popen_in(
        ["setpriv", f"--reuid={ATTACKER}", f"--regid={ATTACKER}", "--clear-groups",
         "/usr/bin/python3", "/run/flood.py"], env=world.env()) for _ in range(6)]
    try:
        time.sleep(1)
        mark = world.log_mark()
        world.kxsim("remove", "5")
        for line in (disconnected(5, "Petrov token"),
                     re.compile(r"^\[INFO\] Сессия пользователя petrov.* соответствует токену"),
                     re.compile(r"^\[INFO\] 1 сессия пользователей были успешно заблокированы")):
            daemon.wait_for_log(line, since=mark, timeout=30)
    finally:
        for flooder in flooders:
            flooder.kill()
    assert world.logind.calls("LockSession") == [["c1"]]
    assert daemon.stop() == 0
