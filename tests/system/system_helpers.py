"""What the system tests share: the daemon's bus name, the log lines they wait for or compare,
and the simulated tokens they insert."""

import json
import os
import re
import time

from world import DAEMON_CONFIG, wait_until

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "dbus",
                       "BusContract.h")) as header:
    _CONTRACT = header.read()
_CONSTANTS = dict(re.findall(r'constexpr char (k\w+)\[\] = "([^"]*)";', _CONTRACT))
NAME = _CONSTANTS["kName"]
# The daemon's methods and who may call them, from src/dbus/BusContract.h: {name: "Everyone"
# or "Root"}.
METHODS = {_CONSTANTS[constant]: caller
           for constant, caller in re.findall(r"\{(k\w+), Caller::(\w+)\}", _CONTRACT)}
SERVICE_UP = "[INFO] Установлено соединение с dbus. Запущен интерфейс kx.daemon.server."
WATCHING = "Запуск основного цикла FileWatcher"
MODIFIED = f"Модификация файла {DAEMON_CONFIG}"
ALICE_PEM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim", "data",
                         "alice.pem")
LINNET = "model:Korvex Linnet USB"


def texts(records):
    return [record.text for record in records]


def serving(world, config="", **options):
    """The daemon with the given configuration file (with one, a removal never powers off),
    its file under watch and its D-Bus service up."""
    if config is not None:
        world.write_daemon_config(config)
    daemon = world.start_daemon(**options).wait_ready()
    daemon.wait_for_log(WATCHING)
    daemon.wait_for_log(SERVICE_UP)
    return daemon


def ask(world, method, *slot):
    """The JSON answer of daemonStatus or explainTokenRemoval (for one slot, or every token),
    called by root. Returns once the call's last record is logged, so none follows a later mark."""
    mark = world.log_mark()
    answer = world.system_bus().call_blocking(NAME, "/", NAME, method, "s" * len(slot),
                                              [str(s) for s in slot], timeout=30)
    world.wait_for_log(f"[INFO] dbus: Результат вызова {method} отправлен", since=mark, timeout=30)
    return json.loads(answer)


def removals_handled(world):
    return ask(world, "daemonStatus")["removalsHandled"]


def wait_for_removals(world, count, timeout=20):
    """Waits until the daemon has ended `count` removals since its start: each runs on a thread
    of its own, so the slot loop's records say nothing of when one has ended."""
    wait_until(lambda: time.sleep(0.05) or removals_handled(world) >= count, timeout=timeout,
               what=f"{count} removals handled")


def insert(world, slot, label, *options, command="insert"):
    """A Linnet token in `slot` (with "swap": in place of the one there), read and announced by
    the daemon."""
    world.kxsim(command, str(slot), "--label", label, "--model", "Korvex Linnet", "--isd",
                "KX214", *options)


def connected(slot, label):  # "Korvex Linnet USB": the model the reader names for ISD "KX214"
    return f"[INFO] Подключено новое устройство в слоте {slot} label:{label} {LINNET}"


def disconnected(slot, label):
    return f"[INFO] Отключено устройство в слоте {slot} label:{label} {LINNET}"


def token_event(slot, flags, version="0.0", firmware=None):
    return (f"[INFO] Token event: event 0, slot {slot}, flags {flags} hardware version "
            f"{version}, firmware version {firmware or version}")


def settings(system="Блокировка сессии пользователя", remote="Бездействие", debug="включен",
             interval=1000):
    """The summary lines of a configuration load."""
    return [f"Режим расширенного логирования - {debug}",
            f"Настроенное действие для системы - {system}",
            f"Настроенное действие для удаленного подключения - {remote}",
            "Режим принудительного совпадения сессий пользователей - выключен",
            f"Интервал проверки корректности прав доступа тикетов Kerberos - {interval} ms",
            "Режим завершения сессий, которые нельзя заблокировать - выключен"]
