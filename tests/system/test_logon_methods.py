"""The logon configuration and domain diagnostics methods of the running kxsentrixd, called as
root through the world's system bus: every answer with its log lines, the files as PAM, SSSD and
the token library then find them, the commands the stubs saw run, and what callers must not be
able to do with their arguments (start a new configuration line, edit files outside
/etc/pam.d, run a command of their own, write through a link planted in /tmp)."""

import os
import re
import subprocess

from world import LOG_DEBUG

NAME = "kx.daemon.server"
LIBRARY_DIRECTORY = "/etc/xdg/HalvardLtd"
LIBRARY_CONFIG = f"{LIBRARY_DIRECTORY}/kxpkcs11.conf"
SSSD_CONFIG = "/etc/sssd/sssd.conf"
AUTH_RESULT = "/tmp/pam_sss_auth_res"

COUNT = "[ERROR] Не верное количество параметров!"
WRONG_ARGUMENTS = "[ERROR] Не верные аргументы!"
WRONG_TYPE = "[ERROR] Не правильный тип аргументов!"
LIBRARY_MISSING = ("[WARNING] Не удалось открыть конфигурационный файл ЕБ, он будет создан "
                   "заново!")
SSSD_FILE = "[ERROR] Не удалось открыть конфигурационный файл sssd"
SSSD_RESTART = "[ERROR] Не удалось перезапустить службу sssd"
FILTER_PRESENT = "[INFO] Токен уже записан в конфигурационном файле sssd!"
SAVED = ("[INFO] Результат авторизации полученный из логов pam_sss, сохранен в "
         "/tmp/pam_sss_auth_res")
NOT_SAVED = "[INFO] Не удалось получить результат авторизации из логов pam_sss"
SERVICE_UP = "[INFO] Установлено соединение с dbus. Запущен интерфейс kx.daemon.server."

INJECTED = "x\nauth sufficient pam_permit.so"
SSSD_HEAD, SSSD_TAIL = "[sssd]\nservices = nss, pam\n\n[pam]\n", "offline_credentials_expiration = 2\n"
SSSD = SSSD_HEAD + SSSD_TAIL
QUILL = "p11_uri = PKCS11:model=Korvex Quill;serial=0042"


def sssd_with(filter_line):
    return f"{SSSD_HEAD}{filter_line}\n{SSSD_TAIL}"


def serving(world):
    daemon = world.start_daemon().wait_ready()
    daemon.wait_for_log(SERVICE_UP)
    return daemon


def answered(world, daemon, method, signature="", args=()):
    """The answer and the handler's own log lines (the server's per-call lines left out)."""
    mark = world.log_mark()
    answer = world.system_bus().call_blocking(NAME, "/", NAME, method, signature, args)
    return answer, [record.text for record in daemon.records(since=mark)
                    if record.level != LOG_DEBUG and not record.text.startswith("[INFO] dbus: ")]


def mount_tmpfs(world, path, size):
    """A small file system of its own at path in the world; before the machine boots, so the
    daemon sees it too."""
    world.mkdir(path)
    subprocess.run(["nsenter", f"--target={world.init_pid}", "--mount", "--", "mount", "-t",
                    "tmpfs", "-o", f"size={size},mode=0755", "tmpfs", path], check=True)


def mode_and_owner(world, path):
    status = world.stat(path)
    return status.st_mode & 0o7777, status.st_uid, status.st_gid


