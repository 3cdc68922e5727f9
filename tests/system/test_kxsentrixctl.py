"""kxsentrixctl against the real daemon in a world: each subcommand's output and exit status,
and its main failures (daemon absent, bus refusing the caller, bad arguments); its JSON read
back, the token list and last-update time following the store; the PIN commands, the PIN asked
on a pseudo-terminal."""

import json
import os
import re
import signal
import time

from system_helpers import ALICE_PEM, NAME, ask, serving, texts
from world import DAEMON_CONFIG, PAM_SYSTEM_AUTH, SOURCE_DIR, wait_until

ALICE_FINGERPRINT = "CCD5B8E70BEB8299D36134619F896DF4D174DFB7"

USER = ["setpriv", "--reuid=60001", "--regid=60001", "--clear-groups"]
# Exit statuses of kxsentrixctl.
DONE, FAILED, USAGE, UNREACHABLE, REFUSED = 0, 1, 2, 3, 4
NOT_RUNNING = "kxsentrixctl: kxsentrixd is not running (nobody owns kx.daemon.server on the " \
              "system bus)\n"
SSSD = "/etc/sssd/sssd.conf"
SSSD_HEAD = "[sssd]\nservices = nss, pam\n\n[pam]\n"
APPLETS = "/etc/xdg/HalvardLtd/kxpkcs11.conf"


def ctl_path(world):
    return os.path.join(world.build_dir, "tools", "kxsentrixctl", "kxsentrixctl")


def ctl(world, *args, user=False, env=None):
    """Runs kxsentrixctl in the world (as an unprivileged user with user=True):
    (status, stdout, stderr)."""
    result = world.run([*(USER if user else []), ctl_path(world), *args], env=env)
    return result.returncode, result.stdout, result.stderr


