"""The logon configuration and domain diagnostics methods of the running kxsentrixd, called as
root: answers with their log lines, the files and stub commands they leave, hostile arguments.
(The edits' text rules: unit tables; that the bus refuses users: test_kxsentrixctl.py.)"""

import os
import re
import subprocess

from system_helpers import NAME, serving
from world import LOG_DEBUG, wait_until

LIBRARY_DIRECTORY = "/etc/xdg/HalvardLtd"
LIBRARY_CONFIG = f"{LIBRARY_DIRECTORY}/kxpkcs11.conf"
SSSD_CONFIG = "/etc/sssd/sssd.conf"
AUTH_RESULT = "/tmp/pam_sss_auth_res"
PAM_FILE = "/etc/pam.d/system-auth-ac"
ORDER, PAM, FILTER, RESET = ("setOrderApplets", "setAppletInPamConf",
                             "setTokenFilteringOptionsInSssdConf",
                             "resetTokenFilteringOptionsInSssdConf")

COUNT = "[ERROR] Не верное количество параметров!"
WRONG_ARGUMENTS = "[ERROR] Не верные аргументы!"
WRONG_TYPE = "[ERROR] Не правильный тип аргументов!"
LIBRARY_MISSING = ("[WARNING] Не удалось открыть конфигурационный файл ЕБ, он будет создан "
                   "заново!")
SSSD_FILE = "[ERROR] Не удалось открыть конфигурационный файл sssd"
NOT_SAVED = "[INFO] Не удалось получить результат авторизации из логов pam_sss"

INJECTED = "x\nauth sufficient pam_permit.so"
SSSD = "[sssd]\nservices = nss, pam\n\n[pam]\noffline_credentials_expiration = 2\n"


def sssd_with(model, serial):
    return SSSD.replace("[pam]\n", f"[pam]\np11_uri = PKCS11:model={model};serial={serial}\n")


def answered(world, daemon, method, *args):
    """The answer and the handler's own log lines (the server's per-call lines left out)."""
    mark = world.log_mark()
    signature = "".join("i" if isinstance(arg, int) else "s" for arg in args)
    answer = world.system_bus().call_blocking(NAME, "/", NAME, method, signature, args)
    return answer, [record.text for record in daemon.records(since=mark)
                    if record.level != LOG_DEBUG and not record.text.startswith("[INFO] dbus: ")]


def mode_and_owner(world, path):
    status = world.stat(path)
    return status.st_mode & 0o7777, status.st_uid, status.st_gid


