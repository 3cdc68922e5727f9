"""The D-Bus service of the running kxsentrixd on the world's bus, under the policy an install
ships (the token list and last-update time: test_kxsentrixctl.py): fingerprints, the echo method,
who may call what, stopping while clients call and users leave their replies unread, and a bus
that goes away and comes back. (A daemon started without a bus: test_lifecycle.py.)"""

import contextlib
import ctypes
import hashlib
import json
import os
import re
import signal
import ssl
import stat
import threading

import dbus
import pytest
from system_helpers import ALICE_PEM, METHODS, NAME, SERVICE_UP, serving, texts
from world import LOG_ERR, LOG_WARNING, wait_until

CERT_FILE = ".eid/authorized_certificates"
with open(ALICE_PEM) as pem:
    ALICE = pem.read()
ALICE_FINGERPRINT = hashlib.sha1(ssl.PEM_cert_to_DER_cert(ALICE)).hexdigest().upper()


def call(world, method, signature="", args=(), interface=NAME, timeout=5):
    """A call from the host as root through python-dbus; the reply's arguments as a list."""
    reply = world.system_bus().call_blocking(NAME, "/", interface, method, signature, args,
                                             timeout=timeout)
    return [] if reply is None else list(reply) if isinstance(reply, tuple) else [reply]


def busctl(world, *argv):
    """busctl's JSON reading of a call made inside the world: (signature, data)."""
    reply = json.loads(world.run(["busctl", "--json=short", "call", NAME, "/", NAME, *argv],
                                 check=True).stdout)
    return reply["type"], reply["data"]


# A user may not call without naming the interface, nor own the name; then each method given.
POLICY_CLIENT = """
import os, sys, dbus
os.setgid(60001)
os.setuid(60001)
bus = dbus.SystemBus()
calls = [lambda: bus.call_blocking("kx.daemon.server", "/", None, "allTokens", "", []),
         lambda: bus.request_name("kx.daemon.server")]
calls += [lambda method=method: bus.call_blocking("kx.daemon.server", "/", "kx.daemon.server",
                                                  method, "", [], timeout=10)
          for method in sys.argv[1:]]
for call in calls:
    try:
        call()
        print("answered")
    except dbus.exceptions.DBusException as error:
        print(error.get_dbus_name())
"""


# A user's echo of one array of a million short strings (8 MB on the wire).
ARRAY_CLIENT = """
import os, dbus
os.setgid(60001)
os.setuid(60001)
try:
    dbus.SystemBus().call_blocking("kx.daemon.server", "/", "kx.daemon.server", "test", "as",
                                   [["ab"] * 1000000], timeout=60)
    print("answered")
except dbus.exceptions.DBusException as error:
    print(error.get_dbus_name())
"""