def test_applet_order_of_the_token_library(world):
    daemon = serving(world)
    cases = [
        # (arguments, signature, answer, log lines, file afterwards (None: none))
        (["Forte"], "s", -2, [COUNT], None),
        (["Forte", 1], "si", -2, [WRONG_ARGUMENTS], None),
        ([INJECTED, "1"], "ss", -2, [WRONG_ARGUMENTS], None),
        (["Forte", "1\rAppletOrder = Quill"], "ss", -2, [WRONG_ARGUMENTS], None),
        (["Forte,Quill", "1"], "ss", 0, [LIBRARY_MISSING],
         "AppletOrder = Forte,Quill\nImages = 1\n"),
        (["Quill", "0"], "ss", 0, [], "AppletOrder = Quill\nImages = 0\n"),
    ]
    for args, signature, answer, logged, content in cases:
        assert answered(world, daemon, "setOrderApplets", signature, args) == (answer, logged)
        assert (world.read(LIBRARY_CONFIG) if world.exists(LIBRARY_CONFIG) else None) == content
    # Created for everyone to read and only root to write, whatever the daemon's umask.
    assert mode_and_owner(world, LIBRARY_CONFIG) == (0o644, 0, 0)
    assert mode_and_owner(world, LIBRARY_DIRECTORY) == (0o755, 0, 0)

    # Too large to be read whole: neither cut short nor replaced by the two lines.
    world.write(LIBRARY_CONFIG, "# Images\n" * 120000)
    assert answered(world, daemon, "setOrderApplets", "ss", ["Forte", "1"]) == (
        -1, ["[ERROR] Не создать конфигурационный файл ЕБ!"])
    assert world.read(LIBRARY_CONFIG) == "# Images\n" * 120000

    world.remove(LIBRARY_DIRECTORY)
    world.write(LIBRARY_DIRECTORY, "a file where the directory belongs\n")
    assert answered(world, daemon, "setOrderApplets", "ss", ["Forte", "1"]) == (
        -3, [LIBRARY_MISSING, "[ERROR] Не смог создать /etc/xdg/HalvardLtd!"])
    assert world.read(LIBRARY_DIRECTORY) == "a file where the directory belongs\n"
    assert daemon.stop() == 0


def test_applet_of_a_pam_file_and_only_of_one(world):
    world.add_user("ivanov", 60001)
    pam = "auth required pam_kx.so applet=Quill\nauth optional pam_kx.so applet\n"
    world.write("/etc/pam.d/system-auth-ac", pam, mode=0o640, owner="ivanov")
    world.symlink("system-auth-ac", "/etc/pam.d/system-auth")
    outside = "password required pam_kx.so applet=Quill\n"
    world.write("/etc/kx-outside", outside)
    world.symlink("/etc/kx-outside", "/etc/pam.d/kx-leaving")
    world.mkdir("/etc/pam.d/kx-directory")
    world.write("/etc/pam.d/kx-large", "# applet\n" * 120000)
    daemon = serving(world)

    cases = [
        # (arguments, signature, answer, log lines)
        (["/etc/pam.d/system-auth"], "s", -2, [COUNT]),
        (["/etc/pam.d/system-auth", 7], "si", -2, [WRONG_ARGUMENTS]),
        (["/etc/pam.d/system-auth", INJECTED], "ss", -2, [WRONG_ARGUMENTS]),
        (["/etc/kx-outside", "Forte"], "ss", -2, [WRONG_ARGUMENTS]),
        (["/etc/pam.d/../kx-outside", "Forte"], "ss", -2, [WRONG_ARGUMENTS]),
        (["/etc/pam.d/kx-leaving", "Forte"], "ss", -2, [WRONG_ARGUMENTS]),
        (["etc/pam.d/system-auth", "Forte"], "ss", -2, [WRONG_ARGUMENTS]),  # relative
        (["/etc/pam.d/kx-missing", "Forte"], "ss", -2, [WRONG_ARGUMENTS]),
        (["/etc/pam.d/kx-directory", "Forte"], "ss", -2, [WRONG_ARGUMENTS]),
        (["/etc/pam.d/kx-large", "Forte"], "ss", -1,
         ["[ERROR] Не удалось открыть файл /etc/pam.d/kx-large"]),
    ]
    for args, signature, answer, logged in cases:
        assert answered(world, daemon, "setAppletInPamConf", signature, args) == (
            answer, logged), args
    assert world.read("/etc/pam.d/system-auth-ac") == pam
    assert world.read("/etc/kx-outside") == outside

    assert answered(world, daemon, "setAppletInPamConf", "ss",
                    ["/etc/pam.d/system-auth", "Forte"]) == (0, [])
    assert world.read("/etc/pam.d/system-auth-ac") == (
        "auth required pam_kx.so applet=Forte\nauth optional pam_kx.so applet=Forte\n")
    # The link stays a link; the file keeps its mode and owner.
    assert os.readlink(world.host_path("/etc/pam.d/system-auth", follow=False)) == (
        "system-auth-ac")
    assert mode_and_owner(world, "/etc/pam.d/system-auth-ac") == (0o640, 60001, 60001)
    assert daemon.stop() == 0