def test_edits_of_the_token_library_pam_and_sssd_files(world):
    pam_text = "auth required pam_kx.so applet=Quill\nauth optional pam_kx.so applet\n"
    outside = "password required pam_kx.so applet=Quill\n"
    world.add_user("ivanov", 60001)
    for directory in ("/etc/sssd", "/etc/pam.d"):
        # Small file systems of their own, mounted before the machine boots so the daemon sees
        # them: a file that fills most of one has no room for a second copy.
        world.mkdir(directory)
        subprocess.run(["nsenter", f"--target={world.init_pid}", "--mount", "--", "mount", "-t",
                        "tmpfs", "-o", "size=32k,mode=0755", "tmpfs", directory], check=True)
    world.write(PAM_FILE, pam_text, mode=0o640, owner="ivanov")
    world.symlink("system-auth-ac", "/etc/pam.d/system-auth")
    world.write("/etc/kx-outside", outside)
    world.symlink("/etc/kx-outside", "/etc/pam.d/kx-leaving")
    world.mkdir("/etc/pam.d/kx-directory")
    daemon = serving(world, None)
    quill = ["Korvex Quill", "0042"]
    for method, args, answer, logged, path, after, restart in [
            # (method, arguments, answer, log lines, file and its content afterwards (None: none),
            #  systemctl's status when sssd is to be restarted)
            (ORDER, ["Forte"], -2, [COUNT], LIBRARY_CONFIG, None, None),
            (ORDER, [INJECTED, "1"], -2, [WRONG_ARGUMENTS], LIBRARY_CONFIG, None, None),
            (ORDER, ["Forte,Quill", "1"], 0, [LIBRARY_MISSING], LIBRARY_CONFIG,
             "AppletOrder = Forte,Quill\nImages = 1\n", None),
            (PAM, ["/etc/pam.d/system-auth", INJECTED], -2, [WRONG_ARGUMENTS], PAM_FILE,
             pam_text, None),
            # Only a regular file inside /etc/pam.d, given by its absolute path.
            *[(PAM, [path, "Forte"], -2, [WRONG_ARGUMENTS], "/etc/kx-outside", outside, None)
              for path in ["/etc/kx-outside", "/etc/pam.d/../kx-outside", "/etc/pam.d/kx-leaving",
                           "etc/pam.d/system-auth", "/etc/pam.d/kx-missing",
                           "/etc/pam.d/kx-directory"]],
            (PAM, ["/etc/pam.d/system-auth", "Forte"], 0, [], PAM_FILE,
             "auth required pam_kx.so applet=Forte\nauth optional pam_kx.so applet=Forte\n", None),
            (FILTER, quill, -1, [SSSD_FILE], SSSD_CONFIG, None, None),
            (FILTER, [INJECTED, "0042"], -2, [WRONG_TYPE], SSSD_CONFIG, SSSD, None),
            (FILTER, quill, 0, [], SSSD_CONFIG, sssd_with(*quill), 0),
            (FILTER, quill, 0, ["[INFO] Токен уже записан в конфигурационном файле sssd!"],
             SSSD_CONFIG, sssd_with(*quill), None),
            # Replaced in place; a failed restart leaves the edited file in place.
            (FILTER, ["Korvex Forte", "0077"], -1, ["[ERROR] Не удалось перезапустить службу sssd"],
             SSSD_CONFIG, sssd_with("Korvex Forte", "0077"), 1),
            (RESET, ["ignored"], 0, [], SSSD_CONFIG, SSSD, 0)]:
        if after == SSSD and not world.exists(SSSD_CONFIG):
            world.write(SSSD_CONFIG, SSSD, mode=0o600)  # SSSD insists on 0600
        world.stub("systemctl", status=restart or 0)
        restarts = len(world.stub_calls("systemctl"))
        assert answered(world, daemon, method, *args) == (answer, logged), (method, args)
        assert world.stub_calls("systemctl")[restarts:] == (
            [] if restart is None else [["restart", "sssd"]]), (method, args)
        assert (world.read(path) if world.exists(path) else None) == after, (method, args)
    # Created for everyone to read and only root to write, whatever the daemon's umask; or
    # keeping their mode and owner, and the link to system-auth-ac stays a link.
    assert [mode_and_owner(world, path) for path in (
        LIBRARY_CONFIG, LIBRARY_DIRECTORY, PAM_FILE, SSSD_CONFIG)] == [
        (0o644, 0, 0), (0o755, 0, 0), (0o640, 60001, 60001), (0o600, 0, 0)]
    assert os.readlink(world.host_path("/etc/pam.d/system-auth", follow=False)) == (
        "system-auth-ac")

    world.remove(LIBRARY_DIRECTORY)
    world.write(LIBRARY_DIRECTORY, "a file\n")
    assert answered(world, daemon, ORDER, "Forte", "1") == (
        -3, [LIBRARY_MISSING, "[ERROR] Не смог создать /etc/xdg/HalvardLtd!"])
    assert world.read(LIBRARY_DIRECTORY) == "a file\n"

    # A write cut off half-way leaves every file as it was, and no temporary file.
    filler = "".join(f"# line {number:05} of an administrator's long comment\n"
                     for number in range(360))
    for path in (SSSD_CONFIG, PAM_FILE):
        with open(world.host_path(path), "a") as file:
            file.write(filler)
    before = [(world.read_bytes(path), mode_and_owner(world, path)) for path in (SSSD_CONFIG,
                                                                                 PAM_FILE)]
    listed, restarts = world.listdir("/etc/pam.d"), len(world.stub_calls("systemctl"))
    assert answered(world, daemon, FILTER, "Korvex Forte", "0077") == (-1, [SSSD_FILE])
    assert answered(world, daemon, PAM, "/etc/pam.d/system-auth", "Quill") == (
        -1, ["[ERROR] Не удалось создать файл /etc/pam.d/system-auth"])
    assert [(world.read_bytes(path), mode_and_owner(world, path))
            for path in (SSSD_CONFIG, PAM_FILE)] == before
    assert (world.listdir("/etc/sssd"), world.listdir("/etc/pam.d")) == (["sssd.conf"], listed)
    assert os.path.islink(world.host_path("/etc/pam.d/system-auth", follow=False))
    assert len(world.stub_calls("systemctl")) == restarts


# Puts a link at the result path whenever nothing is there.
RACER = """
import os
while True:
    try:
        os.symlink("/etc/kx-target", "/tmp/pam_sss_auth_res")
    except OSError:
        pass
"""