def test_fingerprints_echoes_and_who_may_call_what(world):
    world.add_user("ivanov", 60001)
    for uid, name in enumerate(("with-cert", "without-file", "fifo", "no-pem", "root-only",
                                "device", "unreadable", "no-certificate"), 60002):
        world.add_user(name, uid)
        world.mkdir(f"/home/{name}/.eid")
    world.write(f"/home/with-cert/{CERT_FILE}", ALICE, owner="with-cert")
    # Read with the user's rights and only if a regular file: a FIFO's waiting writer is not
    # released, a device is not opened, a file only root may read, or one that fails to read, is
    # not answered.
    fifo = world.host_path(f"/home/fifo/{CERT_FILE}")
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: os.close(os.open(fifo, os.O_WRONLY)), daemon=True)
    writer.start()
    world.write("/run/alice.pem", ALICE, mode=0o600)
    world.symlink("/run/alice.pem", f"/home/root-only/{CERT_FILE}")
    os.mknod(world.host_path("/dev/observed"), stat.S_IFCHR | 0o666, os.makedev(1, 3))
    world.symlink("/dev/observed", f"/home/device/{CERT_FILE}")
    world.symlink("/sys/class/net/lo/speed", f"/home/unreadable/{CERT_FILE}")  # read: EINVAL
    libc = ctypes.CDLL(None, use_errno=True)
    opens = libc.inotify_init1(os.O_NONBLOCK)
    libc.inotify_add_watch(opens, world.host_path("/dev/observed").encode(), 0x20)  # IN_OPEN
    world.write(f"/home/no-pem/{CERT_FILE}", "not a certificate\n")
    # One ASN.1 sequence (an integer in it) in a certificate block: no certificate.
    world.write(f"/home/no-certificate/{CERT_FILE}",
                "-----BEGIN CERTIFICATE-----\nMAMCAQE=\n-----END CERTIFICATE-----\n")
    daemon = serving(world)
    cannot_open = "[WARNING] Не удалось открыть файл /home/{}/" + CERT_FILE
    for args, signature, reply, logged in [
            # (arguments, signature, reply, records at error and warning level)
            ([], "", [], ["[ERROR] Не верное количество параметров!"]),
            ([7], "i", [], ["[ERROR] Не верные аргументы!"]), (["nobody-here"], "s", [], []),
            (["without-file"], "s", [""], [cannot_open.format("without-file")]),
            (["with-cert"], "s", [ALICE_FINGERPRINT], []),
            (["fifo"], "s", [""], [cannot_open.format("fifo")]),
            (["no-pem"], "s", [""], ["[ERROR] Не удалось создать X509"]),
            (["no-certificate"], "s", [""], ["[ERROR] Не удалось создать X509"]),
            (["root-only"], "s", [""], [cannot_open.format("root-only")]),
            (["device"], "s", [""], [cannot_open.format("device")]),
            (["unreadable"], "s", [""], [cannot_open.format("unreadable")])]:
        mark = world.log_mark()
        assert call(world, "getFingerPrintByUserCert", signature, args) == reply, args
        assert [record.text for record in daemon.records(since=mark)
                if record.level in (LOG_ERR, LOG_WARNING)] == logged, args

    # An array is skipped with a warning that numbers it by the arguments kept so far.
    mark = world.log_mark()
    assert busctl(world, "test", "isasbdx", "7", "ab", "2", "p", "q", "true", "1.5", "9") == (
        "s", ["Args count 5: 7, ab, true, , , "])
    assert texts(daemon.records(since=mark, level=LOG_WARNING)) == [
        "[WARNING] dbus: Аргумент вызова test №3 имеет не поддерживаемый формат 97"]
    # A call longer than 64 KiB is refused before it is decoded, whatever holds the bytes: root's
    # string (whose echo would be longer than the bus takes), a user's million short strings.
    mark = world.log_mark()
    with pytest.raises(dbus.exceptions.DBusException) as refused:
        call(world, "test", "s" + "i" * 250, ["x" * (32 * 2**20 - 2600)] + [-2**31] * 250,
             timeout=60)
    assert refused.value.get_dbus_name() == "org.freedesktop.DBus.Error.LimitsExceeded"
    assert world.run(["/usr/bin/python3", "-c", ARRAY_CLIENT], timeout=120,
                     check=True).stdout.split() == ["org.freedesktop.DBus.Error.LimitsExceeded"]
    assert texts(daemon.records(since=mark, level=LOG_WARNING)) == [
        "[WARNING] dbus: Аргументы вызова test длиннее 65536 байт, метод не вызван"] * 2
    assert busctl(world, "test") == ("s", ["Args count 0: "])
    mark = world.log_mark()
    with pytest.raises(dbus.exceptions.DBusException) as unserved:
        call(world, "test", interface="kx.other", timeout=0.5)
    assert unserved.value.get_dbus_name() == "org.freedesktop.DBus.Error.NoReply"
    assert daemon.records(since=mark) == []
    assert call(world, "test", "s", ["x"], interface=None) == ["Args count 1: x, "]
    # The bus lets users call exactly the methods the contract gives everyone, and the API
    # document says so.
    denied = "org.freedesktop.DBus.Error.AccessDenied"
    assert world.run(["/usr/bin/python3", "-c", POLICY_CLIENT, *METHODS],
                     check=True).stdout.split() == [denied, denied] + [
        "answered" if caller == "Everyone" else denied for caller in METHODS.values()]
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "docs", "dbus-api.md")) as api:
        assert dict(re.findall(r"^\| `(\w+)` \|.* \| (everyone|root) \|$", api.read(),
                               re.MULTILINE)) == {
            method: caller.lower() for method, caller in METHODS.items()}
    assert writer.is_alive()  # still waiting for a reader
    with pytest.raises(BlockingIOError):  # no open of the device was seen
        os.read(opens, 4096)
    os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
    writer.join()
    assert daemon.stop() == 0


