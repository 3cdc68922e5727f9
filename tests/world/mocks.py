"""Test-side handles on the world's D-Bus mocks (python-dbusmock servers inside the world).

Behaviour is changed per test with dbusmock's own AddMethod, so a test can script what
logind's LockSession does to a session, make a call fail or hang, and read back every call.
"""

MOCK_IFACE = "org.freedesktop.DBus.Mock"

LOGIND_NAME = "org.freedesktop.login1"
LOGIND_PATH = "/org/freedesktop/login1"
MANAGER_IFACE = "org.freedesktop.login1.Manager"
SESSION_IFACE = "org.freedesktop.login1.Session"
SESSION_PATH = LOGIND_PATH + "/session/"

SCREENSAVER_NAME = "org.mate.ScreenSaver"
SCREENSAVER_PATH = "/org/mate/ScreenSaver"
SCREENSAVER_IFACE = "org.mate.ScreenSaver"

# Code run by the mock (see dbusmock's AddMethod): "args" are the call's arguments, "objects"
# maps object paths to mock objects.
_LOCK_LATER = (
    "from gi.repository import GLib\n"
    "def set_locked(paths):\n"
    "    for path in paths:\n"
    "        if path in objects:\n"
    "            objects[path].UpdateProperties('" + SESSION_IFACE + "',\n"
    "                                           {{'LockedHint': dbus.Boolean(True)}})\n"
    "    return False\n"
    "if {delay} > 0:\n"
    "    GLib.timeout_add({delay}, set_locked, paths)\n"
    "else:\n"
    "    set_locked(paths)\n")
ONE_SESSION = (
    "path = '" + SESSION_PATH + "' + args[0]\n"
    "if path not in objects:\n"
    "    raise dbus.exceptions.DBusException('No session ' + args[0] + ' known',\n"
    "                                        name='org.freedesktop.login1.NoSuchSession')\n"
    "paths = [path]\n")
ALL_SESSIONS = "paths = [p for p in objects if p.startswith('" + SESSION_PATH + "')]\n"
# TerminateSession as logind does it: the session is gone, and SessionRemoved says so.
END_SESSION = ONE_SESSION + (
    "self.RemoveObject(path)\n"
    "self.EmitSignal('" + MANAGER_IFACE + "', 'SessionRemoved', 'so', [args[0], path])\n")
_FAIL = ("raise dbus.exceptions.DBusException('Access denied',"
         " name='org.freedesktop.DBus.Error.AccessDenied')\n")


# A test that lets a hanging mock go on writes this file (in the world); until then, or until
# its seconds have passed, the mock answers nothing at all.
RELEASE = "/run/kxworld/mock-release"


def _hang(seconds):
    return ("import os, time\n"
            f"end = time.monotonic() + {float(seconds)}\n"
            f"while time.monotonic() < end and not os.path.exists('{RELEASE}'):\n"
            "    time.sleep(0.02)\n")


def _plain(value):
    """python-dbus values to plain Python ones."""
    import dbus
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath, dbus.Signature)):
        return str(value)
    if isinstance(value, (int, float)):
        return int(value) if isinstance(value, int) else float(value)
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    if isinstance(value, dict):
        return {_plain(key): _plain(item) for key, item in value.items()}
    return value


class _Mock:
    def __init__(self, bus, name, path):
        self._bus = bus
        self._name = name
        self._path = path

    def mock(self, path=None):
        """The org.freedesktop.DBus.Mock interface of an object, for anything not wrapped here."""
        import dbus
        return dbus.Interface(self._bus.get_object(self._name, path or self._path), MOCK_IFACE)

    def calls(self, method=None):
        """Arguments of each call of METHOD on the main object, or (method, arguments) of
        every call when no method is named."""
        if method is not None:
            return [_plain(arguments) for _, arguments in self.mock().GetMethodCalls(method)]
        return [(str(name), _plain(arguments)) for _, name, arguments in self.mock().GetCalls()]

    def clear_calls(self):
        self.mock().ClearCalls()

    def properties(self, path, interface):
        proxy = self._bus.get_object(self._name, path)
        return _plain(proxy.GetAll(interface, dbus_interface="org.freedesktop.DBus.Properties"))


