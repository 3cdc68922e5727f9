"""The logon configuration and domain diagnostics methods of the running kxsentrixd, called as
root through the world's system bus: every answer with its log lines, the files as PAM, SSSD and
the token library then find them, the commands the stubs saw run, and what callers must not be
able to do with their arguments (start a new configuration line, edit files outside
/etc/pam.d, run a command of their own, write through a link planted in /tmp). That the bus
refuses these methods to users is checked through kxsentrixctl (test_kxsentrixctl.py)."""

import os
import subprocess

from system_helpers import NAME, serving
from world import LOG_DEBUG

LIBRARY_DIRECTORY = "/etc/xdg/HalvardLtd"
LIBRARY_CONFIG = f"{LIBRARY_DIRECTORY}/kxpkcs11.conf"
SSSD_CONFIG = "/etc/sssd/sssd.conf"
AUTH_RESULT = "/tmp/pam_sss_auth_res"

COUNT = "[ERROR] Не верное количество параметров!"
WRONG_ARGUMENTS = "[ERROR] Не верные аргументы!"
WRONG_TYPE = "[ERROR] Не правильный тип аргументов!"
LIBRARY_MISSING = ("[WARNING] Не удалось открыть конфигурационный файл ЕБ, он будет создан "
                   "заново!")
LIBRARY_FAILED = "[ERROR] Не создать конфигурационный файл ЕБ!"
SSSD_FILE = "[ERROR] Не удалось открыть конфигурационный файл sssd"
SSSD_RESTART = "[ERROR] Не удалось перезапустить службу sssd"
NOT_SAVED = "[INFO] Не удалось получить результат авторизации из логов pam_sss"

INJECTED = "x\nauth sufficient pam_permit.so"
SSSD_HEAD, SSSD_TAIL = "[sssd]\nservices = nss, pam\n\n[pam]\n", "offline_credentials_expiration = 2\n"
SSSD = SSSD_HEAD + SSSD_TAIL
QUILL = "p11_uri = PKCS11:model=Korvex Quill;serial=0042"


def sssd_with(filter_line):
    return f"{SSSD_HEAD}{filter_line}\n{SSSD_TAIL}"


def answered(world, daemon, method, signature="", args=()):
    """The answer and the handler's own log lines (the server's per-call lines left out)."""
    mark = world.log_mark()
    answer = world.system_bus().call_blocking(NAME, "/", NAME, method, signature, args)
    return answer, [record.text for record in daemon.records(since=mark)
                    if record.level != LOG_DEBUG and not record.text.startswith("[INFO] dbus: ")]


def content(world, path):
    return world.read(path) if world.exists(path) else None


def mode_and_owner(world, path):
    status = world.stat(path)
    return status.st_mode & 0o7777, status.st_uid, status.st_gid


def test_applet_order_of_the_token_library(world):
    daemon = serving(world, None)
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
    for args, signature, answer, logged, after in cases:
        assert answered(world, daemon, "setOrderApplets", signature, args) == (answer, logged)
        assert content(world, LIBRARY_CONFIG) == after
    # Created for everyone to read and only root to write, whatever the daemon's umask.
    assert mode_and_owner(world, LIBRARY_CONFIG) == (0o644, 0, 0)
    assert mode_and_owner(world, LIBRARY_DIRECTORY) == (0o755, 0, 0)

    # Too large to be read whole: neither cut short nor replaced by the two lines.
    world.write(LIBRARY_CONFIG, "# Images\n" * 120000)
    assert answered(world, daemon, "setOrderApplets", "ss", ["Forte", "1"]) == (
        -1, [LIBRARY_FAILED])
    assert world.read(LIBRARY_CONFIG) == "# Images\n" * 120000

    world.remove(LIBRARY_DIRECTORY)
    world.write(LIBRARY_DIRECTORY, "a file\n")
    assert answered(world, daemon, "setOrderApplets", "ss", ["Forte", "1"]) == (
        -3, [LIBRARY_MISSING, "[ERROR] Не смог создать /etc/xdg/HalvardLtd!"])
    assert world.read(LIBRARY_DIRECTORY) == "a file\n"