def test_every_subcommand_that_calls_the_daemon(world):
    world.add_user("ivanov", 60001)
    world.add_user("alice", 60002)
    with open(ALICE_PEM) as pem:
        world.write("/home/alice/.eid/authorized_certificates", pem.read(), owner="alice")
    world.write(PAM_SYSTEM_AUTH, "auth sufficient pam_kx-tf-auth.so applet=Quill\n")
    world.write(SSSD, SSSD_HEAD, mode=0o600)
    world.logind.add_session("c1", 60002, "alice")
    # Explanations give their reasons whatever the log is set to show.
    daemon = serving(world, '{\n"actionOnTokenDisabled": 1,\n"debug": false\n}\n')
    assert ctl(world, "tokens") == (DONE, "No token is inserted.\n", "")
    assert ctl(world, "tokens", "--json") == (DONE, "[]\n", "")
    before = world.system_bus().call_blocking(NAME, "/", NAME, "lastDateUpdate", "", ())
    wait_until(lambda: int(time.time()) > before, what="the next second")  # a change shows

    world.kxsim("insert", "5", "--label", "Иванов", "--model", "Korvex Quill", "--serial", "0042",
                "--isd", "KX123", "--profile", "ivanov@example.org", "--profile", "ivanov@corp",
                "--cert", ALICE_PEM, "--cert-id", "ff01", "--cert-label", "logon")
    # A label that would steer the administrator's terminal if it were printed as it is: C0, DEL,
    # C1 (CSI) and a right-to-left override. A slot given as its low 32 bits, in store order.
    world.kxsim("insert", str(2**32 + 12), "--label", "Petrov\x1b[31m\x7f\x9b\u202e", "--model",
                "Korvex Linnet", "--isd", "KX214")
    daemon.wait_for_log(re.compile(f"Подключено новое устройство в слоте {2**32 + 12} "))
    # Columns line up by characters (the Cyrillic label), the controls are shown, not sent.
    label = "Petrov\\x1b[31m\\x7f\\xc2\\x9b\\xe2\\x80\\xae"
    assert ctl(world, "tokens", user=True) == (DONE, (
        f"SLOT  {'LABEL':{len(label)}}  MODEL                   APPLET  SERIAL  PROFILES"
        "                         CERTIFICATES\n"
        f"5     {'Иванов':{len(label)}}  Korvex Quill 4 (USB-C)  Quill   0042    "
        "ivanov@example.org, ivanov@corp  Alice Ivanova\n"
        f"12    {label}  Korvex Linnet USB       Linnet\n"), "")
    status, text, _ = ctl(world, "tokens", "--json")
    assert status == DONE
    assert '"label": "Petrov\\u001b[31m\\u007f\\u009b\\u202e"' in text
    quill, linnet = json.loads(text)
    assert (quill["slotId"], quill["label"], quill["serialNumber"], quill["isd"],
            quill["isNew"], quill["profiles"][1], linnet["label"]) == (
        5, "Иванов", "0042", "KX123", False, {"userName": "ivanov", "domain": "corp"},
        "Petrov\x1b[31m\x7f\x9b\u202e")
    assert {key: quill["certs"][0][key] for key in ("id", "label", "subject", "isCa",
                                                    "fingerprint")} == {
        "id": "ff01", "label": "logon", "subject": "Alice Ivanova", "isCa": True,  # id: hex
        "fingerprint": ALICE_FINGERPRINT}
    busctl = world.run(["busctl", "--json=short", "call", NAME, "/", NAME, "allTokens", "ss", "x",
                        "y"], check=True).stdout  # the arguments ignored
    assert json.loads(busctl)["type"] == "a(ussssssba(ss)a(ssssssssssb))"
    seconds = world.system_bus().call_blocking(NAME, "/", NAME, "lastDateUpdate", "s", ["x"])
    assert before < seconds <= time.time()
    status, text, _ = ctl(world, "explain", "--json")
    assert (status, [token["label"] for token in json.loads(text)["tokens"]]) == (
        DONE, ["Иванов", "Petrov\x1b[31m\x7f\x9b\u202e"])
    assert '"label": "Petrov\\u001b[31m\\u007f\\u009b\\u202e"' in text
    status, text, _ = ctl(world, "status", user=True)
    assert (status, [line.partition(":")[0] for line in text.splitlines()]) == (DONE, [
        "kxsentrixd", "Token library", "Tokens", "Configuration", "Settings", "Authentication",
        "On removal", "D-Bus name", "Last slot event", "Last removal", "Log", "Status"])
    assert "\nD-Bus name:       kx.daemon.server, held\n" in text
    status, text, _ = ctl(world, "status", "--json")
    assert (status, json.loads(text)["tokens"], json.loads(text)["authType"]) == (
        DONE, 2, "Локальная PKI")
    status, text, _ = ctl(world, "last-update", user=True)
    assert status == DONE
    assert re.fullmatch(rf"{seconds} \d{{4}}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{{4}}\n", text)
    assert not daemon.records(re.compile("lastDateUpdate"))  # no per-call lines for it

    refused = "kxsentrixctl: kxsentrixd refused the arguments: "
    one_line = "no value may hold a line break or another control character\n"
    # Explained once the token's lock requests are decided ahead.
    wait_until(lambda: ask(world, "explainTokenRemoval", 5)["tokens"][0]["preparedLocks"])
    journal = "Mar 01 pam_sss(login:auth): received for user ivanov: 0 (Success)\nMar 01 sshd: x\n"
    cases = [
        # (arguments, stubbed command and its status, exit status, stdout, stderr)
        (["fingerprint", "alice"], None, DONE, ALICE_FINGERPRINT + "\n", ""),
        (["fingerprint", "nobody-here"], None, FAILED, "", "kxsentrixctl: no such user: "
                                                           "nobody-here\n"),
        (["explain", "5"], None, DONE,
         "Slot 5: Иванов (Korvex Quill 4 (USB-C)), serial 0042\n"
         "Sessions:         lock the token's sessions (1)\n"
         "Remote clients:   no action (0)\n"
         "Authentication:   local accounts, by the certificate in ~/.eid/authorized_certificates\n"
         "Would:            touch no session: none belongs to the token\n"
         "At once:          lock requests for none\n"
         "SESSION  USER   UID    VERDICT  REASON\n"
         "c1       alice  60002  skip     Сессия пользователя alice, uid 60002, home "
         "'/home/alice' пропускается т. к. пользователь доменный\n", ""),
        (["explain", "9"], None, FAILED, "", "kxsentrixctl: no token in slot 9\n"),
        (["set-applet-order", "Quill,Forte", "logo.png"], None, DONE,
         f"AppletOrder and Images set in {APPLETS}\n", ""),
        (["set-applet-order", "Quill\nImages = evil", "x"], None, USAGE, "", refused + one_line),
        # A bare name is a file in /etc/pam.d.
        (["set-pam-applet", "system-auth", "Forte"], None, DONE,
         f"Every applet= of {PAM_SYSTEM_AUTH} now names Forte\n", ""),
        (["set-pam-applet", "/etc/passwd", "Quill"], None, USAGE, "",
         refused + "FILE must be a regular file in /etc/pam.d: /etc/passwd is not one\n"),
        (["set-pam-applet", "sytem-auth", "Quill"], None, USAGE, "",
         refused + "FILE must be an existing file in /etc/pam.d: /etc/pam.d/sytem-auth does not "
                   "exist\n"),
        # Left as it is, when it has nothing to change.
        (["set-pam-applet", "other", "Quill"], None, DONE,
         "/etc/pam.d/other: no applet= lines; nothing changed\n", ""),
        (["set-sssd-filter", "Korvex Quill", "0042"], ("systemctl", 0), DONE,
         "SSSD accepts only the token model=Korvex Quill;serial=0042\n", ""),
        (["reset-sssd-filter"], ("systemctl", 1), FAILED, "",
         f"kxsentrixctl: kxsentrixd could not rewrite {SSSD} or restart sssd (see the system "
         "log)\n"),
        (["domain-check", "corp.example"], ("adcli", 0), DONE,
         "The domain corp.example answers (adcli info: status 0)\n", ""),
        (["auth-result", "-1h", "now"], ("journalctl", journal), DONE,
         "received for user ivanov: 0 (Success)\n", ""),
    ]
    world.write("/etc/pam.d/other", "auth required pam_deny.so")  # no newline at its end
    other = world.stat("/etc/pam.d/other")
    for args, stub, status, stdout, stderr in cases:
        if stub:
            world.stub(stub[0], **{"stdout" if stub[0] == "journalctl" else "status": stub[1]})
        assert ctl(world, *args) == (status, stdout, stderr), args
    # The refused edit changed nothing.
    assert world.read(APPLETS) == "AppletOrder = Quill,Forte\nImages = logo.png\n"
    assert (world.read("/etc/pam.d/other"), world.stat("/etc/pam.d/other").st_ino) == (
        "auth required pam_deny.so", other.st_ino)
    world.kxsim("remove", "5")  # the list loses it with the store
    daemon.wait_for_log(re.compile("Отключено устройство в слоте 5 "))
    assert [token["slotId"] for token in json.loads(ctl(world, "tokens", "--json")[1])] == [12]

    # The bus refuses users the methods that are root's; without the daemon nothing answers.
    mark = world.log_mark()
    for args, method in [(["fingerprint", "alice"], "getFingerPrintByUserCert"),
                         (["explain"], "explainTokenRemoval"),
                         (["set-pam-applet", "system-auth", "Quill"], "setAppletInPamConf"),
                         (["domain-check", "corp.example"], "domainAccesssCheck")]:
        assert ctl(world, *args, user=True) == (REFUSED, "", "kxsentrixctl: the system bus "
                                                f"refused the call of {method}: it is for root "
                                                "only\n"), args
    assert not daemon.records(re.compile("dbus: Вызов метода [^al]"), since=mark)
    daemon.stop()
    assert ctl(world, "set-sssd-filter", "Korvex Quill", "0042") == (UNREACHABLE, "", NOT_RUNNING)
    status, _, stderr = ctl(world, "tokens", env={"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/run/x"})
    assert (status, stderr) == (
        UNREACHABLE, "kxsentrixctl: cannot connect to the system bus: Failed to connect to "
                     "socket /run/x: No such file or directory\n")