def test_domain_diagnostics_pass_texts_as_single_arguments(world):
    journal = ("Jan 10 10:00:01 host sshd[12]: pam_sss(sshd:auth): authentication success\n"
               "Jan 10 10:00:01 host sshd[12]: pam_sss(sshd:auth): received for user ivanov: "
               "0 (Success)")
    kept = "received for user ivanov: 0 (Success)\n"
    saved = ("[INFO] Результат авторизации полученный из логов pam_sss, сохранен в "
             "/tmp/pam_sss_auth_res")
    hostile = "x; touch /tmp/pwned $(id) '\""
    world.write("/etc/kx-target", "keep\n")
    world.stub("adcli")
    # Without the sbin directories, where an adcli of the host's would stand in for a missing one.
    daemon = serving(world, None, env={"PATH": "/run/kxworld/bin:/usr/bin:/bin"})

    def checked(domain, code):
        return f"[INFO] Выполнена проверки домена {domain}. Код возврата: {code}"

    for args, status, answer, logged in [
            # (arguments, adcli's status, answer, log lines)
            ([], 0, -2, [COUNT]), ([1], 0, -2, [WRONG_TYPE]),
            ([hostile], 0, 0, [checked(hostile, 0)]),
            (["unreachable.example"], 5, 5, [checked("unreachable.example", 5)]),
            (["a\nb"], 0, 0, [checked("a\\x0ab", 0)]),
            # adcli would take it for an option.
            (["--domain-controller=attacker.example"], 0, -2, [WRONG_TYPE])]:
        world.stub("adcli", status=status)
        assert answered(world, daemon, "domainAccesssCheck", *args) == (answer, logged), args
    assert world.stub_calls("adcli") == [["info", "--", hostile],
                                         ["info", "--", "unreachable.example"],
                                         ["info", "--", "a\nb"]]
    world.remove("/run/kxworld/bin/adcli")
    world.write("/run/kxworld/bin/adcli", "#!/bin/sh\nkill -KILL $$\n", mode=0o755)
    assert answered(world, daemon, "domainAccesssCheck", "corp.example") == (
        -1, ["[INFO] Не удалось выполнить проверку домена corp.example"])
    world.remove("/run/kxworld/bin/adcli")
    assert answered(world, daemon, "domainAccesssCheck", "corp.example") == (
        127, [checked("corp.example", 127)])

    world.add_user("ivanov", 60001)
    plant = {None: lambda: None,
             "link": lambda: world.symlink("/etc/kx-target", AUTH_RESULT),
             "fifo": lambda: os.mkfifo(world.host_path(AUTH_RESULT)),
             "directory": lambda: world.mkdir(AUTH_RESULT, mode=0o777),
             "user's file": lambda: world.write(AUTH_RESULT, "forged\n", owner="ivanov")}
    moved = ("[WARNING] Посторонний объект /tmp/pam_sss_auth_res перемещён в "
             "/tmp/pam_sss_auth_res.N, файл результата создан заново")
    for planted, output, args, answer, logged, after in [
            # (planted at the result path, journal output, arguments, answer, log lines, result
            #  file afterwards)
            (None, journal, [hostile], -2, [COUNT], None),
            (None, "nothing of interest\n", [hostile, hostile], -1, [NOT_SAVED], ""),
            *[(planted, journal, [hostile, "now"], 0, [moved, saved], kept)
              for planted in ("link", "fifo", "directory", "user's file")]]:
        world.remove(AUTH_RESULT)
        plant[planted]()
        world.stub("journalctl", stdout=output)
        calls = len(world.stub_calls("journalctl"))
        answer_and_lines = answered(world, daemon, "saveAuthResultFromPamSssLog", *args)
        assert (answer_and_lines[0], [re.sub(r"auth_res\.[0-9a-f]{16}", "auth_res.N", line)
                                      for line in answer_and_lines[1]]) == (answer, logged), planted
        # Only records that root's processes logged as PAM modules do: no user can forge them.
        assert world.stub_calls("journalctl")[calls:] == (
            [["--since", *args[:1], "--until", *args[1:], "_UID=0", "SYSLOG_FACILITY=10"]]
            if after is not None else []), planted
        if after is not None:
            assert not os.path.islink(world.host_path(AUTH_RESULT, follow=False))
            assert (world.read(AUTH_RESULT), mode_and_owner(world, AUTH_RESULT)) == (
                after, (0o644, 0, 0)), planted
    # A user who keeps putting a link at the result path fails none of root's calls.
    world.remove(AUTH_RESULT)
    world.write("/run/race.py", RACER)
    racers = [world.machine().popen_in(["setpriv", "--reuid=60001", "--regid=60001",
                                        "--clear-groups", "/usr/bin/python3", "/run/race.py"],
                                       env=world.env()) for _ in range(2)]
    wait_until(lambda: os.path.islink(world.host_path(AUTH_RESULT, follow=False)))
    answers = [world.system_bus().call_blocking(NAME, "/", NAME, "saveAuthResultFromPamSssLog",
                                                "ss", ["a", "b"]) for _ in range(40)]
    for racer in racers:
        racer.kill()
    assert answers == [0] * 40
    assert (world.read(AUTH_RESULT), mode_and_owner(world, AUTH_RESULT)) == (kept, (0o644, 0, 0))
    assert world.read("/etc/kx-target") == "keep\n"
    assert not world.exists("/tmp/pwned")

    # A command that does not end holds up no stop: it is killed.
    world.write("/run/kxworld/bin/adcli", "#!/bin/sh\nexec sleep 600\n", mode=0o755)
    mark = world.log_mark()
    world.machine().popen_in(["busctl", "call", NAME, "/", NAME, "domainAccesssCheck", "s",
                              "corp.example"], env=world.env())
    daemon.wait_for_log("[INFO] dbus: Вызов метода domainAccesssCheck с 1 аргументами", since=mark)
    assert daemon.stop() == 0