# A user's client that makes blocking calls (libdbus's send_with_reply_and_block): it reads each
# reply as it waits for it, and, unless told to dispatch, leaves what else comes (pings) unread.
# Its replies, 60 kB each, add up to well over what the daemon sends unread.
USER_CLIENT = """
import os, sys, dbus, dbus.mainloop.glib
from gi.repository import GLib
os.setgid(60002)
os.setuid(60002)
bus = dbus.SystemBus(mainloop=dbus.mainloop.glib.DBusGMainLoop() if sys.argv[1:] else None)
for _ in range(40):
    print(len(bus.call_blocking("kx.daemon.server", "/", "kx.daemon.server", "test", "s",
                                ["x" * 60000], timeout=60)), flush=True)
    while GLib.MainContext.default().iteration(False):
        pass
"""


def user_client(world, *argv):
    """The lengths of the replies USER_CLIENT got."""
    return [int(length) for length in world.run(["/usr/bin/python3", "-c", USER_CLIENT, *argv],
                                                timeout=600).stdout.split()]


def test_unread_replies_and_a_stop_while_clients_keep_calling(world):
    world.add_user("ivanov", 60001)
    world.add_user("petrov", 60002)
    world.kxsim("insert", "5", "--label", "Busy")
    world.kxsim("insert", "6", "--label", "Pulled")
    daemon = serving(world)
    daemon.wait_for_log(re.compile("Подключено новое устройство в слоте 6 "))
    # A user's connections, each with as many calls as the bus lets it have open, echoing 60 kB,
    # whose replies are never read: more than the bus holds for a sender it still reads from.
    flood = world.machine().popen_in(
        ["setpriv", "--reuid=60001", "--regid=60001", "--clear-groups",
         os.path.join(world.build_dir, "bench", "kx_dbus_flood"), "test", "24", "128", "60000"],
        env=world.env())
    assert flood.stdout.readline() == b"sent\n"
    # Root is answered while the user's replies stay unread.
    assert isinstance(call(world, "lastDateUpdate", timeout=30)[0], dbus.Int64)
    # Another user's client that reads its replies gets every one, served in turn with the
    # flood's calls, whose replies stop at that user's bound: the bus holds no more of the
    # daemon's messages than 8 MiB.
    assert user_client(world) == [len("Args count 1: , ") + 60000] * 40
    bus = world.system_bus()
    assert bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus.Debug.Stats", "GetConnectionStats", "s",
                             [bus.get_name_owner(NAME)])["IncomingBytes"] <= 8 * 2**20
    replies, failures, stopping = [], [], threading.Event()

    def client():
        bus = dbus.bus.BusConnection(f"unix:path={world.host_path('/run/dbus/system_bus_socket')}")
        try:
            while True:
                replies.append(bus.call_blocking(NAME, "/", NAME, "allTokens", "", (), timeout=5))
        except dbus.exceptions.DBusException:
            failures.append(stopping.is_set())
        finally:
            bus.close()

    clients = [threading.Thread(target=client) for _ in range(4)]
    for thread in clients:
        thread.start()
    wait_until(lambda: len(replies) >= 20, what="calls answered")
    world.kxsim("remove", "6")
    daemon.wait_for_log(re.compile("Отключено устройство в слоте 6 "))
    stopping.set()
    assert daemon.stop(signal.SIGTERM) == 0
    flood.stdin.close()
    for thread in clients:
        thread.join(timeout=10)
    # Calls fail only once the daemon is going, and then every client's does; every answer is
    # whole, and every call the daemon took was answered.
    assert failures == [True] * len(clients)
    assert {tuple((int(record[0]), str(record[1])) for record in reply) for reply in replies} <= {
        ((5, "Busy"), (6, "Pulled")), ((5, "Busy"),)}
    taken = daemon.records("[INFO] dbus: Вызов метода allTokens с 0 аргументами")
    sent = daemon.records("[INFO] dbus: Результат вызова allTokens отправлен")
    assert len(taken) == len(sent) >= len(replies)


def kill_system_bus(world):
    for pid in open(f"/proc/{world.init_pid}/task/{world.init_pid}/children").read().split():
        with contextlib.suppress(FileNotFoundError):  # a short-lived helper has ended
            if b"system-bus.conf" in open(f"/proc/{pid}/cmdline", "rb").read():
                os.kill(int(pid), signal.SIGKILL)