def test_bad_arguments_are_refused_and_lock_all_runs_the_lock_command(world):
    for args in [[], ["unknown"], ["fingerprint"], ["tokens", "--jsn"],
                 ["--timeout", "0", "tokens"]]:
        status, stdout, stderr = ctl(world, *args)
        assert (status, stdout, "Run with --help for more information." in stderr) == (
            USAGE, "", True), args
    world.logind.add_session("c1", 60001, "ivanov")
    world.logind.add_session("c2", 60002, "petrov")
    world.logind.on_lock_session("lock", delay_ms=150)  # confirmed only once LockedHint is set
    assert ctl(world, "lock-all", env={"KXSENTRIXD": world.daemon_path})[0] == DONE
    assert world.logind.calls("LockSession") == [["c1"], ["c2"]]
    assert ctl(world, "lock-all", env={"KXSENTRIXD": "/run/none"}) == (
        UNREACHABLE, "", "kxsentrixctl: cannot run /run/none lock: No such file or directory\n")


# Runs a command (argv[1:-1]) on a pseudo-terminal, answers its first prompt with argv[-1] and
# reports its exit status, what the terminal showed and whether echo was on again at its end.
ON_A_TERMINAL = r"""
import json, os, pty, sys, termios
pid, terminal = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:-1])
shown = os.read(terminal, 4096)
while b": " not in shown:
    shown += os.read(terminal, 4096)
os.write(terminal, sys.argv[-1].encode())
try:
    while data := os.read(terminal, 4096):
        shown += data
except OSError:  # EIO: the command has ended
    pass
echo = bool(termios.tcgetattr(terminal)[3] & termios.ECHO)
status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
print(json.dumps([status, shown.decode().replace("\r\n", "\n"), echo]))
"""


