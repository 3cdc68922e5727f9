"""What an install puts on a machine, tried inside a world (whose /etc and /usr/local are its
own): `cmake --install` of this build into a staging directory and onto the world's machine,
the systemd unit checked by systemd-analyze, the bus policy loaded by a dbus-daemon, the
manual pages found by man, the Debian packages' contents; and the daemon as a service sees
it: the shipped example configuration and the readiness notice."""

import json
import os
import re
import shutil
import socket

import pytest
from world import LOG_DEBUG, LOG_WARNING

STAGE = "/tmp/stage"
PREFIX = "/usr/local"  # CMake's default, which the lists below are written for
UNIT = f"{PREFIX}/lib/systemd/system/kxsentrixd.service"
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "dist", "config",
                       "kxsentrixd.conf")
DAEMON_FILES = {
    f"{PREFIX}/sbin/kxsentrixd", f"{PREFIX}/bin/kxsentrixctl", UNIT,
    "/etc/dbus-1/system.d/kx.daemon.server.conf",
    f"{PREFIX}/share/doc/kxsentrix/examples/kxsentrixd.conf",
    f"{PREFIX}/share/man/man8/kxsentrixd.8.gz", f"{PREFIX}/share/man/man5/kxsentrixd.conf.5.gz",
    f"{PREFIX}/share/man/man1/kxsentrixctl.1.gz"}
SIMULATOR_FILES = {f"{PREFIX}/lib/libkxPKCS11-2.so", f"{PREFIX}/bin/kxsim"}


def require_default_prefix(world):
    with open(os.path.join(world.build_dir, "CMakeCache.txt")) as cache:
        if f"CMAKE_INSTALL_PREFIX:PATH={PREFIX}\n" not in cache.read():
            pytest.skip(f"the build installs elsewhere than {PREFIX}")


def installed(world, *options, stage=STAGE):
    """Runs cmake --install of this build in the world; the files it put below stage."""
    world.run(["cmake", "--install", world.build_dir, *options], env={"DESTDIR": stage},
              check=True)
    found = world.run(["find", stage, "-type", "f"], check=True).stdout.split()
    return {path[len(stage):] for path in found}


def test_install_puts_the_product_in_place_and_its_files_check(world):
    require_default_prefix(world)
    assert installed(world, "--component", "daemon", stage="/tmp/daemon") == DAEMON_FILES
    assert installed(world, "--component", "simulator", stage="/tmp/simulator") == \
        SIMULATOR_FILES
    assert installed(world) == DAEMON_FILES | SIMULATOR_FILES

    # Onto the world's machine, as on a real one.
    world.run(["cp", "-a", f"{STAGE}/.", "/"], check=True)
    unit = world.read(UNIT)
    assert "\nExecStart=/usr/local/sbin/kxsentrixd\n" in unit
    assert "\nConditionPathExists=/usr/local/etc/kxsentrix/kxsentrixd.conf\n" in unit
    if shutil.which("systemd-analyze"):
        verified = world.run(["systemd-analyze", "verify", UNIT])
        assert (verified.returncode, verified.stderr) == (0, ""), verified.stderr
    for page in ("kxsentrixd", "kxsentrixd.conf", "kxsentrixctl"):
        shown = world.run(["man", "--warnings", "-E", "UTF-8", page], env={"MANWIDTH": "80"})
        assert (shown.returncode, shown.stderr) == (0, ""), page
        assert "kxsentrix" in shown.stdout
    # The installed programs find the installed token library.
    assert world.run([f"{PREFIX}/bin/kxsentrixctl", "--version"]).stdout == "0.1\n"
    world.kxsim("insert", "5", "--label", "Installed", "--model", "Korvex Quill")
    assert "Installed" in world.run([f"{PREFIX}/bin/kxsentrixctl", "pin-status"]).stdout


