"""What an install puts on a machine, tried inside a world, the Debian packages, and the
readiness a service manager hears. The installed bus policy is the one the world's bus runs
under (the service tests)."""

import os
import re
import shutil
import socket
import subprocess

import pytest

PREFIX = "/usr/local"  # CMake's default, which the lists below are written for
UNIT = f"{PREFIX}/lib/systemd/system/kxsentrixd.service"
SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DIST = os.path.join(SOURCE, "dist")
POLICY = "/etc/dbus-1/system.d/kx.daemon.server.conf"
SIMULATOR_FILES = {f"{PREFIX}/lib/libkxPKCS11-2.so", f"{PREFIX}/bin/kxsim",
                   f"{PREFIX}/share/man/man1/kxsim.1.gz"}
DAEMON_FILES = {UNIT, POLICY} | {f"{PREFIX}/{path}" for path in (
    "sbin/kxsentrixd", "bin/kxsentrixctl", "share/doc/kxsentrix/examples/kxsentrixd.conf",
    "share/man/man8/kxsentrixd.8.gz", "share/man/man5/kxsentrixd.conf.5.gz",
    "share/man/man1/kxsentrixctl.1.gz")}

# What each Debian package holds (built with prefix /usr, whatever the build directory's).
DOCS = ("/usr/share/doc/{}/copyright", "/usr/share/doc/{}/changelog.gz",
        "/usr/share/lintian/overrides/{}")
PACKAGES = {
    "kxsentrix": {"/usr/sbin/kxsentrixd", "/usr/bin/kxsentrixctl",
                  "/lib/systemd/system/kxsentrixd.service",
                  "/usr/share/dbus-1/system.d/kx.daemon.server.conf",
                  "/usr/share/doc/kxsentrix/examples/kxsentrixd.conf",
                  "/usr/share/man/man8/kxsentrixd.8.gz", "/usr/share/man/man5/kxsentrixd.conf.5.gz",
                  "/usr/share/man/man1/kxsentrixctl.1.gz"} | {
        path.format("kxsentrix") for path in DOCS},
    "kxsentrix-simulator": {"/usr/lib/{multiarch}/libkxPKCS11-2.so", "/usr/bin/kxsim",
                            "/usr/share/man/man1/kxsim.1.gz"} | {
        path.format("kxsentrix-simulator") for path in DOCS},
}


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
    # The installed programs find the installed token library.
    assert world.run([f"{PREFIX}/bin/kxsentrixctl", "--version"]).stdout == "0.1\n"
    world.kxsim("insert", "5", "--label", "Installed", "--model", "Korvex Quill")
    assert "Installed" in world.run([f"{PREFIX}/bin/kxsentrixctl", "pin-status"]).stdout


def test_debian_packages_build_out_of_tree_and_pass_lintian(world):
    with open(os.path.join(world.build_dir, "CMakeCache.txt")) as cache:
        if re.search(r"^(KX_SANITIZE:STRING=(ON|thread)|KX_COVERAGE:BOOL=ON)$", cache.read(),
                     re.MULTILINE):
            pytest.skip("the packages are built from the sources: once, in the plain build")
    git_status = ["git", "-C", SOURCE, "status", "--porcelain"]
    before = subprocess.run(git_status, capture_output=True, check=True).stdout
    built = world.run([f"{SOURCE}/scripts/build-debs", "/tmp/debs"], timeout=1200)
    assert built.returncode == 0, built.stderr
    assert subprocess.run(git_status, capture_output=True, check=True).stdout == before

    arch = world.run(["dpkg", "--print-architecture"], check=True).stdout.strip()
    multiarch = world.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], check=True).stdout.strip()
    debs = {name: f"/tmp/debs/{name}_0.1_{arch}.deb" for name in PACKAGES}
    assert sorted(built.stdout.split()) == sorted(debs.values())
    # Among others, lintian checks the library's shlibs and ldconfig trigger, that the programs
    # need no search path to find it, and that man renders every manual page without a warning.
    linted = world.run(["lintian", "--fail-on", "error,warning", *debs.values()], timeout=300)
    assert (linted.returncode, linted.stdout) == (0, ""), linted.stdout

    for name, files in PACKAGES.items():
        listed = world.run(["dpkg-deb", "--contents", debs[name]], check=True).stdout
        assert {line.split()[-1][1:] for line in listed.splitlines() if line[0] != "d"} == {
            path.format(multiarch=multiarch) for path in files}
    depends = world.run(["dpkg-deb", "--field", debs["kxsentrix"], "Depends"], check=True).stdout
    assert {"kxsentrix-simulator", "libc6", "libdbus-1-3", "libglib2.0-0", "libssl3",
            "libsystemd0", "default-dbus-system-bus", "procps"} <= {
        item.split()[0] for item in depends.replace("|", ",").split(",")}


def test_the_service_manager_hears_of_readiness_once_the_slot_loop_runs(world):
    world.write_daemon_config("")
    # Enough tokens that the first scan takes a while: all of them are stored before readiness.
    for slot in range(1, 151):
        world.write(f"/run/kxsim/tokens/{slot}", "label = Early\nmodel = Korvex Quill\n")
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
        notify.bind(world.host_path("/run/notify"))
        notify.settimeout(10)
        daemon = world.start_daemon(env={"NOTIFY_SOCKET": "/run/notify"})
        assert notify.recv(4096).decode() == (
            "READY=1\nSTATUS=Единая библиотека инициализирована; токенов: 150; конфигурация не "
            "принята, действуют прежние настройки")  # an empty file sets nothing
        assert len(daemon.records(re.compile("^\\[INFO\\] Подключено новое устройство в "))) == 150
        daemon.wait_ready()
        notify.settimeout(0.2)
        with pytest.raises(socket.timeout):
            notify.recv(4096)
    assert daemon.stop() == 0