def test_pin_status_and_pin_check_through_the_token_library(world):
    world.kxsim("insert", "5", "--label", "Quill", "--model", "Korvex Quill", "--isd", "KX123",
                "--user-pin", "1234", "--user-tries-left", "3", "--so-tries", "8")
    assert ctl(world, "pin-status", "5") == (
        DONE, "SLOT  LABEL  APPLET  USER TRIES  ADMIN TRIES  PIN  MESSAGE\n"
              "5     Quill  Quill   3/10        8/8          ok\n", "")
    assert ctl(world, "pin-status", "9") == (
        FAILED, "", "kxsentrixctl: no readable token in slot 9\n")

    wrong = "kxsentrixctl: PIN not accepted (error): Неверный PIN-код.\nОсталось попыток: {}\n"
    for typed, options, status, shown in [
            # (typed, options, exit status, what the terminal showed); echo always comes back
            ("1234\n", [], DONE, "PIN of Quill: \nPIN accepted\n"),
            ("4321\n", [], FAILED, "PIN of Quill: \n" + wrong.format(2)),
            ("\x03", [], -2, "PIN of Quill: "),  # interrupted
            ("1234\n", ["--admin"], FAILED, "Administrator PIN of Quill: \n" + wrong.format(7))]:
        result = world.run(["/usr/bin/python3", "-c", ON_A_TERMINAL, ctl_path(world), "pin-check",
                            *options, "5", typed], check=True)
        assert json.loads(result.stdout) == [status, shown, True], typed
    assert ctl(world, "pin-check", "5")[::2] == (USAGE, "kxsentrixctl: no terminal to ask the "
                                                        "PIN on\n")