def test_applet_of_a_pam_file_and_only_of_one(world):
    world.add_user("ivanov", 60001)
    pam = "auth required pam_kx.so applet=Quill\nauth optional pam_kx.so applet\n"
    world.write("/etc/pam.d/system-auth-ac", pam, mode=0o640, owner="ivanov")
    world.symlink("system-auth-ac", "/etc/pam.d/system-auth")
    world.write("/etc/kx-outside", "password required pam_kx.so applet=Quill\n")
    world.symlink("/etc/kx-outside", "/etc/pam.d/kx-leaving")
    world.mkdir("/etc/pam.d/kx-directory")
    world.write("/etc/pam.d/kx-large", "# applet\n" * 120000)
    daemon = serving(world, None)
    cases = [
        # (arguments, signature, answer, log lines)
        (["/etc/pam.d/system-auth"], "s", -2, [COUNT]),
        (["/etc/pam.d/system-auth", 7], "si", -2, [WRONG_ARGUMENTS]),
        (["/etc/pam.d/system-auth", INJECTED], "ss", -2, [WRONG_ARGUMENTS]),
        *[([path, "Forte"], "ss", -2, [WRONG_ARGUMENTS]) for path in [
            "/etc/kx-outside", "/etc/pam.d/../kx-outside", "/etc/pam.d/kx-leaving",
            "etc/pam.d/system-auth", "/etc/pam.d/kx-missing", "/etc/pam.d/kx-directory"]],
        (["/etc/pam.d/kx-large", "Forte"], "ss", -1,
         ["[ERROR] Не удалось открыть файл /etc/pam.d/kx-large"]),
    ]
    for args, signature, answer, logged in cases:
        assert answered(world, daemon, "setAppletInPamConf", signature, args) == (
            answer, logged), args
    assert world.read("/etc/pam.d/system-auth-ac") == pam
    assert world.read("/etc/kx-outside") == "password required pam_kx.so applet=Quill\n"

    assert answered(world, daemon, "setAppletInPamConf", "ss",
                    ["/etc/pam.d/system-auth", "Forte"]) == (0, [])
    assert world.read("/etc/pam.d/system-auth-ac") == (
        "auth required pam_kx.so applet=Forte\nauth optional pam_kx.so applet=Forte\n")
    # The link stays a link; the file keeps its mode and owner.
    assert os.readlink(world.host_path("/etc/pam.d/system-auth", follow=False)) == (
        "system-auth-ac")
    assert mode_and_owner(world, "/etc/pam.d/system-auth-ac") == (0o640, 60001, 60001)


def test_token_filter_of_sssd(world):
    world.stub("systemctl")
    daemon = serving(world, None)
    set_quill = ("setTokenFilteringOptionsInSssdConf", "ss", ["Korvex Quill", "0042"])
    reset = ("resetTokenFilteringOptionsInSssdConf", "", [])
    for method_call in (set_quill, reset):
        assert answered(world, daemon, *method_call) == (-1, [SSSD_FILE])
    assert world.stub_calls("systemctl") == []
    world.write(SSSD_CONFIG, SSSD, mode=0o600)  # SSSD insists on 0600
    cases = [
        # (call, systemctl's status, answer, log lines, restarted, file afterwards)
        (set_quill[:1] + ("s", ["Korvex Quill"]), 0, -2, [COUNT], False, SSSD),
        (set_quill[:1] + ("si", ["Korvex Quill", 42]), 0, -2, [WRONG_TYPE], False, SSSD),
        (set_quill[:2] + ([INJECTED, "0042"],), 0, -2, [WRONG_TYPE], False, SSSD),
        (set_quill[:2] + (["Korvex Quill", "0042\n[nss]"],), 0, -2, [WRONG_TYPE], False, SSSD),
        (set_quill, 0, 0, [], True, sssd_with(QUILL)),
        (set_quill, 0, 0, ["[INFO] Токен уже записан в конфигурационном файле sssd!"], False,
         sssd_with(QUILL)),
        (set_quill[:2] + (["Korvex Forte", "0077"],), 0, 0, [], True,
         sssd_with("p11_uri = PKCS11:model=Korvex Forte;serial=0077")),
        # A failed restart leaves the edited file in place.
        (set_quill, 1, -1, [SSSD_RESTART], True, sssd_with(QUILL)),
        (reset, 1, -1, [SSSD_RESTART], True, SSSD),
        (reset[:1] + ("s", ["ignored"]), 0, 0, [], True, SSSD),
    ]
    for method_call, status, answer, logged, restarted, after in cases:
        world.stub("systemctl", status=status)
        restarts = len(world.stub_calls("systemctl"))
        assert answered(world, daemon, *method_call) == (answer, logged), method_call
        assert world.stub_calls("systemctl")[restarts:] == (
            [["restart", "sssd"]] if restarted else []), method_call
        assert world.read(SSSD_CONFIG) == after, method_call
    assert mode_and_owner(world, SSSD_CONFIG) == (0o600, 0, 0)


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
    for path, text in originals.items():
        # A small file system of its own, mounted before the machine boots so the daemon sees it.
        world.mkdir(os.path.dirname(path))
        subprocess.run(["nsenter", f"--target={world.init_pid}", "--mount", "--", "mount", "-t",
                        "tmpfs", "-o", "size=32k,mode=0755", "tmpfs", os.path.dirname(path)],
                       check=True)
        world.write(path, text, mode=0o600)
    world.symlink("system-auth-ac", "/etc/pam.d/system-auth")
    world.stub("systemctl")
    daemon = serving(world, None)

    cases = [
        ("setTokenFilteringOptionsInSssdConf", "ss", ["Korvex Forte", "0077"], SSSD_FILE),
        ("resetTokenFilteringOptionsInSssdConf", "", [], SSSD_FILE),
        ("setAppletInPamConf", "ss", ["/etc/pam.d/system-auth", "Forte"],
         "[ERROR] Не удалось создать файл /etc/pam.d/system-auth"),
        ("setOrderApplets", "ss", ["Forte", "1"], LIBRARY_FAILED),
    ]
    for method, signature, args, logged in cases:
        assert answered(world, daemon, method, signature, args) == (-1, [logged]), method
    for path, text in originals.items():
        assert world.read_bytes(path) == text.encode(), path
        assert mode_and_owner(world, path) == (0o600, 0, 0)
    assert world.listdir("/etc/sssd") == ["sssd.conf"]  # no temporary file left
    assert world.listdir("/etc/pam.d") == ["system-auth", "system-auth-ac"]
    assert os.path.islink(world.host_path("/etc/pam.d/system-auth", follow=False))
    assert world.stub_calls("systemctl") == []