def test_token_filter_of_sssd(world):
    world.stub("systemctl")
    daemon = serving(world)

    def sssd(method, signature="", args=()):
        restarts = len(world.stub_calls("systemctl"))
        answer = answered(world, daemon, method, signature, args)
        made = world.stub_calls("systemctl")[restarts:]
        assert made in ([], [["restart", "sssd"]]), made
        return (*answer, bool(made))

    def set_filter(*args, signature="ss"):
        return ("setTokenFilteringOptionsInSssdConf", signature, list(args))

    set_quill = set_filter("Korvex Quill", "0042")
    reset = ("resetTokenFilteringOptionsInSssdConf",)
    assert sssd(*set_quill) == (-1, [SSSD_FILE], False)
    assert sssd(*reset) == (-1, [SSSD_FILE], False)

    world.write(SSSD_CONFIG, SSSD, mode=0o600)  # SSSD insists on 0600
    cases = [
        # (call, stub status, answer, log lines, restarted, file afterwards)
        (set_filter("Korvex Quill", signature="s"), 0, -2, [COUNT], False, SSSD),
        (set_filter("Korvex Quill", 42, signature="si"), 0, -2, [WRONG_TYPE], False, SSSD),
        (set_filter(INJECTED, "0042"), 0, -2, [WRONG_TYPE], False, SSSD),
        (set_filter("Korvex Quill", "0042\n[nss]"), 0, -2, [WRONG_TYPE], False, SSSD),
        (set_quill, 0, 0, [], True, sssd_with(QUILL)),
        (set_quill, 0, 0, [FILTER_PRESENT], False, sssd_with(QUILL)),
        (set_filter("Korvex Forte", "0077"), 0, 0, [], True,
         sssd_with("p11_uri = PKCS11:model=Korvex Forte;serial=0077")),
        # A failed restart leaves the edited file in place.
        (set_quill, 1, -1, [SSSD_RESTART], True, sssd_with(QUILL)),
        (reset, 1, -1, [SSSD_RESTART], True, SSSD),
        (reset + ("s", ["ignored"]), 0, 0, [], True, SSSD),
    ]
    for method_call, status, answer, logged, restarted, content in cases:
        world.stub("systemctl", status=status)
        assert sssd(*method_call) == (answer, logged, restarted), method_call
        assert world.read(SSSD_CONFIG) == content, method_call
    assert mode_and_owner(world, SSSD_CONFIG) == (0o600, 0, 0)
    assert daemon.stop() == 0


