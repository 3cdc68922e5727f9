"""python-dbusmock template: the MATE screensaver's D-Bus interface.

Lock() activates the screensaver, GetActive() tells whether it is active. Tests change the
behaviour with the mock's AddMethod (see world.py, ScreenSaver) and set the state directly
with SetActiveState(b) on the org.freedesktop.DBus.Mock interface.
"""

import dbus

from dbusmock import MOCK_IFACE

BUS_NAME = "org.mate.ScreenSaver"
MAIN_OBJ = "/org/mate/ScreenSaver"
MAIN_IFACE = "org.mate.ScreenSaver"
SYSTEM_BUS = False


def load(mock, parameters):
    mock.active = bool(parameters.get("active", False))
    mock.AddMethods(MAIN_IFACE, [
        ("Lock", "", "", "self.active = True"),
        ("GetActive", "", "b", "ret = self.active"),
        ("SetActive", "b", "", "self.active = args[0]"),
        ("SimulateUserActivity", "", "", ""),
    ])


@dbus.service.method(MOCK_IFACE, in_signature="b", out_signature="")
def SetActiveState(self, active):
    """Sets what GetActive reports, without a call being logged on the main interface."""
    self.active = bool(active)


@dbus.service.method(MOCK_IFACE, in_signature="", out_signature="b")
def GetActiveState(self):
    """What GetActive would report, without a call being logged."""
    return self.active