def test_domain_check_runs_adcli_with_the_domain_as_one_argument(world):
    world.stub("adcli")
    # Without the sbin directories, where an adcli of the host's would stand in for a missing one.
    daemon = serving(world, None, env={"PATH": "/run/kxworld/bin:/usr/bin:/bin"})

    def checked(domain, code):
        return f"[INFO] Выполнена проверки домена {domain}. Код возврата: {code}"

    cases = [
        # (arguments, signature, adcli's status, answer, log lines)
        ([], "", 0, -2, [COUNT]),
        (["a", "b"], "ss", 0, -2, [COUNT]),
        ([1], "i", 0, -2, [WRONG_TYPE]),
        (["corp.example"], "s", 0, 0, [checked("corp.example", 0)]),
        (["unreachable.example"], "s", 5, 5, [checked("unreachable.example", 5)]),
        *[([domain], "s", 0, 0, [checked(domain, 0)])
          for domain in ["x; touch /tmp/pwned", "$(id)", "'"]],
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


def test_auth_results_from_the_journal(world):
    journal = ("Jan 10 10:00:01 host sshd[12]: pam_sss(sshd:auth): authentication success\n"
               "Jan 10 10:00:01 host sshd[12]: pam_sss(sshd:auth): received for user ivanov: "
               "0 (Success)\n"
               "Jan 10 10:05:00 host login[40]: pam_sss(login:auth): received for user petrov: "
               "7 (Authentication failure)")
    kept = ("received for user ivanov: 0 (Success)\n"
            "received for user petrov: 7 (Authentication failure)\n")
    saved = ("[INFO] Результат авторизации полученный из логов pam_sss, сохранен в "
             "/tmp/pam_sss_auth_res")
    since, until = "2024-01-10 10:00:00'; touch /tmp/pwned; '", "2024-01-10 11:00:00\" $(id)"
    world.write("/etc/kx-target", "keep\n")
    daemon = serving(world, None)
    plant = {None: lambda: None,
             "file": lambda: world.write(AUTH_RESULT, "stale results\n" * 10, mode=0o666),
             "link": lambda: world.symlink("/etc/kx-target", AUTH_RESULT),
             "fifo": lambda: os.mkfifo(world.host_path(AUTH_RESULT)),
             "directory": lambda: world.mkdir(AUTH_RESULT, mode=0o777)}
    cases = [
        # (planted at the result path, journal output, arguments, signature, answer, log
        #  lines, result file afterwards)
        (None, journal, [since], "s", -2, [COUNT], None),
        (None, journal, [since, until, "x"], "sss", -2, [COUNT], None),
        (None, journal, [since, 5], "si", -2, [WRONG_TYPE], None),
        (None, "nothing of interest\n", [since, until], "ss", -1, [NOT_SAVED], ""),
        ("file", journal, [since, until], "ss", 0, [saved], kept),
        ("link", journal, [since, until], "ss", 0, [saved], kept),
        ("fifo", journal, [since, until], "ss", 0, [saved], kept),
        ("directory", journal, [since, until], "ss", -1, [NOT_SAVED], None),
    ]
    for planted, output, args, signature, answer, logged, after in cases:
        world.remove(AUTH_RESULT)
        plant[planted]()
        world.stub("journalctl", stdout=output)
        calls = len(world.stub_calls("journalctl"))
        assert answered(world, daemon, "saveAuthResultFromPamSssLog", signature, args) == (
            answer, logged), planted
        assert world.stub_calls("journalctl")[calls:] == (
            [["--since", since, "--until", until]] if after is not None else []), planted
        if after is not None:
            assert not os.path.islink(world.host_path(AUTH_RESULT, follow=False))
            assert world.read(AUTH_RESULT) == after, planted
            assert mode_and_owner(world, AUTH_RESULT) == (0o644, 0, 0)
    assert world.read("/etc/kx-target") == "keep\n"
    assert not world.exists("/tmp/pwned")