def test_a_failed_write_leaves_every_file_as_it_was(world):
    # Each original fills most of a file system too small for a second copy, so the new
    # content is cut off half-way.
    filler = "".join(f"# line {number:05} of an administrator's long comment\n"
                     for number in range(360))
    originals = {
        SSSD_CONFIG: sssd_with(QUILL) + filler,
        "/etc/pam.d/system-auth-ac": "auth required pam_kx.so applet=Quill\n" + filler,
        LIBRARY_CONFIG: "AppletOrder = Quill\n" + filler,
    }
    for path in originals:
        mount_tmpfs(world, os.path.dirname(path), "32k")
    for path, content in originals.items():
        world.write(path, content, mode=0o600)
    world.symlink("system-auth-ac", "/etc/pam.d/system-auth")
    world.stub("systemctl")
    daemon = serving(world)

    cases = [
        ("setTokenFilteringOptionsInSssdConf", "ss", ["Korvex Forte", "0077"], SSSD_FILE),
        ("resetTokenFilteringOptionsInSssdConf", "", [], SSSD_FILE),
        ("setAppletInPamConf", "ss", ["/etc/pam.d/system-auth", "Forte"],
         "[ERROR] Не удалось создать файл /etc/pam.d/system-auth"),
        ("setOrderApplets", "ss", ["Forte", "1"], "[ERROR] Не создать конфигурационный файл ЕБ!"),
    ]
    for method, signature, args, logged in cases:
        assert answered(world, daemon, method, signature, args) == (-1, [logged]), method
    for path, content in originals.items():
        assert world.read_bytes(path) == content.encode(), path
        assert mode_and_owner(world, path) == (0o600, 0, 0)
    assert world.listdir("/etc/sssd") == ["sssd.conf"]  # no temporary file left
    assert world.listdir("/etc/pam.d") == ["system-auth", "system-auth-ac"]
    assert os.path.islink(world.host_path("/etc/pam.d/system-auth", follow=False))
    assert world.stub_calls("systemctl") == []
    assert daemon.stop() == 0


def test_domain_check_runs_adcli_with_the_domain_as_one_argument(world):
    world.stub("adcli")
    # Without the sbin directories, where an adcli of the host's would stand in for a missing one.
    daemon = world.start_daemon(env={"PATH": "/run/kxworld/bin:/usr/bin:/bin"}).wait_ready()
    daemon.wait_for_log(SERVICE_UP)

    def checked(domain, code):
        return f"[INFO] Выполнена проверки домена {domain}. Код возврата: {code}"

    cases = [
        # (arguments, signature, stub status, answer, log lines)
        ([], "", 0, -2, [COUNT]),
        (["a", "b"], "ss", 0, -2, [COUNT]),
        ([1], "i", 0, -2, [WRONG_TYPE]),
        (["corp.example"], "s", 0, 0, [checked("corp.example", 0)]),
        (["unreachable.example"], "s", 5, 5, [checked("unreachable.example", 5)]),
        (["x; touch /tmp/pwned"], "s", 0, 0, [checked("x; touch /tmp/pwned", 0)]),
        (["$(id)"], "s", 0, 0, [checked("$(id)", 0)]),
        (["'"], "s", 0, 0, [checked("'", 0)]),
        (["a\nb"], "s", 0, 0, [checked("a\\x0ab", 0)]),
    ]
    for args, signature, status, answer, logged in cases:
        world.stub("adcli", status=status)
        assert answered(world, daemon, "domainAccesssCheck", signature, args) == (
            answer, logged), args
    assert world.stub_calls("adcli") == [["info", args[0]] for args, _, _, answer, _ in cases
                                          if answer >= 0]
    assert not world.exists("/tmp/pwned")

    world.remove("/run/kxworld/bin/adcli")
    world.write("/run/kxworld/bin/adcli", "#!/bin/sh\nkill -KILL $$\n", mode=0o755)
    assert answered(world, daemon, "domainAccesssCheck", "s", ["corp.example"]) == (
        -1, ["[INFO] Не удалось выполнить проверку домена corp.example"])
    world.remove("/run/kxworld/bin/adcli")
    assert answered(world, daemon, "domainAccesssCheck", "s", ["corp.example"]) == (
        127, [checked("corp.example", 127)])
    assert daemon.stop() == 0