def start_system_bus(world, policy):
    """A new system bus in the world, under its configuration with `policy` (XML) added."""
    config = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "world",
                                          "system-bus.conf"))
    world.write("/run/varied/system-bus.conf",
                f"<busconfig><include>{config}</include>{policy}</busconfig>")
    world.run(["dbus-daemon", "--fork", "--config-file=/run/varied/system-bus.conf"], check=True)


def test_a_bus_that_comes_back_is_served_again(world):
    world.add_user("petrov", 60002)
    daemon = serving(world)
    mark = world.log_mark()
    kill_system_bus(world)
    lost = ("[ERROR] Потеряно соединение с dbus, интерфейс kx.daemon.server недоступен до "
            "повторного подключения")
    daemon.wait_for_log(lost, since=mark)
    # The new bus keeps its statistics from root, as some buses do: a client shows that it has
    # read its replies by answering pings, as it does when it dispatches what it reads.
    start_system_bus(world, """<policy user="root"><deny send_destination="org.freedesktop.DBus"
                                   send_interface="org.freedesktop.DBus.Debug.Stats"/></policy>""")
    daemon.wait_for_log(SERVICE_UP, since=mark, timeout=30)
    assert busctl(world, "test") == ("s", ["Args count 0: "])
    assert len(user_client(world, "dispatch")) == 40
    assert texts(daemon.records(re.compile("Шина не сообщает"))) == [
        "[INFO] dbus: Шина не сообщает объём непрочитанных сообщений "
        "(org.freedesktop.DBus.Error.AccessDenied), прочтение ответов подтверждается ответом на "
        "Peer.Ping"]
    assert daemon.stop() == 0
    assert [text for text in texts(daemon.records(re.compile("dbus"))) if "dbus:" not in text] == [
        SERVICE_UP, lost, SERVICE_UP, "[INFO] Работа dbus завершена"]


# A GDBus client that sends its calls at once on a new connection, as asynchronous calls go, and
# prints each one's answer: the echo, or the error's name.
PIPELINED_CLIENT = """
import os, sys
from gi.repository import Gio, GLib
uid, count = int(sys.argv[1]), int(sys.argv[2])
os.setgid(uid)
os.setuid(uid)
bus = Gio.DBusConnection.new_for_address_sync(
    Gio.dbus_address_get_for_bus_sync(Gio.BusType.SYSTEM),
    Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
    Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
loop, answers = GLib.MainLoop(), []

def answered(connection, result):
    try:
        answers.append(connection.call_finish(result).unpack()[0])
    except GLib.Error as error:
        answers.append(str(Gio.DBusError.get_remote_error(error)))
    if len(answers) == count:
        loop.quit()

for number in range(count):
    bus.call("kx.daemon.server", "/", "kx.daemon.server", "test", GLib.Variant("(i)", (number,)),
             None, Gio.DBusCallFlags.NONE, 10000, None, answered)
loop.run()
print("\\n".join(answers))
"""


def test_calls_sent_at_once_are_answered_and_users_are_refused_roots_methods(world):
    world.add_user("ivanov", 60001)
    # A bus whose policy lets every user call every method: the daemon is the guard.
    kill_system_bus(world)
    start_system_bus(world, """<policy context="default">
                                 <allow send_destination="kx.daemon.server"/></policy>""")
    daemon = serving(world)
    # Calls sent before the daemon knows whose the connection is wait for it; those beyond the
    # connection's 16 that find no room are refused with an error, none is left unanswered.
    for uid in (0, 60001):
        answers = world.run(["/usr/bin/python3", "-c", PIPELINED_CLIENT, str(uid), "24"],
                            check=True, timeout=60).stdout.splitlines()
        echoes = [answer for answer in answers if answer.startswith("Args count")]
        assert set(echoes) <= {f"Args count 1: {number}, " for number in range(24)}, uid
        assert len(answers) == 24 and len(set(echoes)) == len(echoes) >= 16, (uid, answers)
        assert set(answers) - set(echoes) <= {"org.freedesktop.DBus.Error.LimitsExceeded"}, uid
    # The bus lets the user through (a call without the interface too); the name stays root's.
    denied = "org.freedesktop.DBus.Error.AccessDenied"
    assert world.run(["/usr/bin/python3", "-c", POLICY_CLIENT, *METHODS],
                     check=True).stdout.split() == ["answered", denied] + [
        "answered" if caller == "Everyone" else denied for caller in METHODS.values()]
    assert daemon.stop() == 0
