"""What an install puts on a machine, tried inside a world, and the Debian packages. The installed
bus policy is the one the world's bus runs under (the service tests)."""

import os
import re
import shutil
import subprocess

import pytest
from container import project_packages
from world import SOURCE_DIR, build_dir

PREFIX = "/usr/local"  # CMake's default, which the lists below are written for
UNIT = f"{PREFIX}/lib/systemd/system/kxsentrixd.service"
POLICY = "/etc/dbus-1/system.d/kx.daemon.server.conf"
SIMULATOR_FILES = {f"{PREFIX}/lib/libkxPKCS11-2.so", f"{PREFIX}/bin/kxsim",
                   f"{PREFIX}/share/man/man1/kxsim.1.gz"}
DAEMON_FILES = {UNIT, POLICY} | {f"{PREFIX}/{path}" for path in (
    "sbin/kxsentrixd", "bin/kxsentrixctl", "share/doc/kxsentrix/examples/kxsentrixd.conf",
    "share/bash-completion/completions/kxsentrixctl", "share/man/man8/kxsentrixd.8.gz",
    "share/man/man5/kxsentrixd.conf.5.gz", "share/man/man1/kxsentrixctl.1.gz")}

# What each Debian package holds (built with prefix /usr, whatever the build directory's).
DOCS = ("/usr/share/doc/{}/copyright", "/usr/share/doc/{}/changelog.gz",
        "/usr/share/lintian/overrides/{}")
PACKAGES = {
    "kxsentrix": {"/usr/sbin/kxsentrixd", "/usr/bin/kxsentrixctl",
                  "/lib/systemd/system/kxsentrixd.service",
                  "/usr/share/dbus-1/system.d/kx.daemon.server.conf",
                  "/usr/share/doc/kxsentrix/examples/kxsentrixd.conf",
                  "/usr/share/doc/kxsentrix/README.Debian",
                  "/usr/share/bash-completion/completions/kxsentrixctl",
                  "/usr/share/man/man8/kxsentrixd.8.gz", "/usr/share/man/man5/kxsentrixd.conf.5.gz",
                  "/usr/share/man/man1/kxsentrixctl.1.gz"} | {
        path.format("kxsentrix") for path in DOCS},
    "kxsentrix-simulator": {"/usr/lib/{multiarch}/libkxPKCS11-2.so", "/usr/bin/kxsim",
                            "/usr/share/man/man1/kxsim.1.gz"} | {
        path.format("kxsentrix-simulator") for path in DOCS},
}


def cache():
    with open(os.path.join(build_dir(), "CMakeCache.txt")) as file:
        return file.read()


def output(*argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout


def test_install_puts_the_product_in_place_and_its_files_check(world):
    if f"CMAKE_INSTALL_PREFIX:PATH={PREFIX}\n" not in cache():
        pytest.skip(f"the build installs elsewhere than {PREFIX}")
    world.run(["cmake", "--install", world.build_dir], env={"DESTDIR": "/tmp/stage"}, check=True)
    found = world.run(["find", "/tmp/stage", "-type", "f"], check=True).stdout.split()
    assert {path[len("/tmp/stage"):] for path in found} == DAEMON_FILES | SIMULATOR_FILES

    # Onto the world's machine, as on a real one.
    world.run(["cp", "-a", "/tmp/stage/.", "/"], check=True)
    with open(os.path.join(SOURCE_DIR, "dist", "dbus", "kx.daemon.server.conf")) as policy:
        assert world.read(POLICY) == policy.read()
    unit = world.read(UNIT)
    assert "\nExecStart=/usr/local/sbin/kxsentrixd\n" in unit
    assert "\nConditionPathExists=/usr/local/etc/kxsentrix/kxsentrixd.conf\n" in unit
    if shutil.which("systemd-analyze"):
        verified = world.run(["systemd-analyze", "verify", UNIT])
        assert (verified.returncode, verified.stderr) == (0, ""), verified.stderr
    # The installed programs find the installed token library, and each tells its version.
    for program in "sbin/kxsentrixd", "bin/kxsentrixctl", "bin/kxsim":
        assert world.run([f"{PREFIX}/{program}", "--version"]).stdout == \
            f"{os.path.basename(program)} 0.1\n"
    # The example is sound as the daemon reads it; kxsentrixctl's commands complete in bash.
    checked = world.run([f"{PREFIX}/bin/kxsentrixctl", "check-config",
                         f"{PREFIX}/share/doc/kxsentrix/examples/kxsentrixd.conf"])
    assert (checked.returncode, checked.stdout.split("\n")[0].rpartition(": ")[2]) == (
        0, "sound"), checked.stdout
    completed = world.run(["bash", "-c", f". {PREFIX}/share/bash-completion/completions/"
                           "kxsentrixctl; COMP_WORDS=(kxsentrixctl check-c); COMP_CWORD=1; "
                           "_kxsentrixctl; echo ${COMPREPLY[@]}"])
    assert completed.stdout == "check-config\n"
    world.kxsim("insert", "5", "--label", "Installed", "--model", "Korvex Quill")
    assert "Installed" in world.run([f"{PREFIX}/bin/kxsentrixctl", "pin-status"]).stdout


def test_debian_packages_build_out_of_tree_and_pass_lintian():
    if re.search(r"^(KX_SANITIZE:STRING=(ON|thread)|KX_COVERAGE:BOOL=ON)$", cache(), re.MULTILINE):
        pytest.skip("the packages are built from the sources: once, in the plain build")
    # Made once per run, by the CTest fixture "packages"; the end-to-end test installs them.
    built = project_packages(os.path.join(build_dir(), "debs"))
    out = os.path.dirname(built[0])
    with open(os.path.join(out, "source-status")) as before:  # the tree's, when they were built
        assert output("git", "-C", SOURCE_DIR, "status", "--porcelain") == before.read()

    arch = output("dpkg", "--print-architecture").strip()
    multiarch = output("dpkg-architecture", "-qDEB_HOST_MULTIARCH").strip()
    debs = {name: f"{out}/{name}_0.1_{arch}.deb" for name in PACKAGES}
    assert built == sorted(debs.values())
    # Among others, lintian checks the library's shlibs and ldconfig trigger, that the programs
    # need no search path to find it, and that man renders every manual page without a warning.
    linted = subprocess.run(["lintian", "--fail-on", "error,warning", *debs.values()],
                            capture_output=True, text=True, timeout=300)
    assert (linted.returncode, linted.stdout) == (0, ""), linted.stdout

    for name, files in PACKAGES.items():
        listed = output("dpkg-deb", "--contents", debs[name])
        assert {line.split()[-1][1:] for line in listed.splitlines() if line[0] != "d"} == {
            path.format(multiarch=multiarch) for path in files}
    depends = output("dpkg-deb", "--field", debs["kxsentrix"], "Depends")
    assert {"kxsentrix-simulator", "libc6", "libdbus-1-3", "libglib2.0-0", "libssl3",
            "libsystemd0", "default-dbus-system-bus", "procps"} <= {
        item.split()[0] for item in depends.replace("|", ",").split(",")}
