"""python-dbusmock template: dbusmock's own logind template, with LockSession and LockSessions
doing what a desktop's screen locker makes of them: the sessions' LockedHint turns true; and
TerminateSession ending the session.

Tests change that per test through mocks.Logind (on_lock_session and friends).
"""

# The stock template's methods and constants become this template's.
from dbusmock.templates.logind import *  # noqa: F401,F403
from dbusmock.templates import logind as stock

import dbus
from dbusmock import MOCK_IFACE

import mocks


@dbus.service.method(MOCK_IFACE, in_signature="ssusb", out_signature="s")
def AddSession(self, session_id, seat, uid, username, active):
    """The stock AddSession, and logind's SessionNew signal, as logind sends it."""
    path = stock.AddSession(self, session_id, seat, uid, username, active)
    self.EmitSignal(MAIN_IFACE, "SessionNew", "so", [session_id, path])
    return path


def load(mock, parameters):
    stock.load(mock, parameters)
    mock.AddMethod(stock.MAIN_IFACE, "LockSession", "s", "",
                   mocks.Logind.lock_code(mocks.ONE_SESSION, "lock"))
    mock.AddMethod(stock.MAIN_IFACE, "LockSessions", "", "",
                   mocks.Logind.lock_code(mocks.ALL_SESSIONS, "lock"))
    mock.AddMethod(stock.MAIN_IFACE, "TerminateSession", "s", "", mocks.END_SESSION)
