#!/usr/bin/python3
"""Serves one python-dbusmock template on the world's system or session bus.

Like `python3 -m dbusmock --template NAME`, but it writes "ready" to the given descriptor once
its name is owned, so the world can start its mocks in parallel and know when they serve.
"""

import argparse
import json
import os

import dbus
import dbus.mainloop.glib
import dbus.service
import dbusmock.mockobject
from gi.repository import GLib


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bus", choices=("system", "session"), required=True)
    parser.add_argument("--template", required=True)
    parser.add_argument("--parameters", default="{}")
    parser.add_argument("--logfile")
    parser.add_argument("--ready-fd", type=int, required=True)
    args = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus() if args.bus == "system" else dbus.SessionBus()
    module = dbusmock.mockobject.load_module(args.template)
    name = dbus.service.BusName(module.BUS_NAME, bus, allow_replacement=True,
                                replace_existing=True, do_not_queue=True)
    main_object = dbusmock.mockobject.DBusMockObject(name, module.MAIN_OBJ, module.MAIN_IFACE,
                                                     {}, args.logfile)
    main_object.AddTemplate(args.template, json.loads(args.parameters))
    dbusmock.mockobject.objects[module.MAIN_OBJ] = main_object

    os.write(args.ready_fd, b"ready\n")
    os.close(args.ready_fd)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