def test_auth_results_from_the_journal(world):
    journal = ("Jan 10 10:00:01 host sshd[12]: pam_sss(sshd:auth): authentication success\n"
               "Jan 10 10:00:01 host sshd[12]: pam_sss(sshd:auth): received for user ivanov: "
               "0 (Success)\n"
               "Jan 10 10:05:00 host login[40]: pam_sss(login:auth): received for user petrov: "
               "7 (Authentication failure)")
    kept = ("received for user ivanov: 0 (Success)\n"
            "received for user petrov: 7 (Authentication failure)\n")
    since, until = "2024-01-10 10:00:00'; touch /tmp/pwned; '", "2024-01-10 11:00:00\" $(id)"
    world.write("/etc/kx-target", "keep\n")
    daemon = serving(world)
    cases = [
        # (planted at the result path, journal output, arguments, signature, answer, log
        #  lines, result file afterwards)
        (None, journal, [since], "s", -2, [COUNT], None),
        (None, journal, [since, until, "x"], "sss", -2, [COUNT], None),
        (None, journal, [since, 5], "si", -2, [WRONG_TYPE], None),
        (None, "nothing of interest\n", [since, until], "ss", -1, [NOT_SAVED], ""),
        ("file", journal, [since, until], "ss", 0, [SAVED], kept),
        ("link", journal, [since, until], "ss", 0, [SAVED], kept),
        ("fifo", journal, [since, until], "ss", 0, [SAVED], kept),
        ("directory", journal, [since, until], "ss", -1, [NOT_SAVED], None),
    ]
    for planted, output, args, signature, answer, logged, content in cases:
        world.remove(AUTH_RESULT)
        if planted == "file":
            world.write(AUTH_RESULT, "stale results\n" * 10, mode=0o666)
        elif planted == "link":
            world.symlink("/etc/kx-target", AUTH_RESULT)
        elif planted == "fifo":
            os.mkfifo(world.host_path(AUTH_RESULT))
        elif planted == "directory":
            world.mkdir(AUTH_RESULT, mode=0o777)
        world.stub("journalctl", stdout=output)
        calls = len(world.stub_calls("journalctl"))
        assert answered(world, daemon, "saveAuthResultFromPamSssLog", signature, args) == (
            answer, logged), planted
        assert world.stub_calls("journalctl")[calls:] == (
            [["--since", since, "--until", until]] if content is not None else []), planted
        if content is not None:
            assert not os.path.islink(world.host_path(AUTH_RESULT, follow=False))
            assert world.read(AUTH_RESULT) == content, planted
            assert mode_and_owner(world, AUTH_RESULT) == (0o644, 0, 0)
    assert world.read("/etc/kx-target") == "keep\n"
    assert not world.exists("/tmp/pwned")
    assert daemon.stop() == 0


POLICY_CLIENT = """
import os, dbus
os.setgid(60001)
os.setuid(60001)
bus = dbus.SystemBus()
for method, signature, args in [
        ("setOrderApplets", "ss", ["Forte", "1"]),
        ("setAppletInPamConf", "ss", ["/etc/pam.d/system-auth", "Forte"]),
        ("setTokenFilteringOptionsInSssdConf", "ss", ["Korvex Quill", "0042"]),
        ("resetTokenFilteringOptionsInSssdConf", "", []),
        ("domainAccesssCheck", "s", ["corp.example"]),
        ("saveAuthResultFromPamSssLog", "ss", ["yesterday", "today"])]:
    try:
        bus.call_blocking("kx.daemon.server", "/", "kx.daemon.server", method, signature, args)
        print(method, "answered")
    except dbus.exceptions.DBusException as error:
        print(method, error.get_dbus_name().rsplit(".", 1)[-1])
"""


def test_only_root_may_call_the_methods_that_change_the_system(world):
    world.add_user("ivanov", 60001)
    daemon = serving(world)
    result = world.run(["/usr/bin/python3", "-c", POLICY_CLIENT], check=True)
    assert [line.split()[1] for line in result.stdout.splitlines()] == ["AccessDenied"] * 6
    assert not daemon.records(re.compile("dbus: Вызов метода"))
    assert daemon.stop() == 0