class Logind(_Mock):
    """python-dbusmock's logind template, as logind_world.py extends it: by default
    LockSession and LockSessions set the sessions' LockedHint at once, as a screen locker
    would."""

    def __init__(self, bus):
        super().__init__(bus, LOGIND_NAME, LOGIND_PATH)

    def add_session(self, session_id, uid, user, seat="seat0", active=True, locked=False,
                    idle=False, without=(), kind=None, remote=False):
        """Adds a session (and its seat and user when new); returns its object path. Names in
        without are left out of the session's properties (a logind that lacks them). kind is
        logind's Type ("tty", "x11", "wayland", "unspecified"...; the template's "test" when
        None), remote its Remote."""
        import dbus
        path = str(self.mock().AddSession(session_id, seat, dbus.UInt32(uid), user, active))
        if locked or idle:
            self.set_session(session_id, LockedHint=locked, IdleHint=idle)
        if kind or remote:
            self.set_session(session_id, Type=kind or "test", Remote=remote)
        if without:
            properties = self._bus.get_object(LOGIND_NAME, path).GetAll(
                SESSION_IFACE, dbus_interface="org.freedesktop.DBus.Properties")
            for name in without:
                properties.pop(name, None)
            self.mock().RemoveObject(path)
            self.mock().AddObject(path, SESSION_IFACE, properties, [])
        return path

    def remove_session(self, session_id):
        self.mock().RemoveObject(SESSION_PATH + session_id)
        self.mock().EmitSignal(MANAGER_IFACE, "SessionRemoved", "so",
                               [session_id, SESSION_PATH + session_id])

    def set_session(self, session_id, **properties):
        """Changes session properties, e.g. set_session("c1", LockedHint=True)."""
        self.mock(SESSION_PATH + session_id).UpdateProperties(SESSION_IFACE, properties)

    def session(self, session_id):
        """The session's properties as a dict."""
        return self.properties(SESSION_PATH + session_id, SESSION_IFACE)

    def on_lock_session(self, action="lock", delay_ms=0, seconds=1.0):
        """What LockSession(id) does: "lock" sets the session's LockedHint (after delay_ms),
        "ignore" accepts and does nothing, "fail" answers AccessDenied, "hang" answers after
        the given seconds or once the test writes RELEASE."""
        self.mock().AddMethod(MANAGER_IFACE, "LockSession", "s", "",
                              self.lock_code(ONE_SESSION, action, delay_ms, seconds))

    def on_lock_sessions(self, action="lock", delay_ms=0, seconds=1.0):
        """What LockSessions() does, with the actions of on_lock_session, for every session."""
        self.mock().AddMethod(MANAGER_IFACE, "LockSessions", "", "",
                              self.lock_code(ALL_SESSIONS, action, delay_ms, seconds))

    def on_terminate_session(self, action):
        """What TerminateSession(id) does: "end" removes the session, "fail" answers
        AccessDenied."""
        self.mock().AddMethod(MANAGER_IFACE, "TerminateSession", "s", "",
                              {"end": END_SESSION, "fail": _FAIL}[action])

    def on_list_sessions(self, action, seconds=1.0):
        """"fail" makes ListSessions answer AccessDenied; "hang" makes it answer nothing for
        the given seconds; "malformed" makes it answer sessions of another shape, (a(sus))."""
        if action == "malformed":
            self.mock().AddMethod(MANAGER_IFACE, "ListSessions", "", "a(sus)",
                                  "ret = [('c1', 1001, 'ivanov')]")
            return
        code = {"fail": _FAIL, "hang": _hang(seconds) + "ret = []\n"}[action]
        self.mock().AddMethod(MANAGER_IFACE, "ListSessions", "", "a(susso)", code)

    @staticmethod
    def lock_code(select, action, delay_ms=0, seconds=1.0):
        """Mock code for a lock method: select the sessions, then act on them."""
        if action == "lock":
            return select + _LOCK_LATER.format(delay=int(delay_ms))
        if action == "ignore":
            return select
        if action == "fail":
            return _FAIL
        if action == "hang":
            return _hang(seconds)
        raise ValueError(f"unknown action {action}")


class ScreenSaver(_Mock):
    """The MATE screensaver mock (mate_screensaver.py). By default Lock() makes it active."""

    def __init__(self, bus):
        super().__init__(bus, SCREENSAVER_NAME, SCREENSAVER_PATH)

    def set_active(self, active):
        self.mock().SetActiveState(active)

    def active(self):
        return bool(self.mock().GetActiveState())

    def on_lock(self, action="activate", seconds=1.0):
        """What Lock() does: "activate", "ignore", "fail" or "hang" (answers after seconds)."""
        code = {"activate": "self.active = True", "ignore": "", "fail": _FAIL,
                "hang": _hang(seconds)}[action]
        self.mock().AddMethod(SCREENSAVER_IFACE, "Lock", "", "", code)

    def on_get_active(self, signature="b", code="ret = self.active"):
        """Replaces GetActive, e.g. to answer another type: on_get_active("s", "ret = 'x'")."""
        self.mock().AddMethod(SCREENSAVER_IFACE, "GetActive", "", signature, code)