def test_check_config_status_and_explain_say_what_a_removal_does_and_why(world):
    # The example file is sound; one with the usual mistakes is named line by line, refused.
    with open(os.path.join(SOURCE_DIR, "dist", "config", "kxsentrixd.conf")) as example:
        world.write("/etc/example.conf", example.read())
    world.write("/etc/pam.d/common-auth", "auth [success=1] pam_unix.so\n")  # Debian's stack
    world.remove(PAM_SYSTEM_AUTH) if world.exists(PAM_SYSTEM_AUTH) else None
    status, text, _ = ctl(world, "check-config", "/etc/example.conf")
    assert (status, text.splitlines()[:2]) == (DONE, [
        "File:             /etc/example.conf: sound",
        "Settings:         actionOnTokenDisabled 1, actionOnTokenDisabledRemote 1, debug false, "
        "forceSessionMatch false, ticketsCheckInterval 1000, terminateUnlockableSessions false"])
    world.write("/etc/mistakes.conf", '{\n"actionOnTokenDisabled": 1,\n# "actionOnTokenDisabled": '
                '2,\n"actionOnTokenDisabeld": 0,\n"ticketsCheckInterval": "1s"\n}\n')
    status, text, _ = ctl(world, "check-config", "/etc/mistakes.conf")
    warning = "[WARNING] Строка {} конфигурационного файла /etc/mistakes.conf: {}".format
    assert (status, text.splitlines()) == (FAILED, [
        warning(3, "параметр actionOnTokenDisabled стоит в комментарии и не учитывается"),
        warning(4, "неизвестный параметр «actionOnTokenDisabeld» не учитывается, ближайший "
                   "известный - actionOnTokenDisabled"),
        "[WARNING] Обнаружено некорректное значение параметра ticketsCheckInterval: 1s (строка 5 "
        "конфигурационного файла /etc/mistakes.conf): файл не принят, действуют прежние "
        "настройки, ticketsCheckInterval: 1000",
        "[WARNING] Действие для системы не определено (параметр actionOnTokenDisabled в "
        "/etc/mistakes.conf): при отключении токена сессии не будут затронуты",
        "File:             /etc/mistakes.conf: refused: the daemon keeps the settings in force "
        "before it",
        "Settings:         none from the file, the defaults: actionOnTokenDisabled -1, "
        "actionOnTokenDisabledRemote 0, debug true, forceSessionMatch false, ticketsCheckInterval "
        "1000, terminateUnlockableSessions false",
        "Authentication:   not configured: /etc/pam.d/common-auth names none of pam_kx-tf-auth, "
        "pam_kx-tf-auth_nopki, pam_kx-tf-net-auth, pam_kx-tf-net-auth_nopki",
        "On removal:       no session is touched: actionOnTokenDisabled is not defined"])

    # A file others may write is refused at the start: no settings are in force, and the status
    # says what a removal then does. Where there is no system-auth, Debian's common-auth counts.
    world.write(DAEMON_CONFIG, '{\n"actionOnTokenDisabled": 1\n}\n', mode=0o666)
    daemon = serving(world, None)
    assert "[INFO] Тип аутентификации определяется по файлу /etc/pam.d/common-auth: файла " \
           "/etc/pam.d/system-auth нет" in texts(daemon.records())
    daemon.wait_for_log(f"[WARNING] Настройки конфигурационного файла {DAEMON_CONFIG} не "
                        "действуют: при отключении токена компьютер будет выключен")
    shown = dict(line.split(":", 1) for line in ctl(world, "status")[1].splitlines())
    assert [shown["Settings"].strip(), shown["On removal"].strip()] == [
        "none in force", "the machine is powered off: no configuration is in force"]

    # Trusted now, but common-auth names no token logon: the reload warns that nothing is locked.
    world.write(DAEMON_CONFIG, '{\n"actionOnTokenDisabled": 1\n}\n')
    daemon.signal(signal.SIGHUP)
    daemon.wait_for_log(
        "[WARNING] Тип аутентификации не настроен: в /etc/pam.d/common-auth нет ни одного из "
        "модулей pam_kx-tf-auth, pam_kx-tf-auth_nopki, pam_kx-tf-net-auth, pam_kx-tf-net-auth_nopki"
        ", поэтому при отключении токена ни одна сессия не будет ему сопоставлена и действие "
        "«Блокировка сессии пользователя» не будет выполнено")
    unconfigured = ("the logon type is not configured (/etc/pam.d/common-auth names none of "
                    "pam_kx-tf-auth, pam_kx-tf-auth_nopki, pam_kx-tf-net-auth, "
                    "pam_kx-tf-net-auth_nopki)")
    shown = dict(line.split(":", 1) for line in ctl(world, "status")[1].splitlines())
    assert shown["On removal"].strip() == "no session is touched: " + unconfigured
    world.add_user("ivanov", 1001)
    world.logind.add_session("c1", 1001, "ivanov")
    world.kxsim("insert", "5", "--label", "Ivanov", "--model", "Korvex Quill", "--profile",
                "ivanov@kxworld")
    daemon.wait_for_log(re.compile("Подключено новое устройство в слоте 5 "))
    assert ctl(world, "explain", "5")[1].splitlines()[4] == \
        "Would:            touch no session: " + unconfigured
    world.write("/etc/pam.d/common-auth", "auth sufficient pam_kx-tf-auth_nopki.so\n")
    assert ctl(world, "explain", "5")[1].splitlines()[3:5] == [
        "Authentication:   local accounts, by a profile for this host",
        "Would:            lock the sessions marked lock; a session that does not report locked "
        "within 3 s gets every session locked (logind's LockSessions and the MATE screen saver)"]
    mark = world.log_mark()
    world.write(DAEMON_CONFIG, '{\n"actionOnTokenDisabled": 0\n}\n')
    daemon.signal(signal.SIGHUP)
    daemon.wait_for_log("Настроенное действие для системы - Бездействие", since=mark)
    assert ctl(world, "explain", "5")[1].splitlines()[3:5] == [
        "Authentication:   not looked at", "Would:            touch no session "
                                            "(actionOnTokenDisabled 0)"]
