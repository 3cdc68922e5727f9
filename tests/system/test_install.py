"""What an install puts on a machine, tried inside a world, and the readiness a service manager
hears, and the Debian packages. The installed bus policy is the one the world's bus runs under
(the service tests)."""

import os
import re
import shutil
import socket

import pytest

PREFIX = "/usr/local"  # CMake's default, which the lists below are written for
UNIT = f"{PREFIX}/lib/systemd/system/kxsentrixd.service"
DIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "dist")
POLICY = "/etc/dbus-1/system.d/kx.daemon.server.conf"
SIMULATOR_FILES = {f"{PREFIX}/lib/libkxPKCS11-2.so", f"{PREFIX}/bin/kxsim"}
DAEMON_FILES = {UNIT, POLICY} | {f"{PREFIX}/{path}" for path in (
    "sbin/kxsentrixd", "bin/kxsentrixctl", "share/doc/kxsentrix/examples/kxsentrixd.conf",
    "share/man/man8/kxsentrixd.8.gz", "share/man/man5/kxsentrixd.conf.5.gz",
    "share/man/man1/kxsentrixctl.1.gz")}


@pytest.fixture
def default_prefix(world):
    with open(os.path.join(world.build_dir, "CMakeCache.txt")) as cache:
        if f"CMAKE_INSTALL_PREFIX:PATH={PREFIX}\n" not in cache.read():
            pytest.skip(f"the build installs elsewhere than {PREFIX}")


def test_install_puts_the_product_in_place_and_its_files_check(world, default_prefix):
    world.run(["cmake", "--install", world.build_dir], env={"DESTDIR": "/tmp/stage"}, check=True)
    found = world.run(["find", "/tmp/stage", "-type", "f"], check=True).stdout.split()
    assert {path[len("/tmp/stage"):] for path in found} == DAEMON_FILES | SIMULATOR_FILES

    # Onto the world's machine, as on a real one.
    world.run(["cp", "-a", "/tmp/stage/.", "/"], check=True)
    with open(os.path.join(DIST, "dbus", "kx.daemon.server.conf")) as policy:
        assert world.read(POLICY) == policy.read()
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


def test_debian_packages_hold_what_the_install_puts_in_place(world, default_prefix):
    if not shutil.which("dpkg-deb"):
        pytest.skip("no dpkg-deb")
    world.run(["cpack", "-G", "DEB", "--config", f"{world.build_dir}/CPackConfig.cmake", "-B",
               "/tmp/packages"], check=True, timeout=300)

    def package(name, option, *field):
        return world.run(["dpkg-deb", option, f"/tmp/packages/{name}_0.1_amd64.deb", *field],
                         check=True).stdout

    for name, files in (("kxsentrix", DAEMON_FILES), ("kxsentrix-simulator", SIMULATOR_FILES)):
        assert {line.split()[-1][1:] for line in package(name, "--contents").splitlines()
                if not line.startswith("d")} == files
    depends = [item.split()[0] for item in package("kxsentrix", "--field", "Depends").split(", ")]
    assert {"kxsentrix-simulator", "dbus", "libc6", "libdbus-1-3", "libglib2.0-0", "libssl3",
            "libsystemd0"} <= set(depends)


def test_the_service_manager_hears_of_readiness_once_the_slot_loop_runs(world):
    world.write_daemon_config("")
    # Enough tokens that the first scan takes a while: all of them are stored before readiness.
    for slot in range(1, 151):
        world.write(f"/run/kxsim/tokens/{slot}", "label = Early\nmodel = Korvex Quill\n")
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
        notify.bind(world.host_path("/run/notify"))
        notify.settimeout(10)
        daemon = world.start_daemon(env={"NOTIFY_SOCKET": "/run/notify"})
        assert notify.recv(4096) == b"READY=1"
        assert len(daemon.records(re.compile("^\\[INFO\\] Подключено новое устройство в "))) == 150
        daemon.wait_ready()
        notify.settimeout(0.2)
        with pytest.raises(socket.timeout):
            notify.recv(4096)
    assert daemon.stop() == 0