# Starts a dbus-daemon whose policy is the installed file alone, then asks it, as root and as a
# user, to own the daemon's name and to call a method of it.
POLICY_BUS = r"""
import json, os, subprocess, sys, time
import dbus
config = '''<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/policy_bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="org.freedesktop.DBus"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
  <include>%s</include>
</busconfig>''' % sys.argv[1]
with open("/run/policy_bus.conf", "w") as file:
    file.write(config)
bus_daemon = subprocess.Popen(["dbus-daemon", "--config-file=/run/policy_bus.conf", "--nofork",
                               "--nopidfile", "--nosyslog",
                               "--print-address"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
bus_daemon.stdout.readline()
answers = {}
if os.fork() == 0:
    os.setgid(60001)
    os.setuid(60001)
child = os.getuid() != 0
connection = dbus.bus.BusConnection("unix:path=/run/policy_bus")
try:
    answers["own"] = int(connection.request_name("kx.daemon.server"))
except dbus.exceptions.DBusException as error:
    answers["own"] = error.get_dbus_name()
if child:
    print(json.dumps(answers), flush=True)
    os._exit(0)
os.wait()
print(json.dumps(answers))
bus_daemon.terminate()
print(json.dumps(bus_daemon.communicate()[1]))
"""


def test_the_installed_bus_policy_lets_only_root_own_the_name(world):
    require_default_prefix(world)
    world.add_user("ivanov", 60001)
    installed(world)
    policy = f"{STAGE}/etc/dbus-1/system.d/kx.daemon.server.conf"
    result = world.run(["/usr/bin/python3", "-c", POLICY_BUS, policy], check=True)
    user, root, bus_errors = [json.loads(line) for line in result.stdout.splitlines()]
    assert root == {"own": 1}  # DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER
    assert user == {"own": "org.freedesktop.DBus.Error.AccessDenied"}
    assert "kx.daemon.server.conf" not in bus_errors


def test_debian_packages_hold_what_the_install_puts_in_place(world):
    require_default_prefix(world)
    if not shutil.which("dpkg-deb"):
        pytest.skip("no dpkg-deb")
    world.run(["cpack", "-G", "DEB", "--config", f"{world.build_dir}/CPackConfig.cmake", "-B",
               "/tmp/packages"], check=True, timeout=300)
    contents = {}
    for name in ("kxsentrix", "kxsentrix-simulator"):
        package = f"/tmp/packages/{name}_0.1_amd64.deb"
        listing = world.run(["dpkg-deb", "--contents", package], check=True).stdout
        contents[name] = {line.split()[-1][1:] for line in listing.splitlines()
                          if not line.startswith("d")}
        contents[name + " depends"] = world.run(["dpkg-deb", "--field", package, "Depends"],
                                                check=True).stdout
    assert contents["kxsentrix"] == DAEMON_FILES
    assert contents["kxsentrix-simulator"] == SIMULATOR_FILES
    depends = [item.split()[0] for item in contents["kxsentrix depends"].split(", ")]
    assert {"kxsentrix-simulator", "dbus", "libc6", "libdbus-1-3", "libglib2.0-0", "libssl3",
            "libsystemd0"} <= set(depends)


def test_the_example_configuration_is_read_as_it_says(world):
    with open(EXAMPLE) as example:
        world.write_daemon_config(example.read())
    daemon = world.start_daemon().wait_ready()
    assert daemon.records(level=LOG_WARNING) == []
    settings = [record.text for record in daemon.records(level=LOG_DEBUG)][:5]
    assert settings == [
        "Режим расширенного логирования - выключен",
        "Настроенное действие для системы - Блокировка сессии пользователя",
        "Настроенное действие для удаленного подключения - Закрывать удаленное подключение",
        "Режим принудительного совпадения сессий пользователей - выключен",
        "Интервал проверки корректности прав доступа тикетов Kerberos - 1000 ms"]
    assert daemon.stop() == 0


def test_the_service_manager_hears_of_readiness_once_the_slot_loop_runs(world):
    world.write_daemon_config("")
    # Enough tokens that the first scan takes a while: all of them are stored before readiness.
    slots = range(1, 151)
    for slot in slots:
        world.write(f"/run/kxsim/tokens/{slot}", "label = Early\nmodel = Korvex Quill\n")
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
        notify.bind(world.host_path("/run/notify"))
        notify.settimeout(10)
        daemon = world.start_daemon(env={"NOTIFY_SOCKET": "/run/notify"})
        assert notify.recv(4096) == b"READY=1"
        stored = daemon.records(re.compile("^\\[INFO\\] Подключено новое устройство в слоте "))
        assert len(stored) == len(slots)
        daemon.wait_ready()
        notify.settimeout(0.2)
        with pytest.raises(socket.timeout):
            notify.recv(4096)
    assert daemon.stop() == 0
